// Build-time tool: draws every picture the program shows, in its palette, and writes the language
// files as UTF-16 with byte-order mark. Usage: quillet-buildresources OUTDIR [LANGUAGE.txt...]
// Pictures go to OUTDIR/resources/, language files to OUTDIR/<name>.lng.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTextStream>
#include <QtMath>

#include <functional>

namespace {

const QColor background("#255680");
const QColor border("#173749");
const QColor buttonTop("#52afd3");
const QColor buttonBottom("#71c5eb");
const QColor accent("#6d9eb4");
const QColor light("#a1dbf5");
const QColor green("#00de15");

QString outFolder;
bool failed = false;

void save(const QString &name, const QSize &size, const std::function<void(QPainter &, const QRectF &)> &draw)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        draw(p, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    if (!image.save(outFolder + QStringLiteral("/resources/") + name)) {
        QTextStream(stderr) << "cannot write " << name << "\n";
        failed = true;
    }
}

QPen whitePen(qreal width)
{
    return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A stamp outline with perforation teeth: the program's emblem.
QPainterPath stampPath(const QRectF &r, qreal tooth)
{
    QPainterPath path;
    path.addRect(r);
    QPainterPath holes;
    const auto edge = [&](QPointF from, QPointF to) {
        const qreal length = QLineF(from, to).length();
        const int count = qMax(2, int(length / (tooth * 2.2)));
        for (int i = 0; i <= count; ++i) {
            const QPointF c = from + (to - from) * (qreal(i) / count);
            holes.addEllipse(c, tooth / 2, tooth / 2);
        }
    };
    edge(r.topLeft(), r.topRight());
    edge(r.bottomLeft(), r.bottomRight());
    edge(r.topLeft(), r.bottomLeft());
    edge(r.topRight(), r.bottomRight());
    return path.subtracted(holes);
}

// A feather quill lying across a rectangle.
void drawQuill(QPainter &p, const QPointF &tip, const QPointF &end, qreal width, const QColor &color)
{
    const QLineF spine(tip, end);
    const QPointF normal = QPointF(-spine.dy(), spine.dx()) / spine.length();
    QPainterPath vane;
    const QPointF a = tip + (end - tip) * 0.25;
    vane.moveTo(a);
    vane.cubicTo(a + normal * width, end + normal * width * 0.8 - (end - tip) * 0.15, end);
    vane.cubicTo(end - normal * width * 0.5 - (end - tip) * 0.2, a - normal * width * 0.35, a);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(vane);
    p.setPen(QPen(color.darker(150), qMax(1.0, width / 8), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(tip, end);
}

void drawMagnifier(QPainter &p, const QPointF &centre, qreal radius, qreal width)
{
    p.setPen(whitePen(width));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, radius, radius);
    const QPointF handle = centre + QPointF(radius, radius) * 0.72;
    p.drawLine(handle, handle + QPointF(radius, radius) * 0.75);
}

void drawArrowArc(QPainter &p, const QRectF &r, bool clockwise)
{
    p.setPen(whitePen(r.width() * 0.1));
    p.setBrush(Qt::NoBrush);
    const QRectF circle = r.adjusted(r.width() * 0.2, r.height() * 0.2, -r.width() * 0.2, -r.height() * 0.2);
    const int start = clockwise ? 120 * 16 : 60 * 16;
    const int span = clockwise ? -270 * 16 : 270 * 16;
    p.drawArc(circle, start, span);
    // Arrow head at the end of the arc.
    const qreal endAngle = qDegreesToRadians((start + span) / 16.0);
    const QPointF c = circle.center();
    const qreal rad = circle.width() / 2;
    const QPointF tip(c.x() + rad * qCos(endAngle), c.y() - rad * qSin(endAngle));
    const qreal h = r.width() * 0.2;
    const QPointF tangent = clockwise ? QPointF(-qSin(endAngle), -qCos(endAngle)) : QPointF(qSin(endAngle), qCos(endAngle));
    const QPointF normal(-tangent.y(), tangent.x());
    QPolygonF head({tip + tangent * h, tip - normal * h * 0.8, tip + normal * h * 0.8});
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPolygon(head);
}

void drawPictures()
{
    const QSize icon(48, 48);

    save("webcam.png", icon, [](QPainter &p, const QRectF &) {
        p.setPen(whitePen(3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(24, 20), 14, 14);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(24, 20), 6, 6);
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(24, 34), QPointF(24, 40));
        p.drawLine(QPointF(14, 42), QPointF(34, 42));
    });
    save("open.png", icon, [](QPainter &p, const QRectF &) {
        p.setPen(whitePen(3));
        p.setBrush(Qt::NoBrush);
        QPainterPath folder;
        folder.moveTo(6, 38);
        folder.lineTo(6, 12);
        folder.lineTo(18, 12);
        folder.lineTo(22, 16);
        folder.lineTo(38, 16);
        folder.lineTo(38, 22);
        p.drawPath(folder);
        QPolygonF front({QPointF(6, 38), QPointF(13, 22), QPointF(44, 22), QPointF(37, 38)});
        p.setBrush(QColor(255, 255, 255, 90));
        p.drawPolygon(front);
    });
    save("web-search.png", icon, [](QPainter &p, const QRectF &) {
        p.setPen(whitePen(2.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(20, 20), 14, 14);
        p.drawEllipse(QRectF(13, 6, 14, 28));
        p.drawLine(QPointF(6, 20), QPointF(34, 20));
        drawMagnifier(p, QPointF(32, 32), 7, 3.5);
    });
    save("selection.png", icon, [](QPainter &p, const QRectF &) {
        QPen pen = whitePen(3);
        pen.setStyle(Qt::DashLine);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.drawRect(QRectF(8, 8, 32, 32));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        for (QPointF c : {QPointF(8, 8), QPointF(40, 8), QPointF(8, 40), QPointF(40, 40)})
            p.drawRect(QRectF(c - QPointF(4, 4), QSizeF(8, 8)));
    });
    // Identify all: a page of four stamps under the magnifier.
    save("identify-all.png", icon, [](QPainter &p, const QRectF &) {
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        for (const QPointF &at : {QPointF(4, 4), QPointF(22, 4), QPointF(4, 24), QPointF(22, 24)})
            p.drawPath(stampPath(QRectF(at, QSizeF(14, 16)), 2.5));
        p.setBrush(background);
        p.drawEllipse(QPointF(32, 32), 9, 9);
        drawMagnifier(p, QPointF(32, 32), 8, 3.5);
    });
    save("rotate-left.png", icon, [](QPainter &p, const QRectF &r) { drawArrowArc(p, r, false); });
    save("rotate-right.png", icon, [](QPainter &p, const QRectF &r) { drawArrowArc(p, r, true); });
    save("preferences.png", icon, [](QPainter &p, const QRectF &) {
        QPainterPath gear;
        const QPointF c(24, 24);
        for (int i = 0; i < 8; ++i) {
            QTransform t;
            t.translate(c.x(), c.y());
            t.rotate(i * 45);
            QPainterPath tooth;
            tooth.addRoundedRect(QRectF(-4, -20, 8, 10), 1.5, 1.5);
            gear.addPath(t.map(tooth));
        }
        QPainterPath ring;
        ring.addEllipse(c, 14, 14);
        gear = gear.united(ring);
        QPainterPath hole;
        hole.addEllipse(c, 6, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(gear.subtracted(hole));
    });
    save("help.png", icon, [](QPainter &p, const QRectF &) {
        p.setPen(whitePen(3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(24, 24), 18, 18);
        QFont font("DejaVu Sans", 20, QFont::Bold);
        p.setFont(font);
        p.drawText(QRectF(0, 0, 48, 48), Qt::AlignCenter, "?");
    });

    // The maker's mark beside the tabs: emblem and name on the window's blue.
    save("harbek.png", QSize(170, 38), [](QPainter &p, const QRectF &) {
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(stampPath(QRectF(4, 5, 24, 28), 3));
        p.setBrush(background);
        p.drawRect(QRectF(8, 9, 16, 20));
        drawQuill(p, QPointF(10, 30), QPointF(30, 3), 7, QColor(light));
        QFont font("DejaVu Sans", 17, QFont::Bold);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(38, 0, 132, 38), Qt::AlignVCenter | Qt::AlignLeft, "Quillet");
    });

    // The product logo of the About box.
    save("logo.png", QSize(150, 140), [](QPainter &p, const QRectF &) {
        const QRectF card(25, 12, 96, 116);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 60));
        p.drawPath(stampPath(card.translated(3, 4), 7));
        p.setBrush(Qt::white);
        p.drawPath(stampPath(card, 7));
        QRectF inner = card.adjusted(10, 10, -10, -10);
        QLinearGradient sky(inner.topLeft(), inner.bottomLeft());
        sky.setColorAt(0, buttonTop);
        sky.setColorAt(1, background);
        p.setBrush(sky);
        p.drawRect(inner);
        p.setPen(QPen(border, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(inner);
        drawQuill(p, QPointF(52, 112), QPointF(140, 8), 26, QColor(Qt::white));
        p.setPen(Qt::white);
        p.setFont(QFont("DejaVu Sans", 11, QFont::Bold));
        p.drawText(inner.adjusted(6, 0, 0, -6), Qt::AlignLeft | Qt::AlignBottom, "Q");
    });

    save("check.png", QSize(8, 8), [](QPainter &p, const QRectF &) {
        p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(1, 4), QPointF(3.2, 6.4), QPointF(7, 1.5)}));
    });
    save("check-symbol.png", QSize(11, 11), [](QPainter &p, const QRectF &) {
        p.setPen(QPen(green, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(1.5, 5.5), QPointF(4.3, 8.5), QPointF(9.5, 2)}));
    });

    const auto tab = [](bool selected) {
        return [selected](QPainter &p, const QRectF &r) {
            QPainterPath shape;
            shape.addRoundedRect(r.adjusted(0.5, 0.5, -0.5, 6), 6, 6);
            QLinearGradient fill(r.topLeft(), r.bottomLeft());
            if (selected) {
                fill.setColorAt(0, Qt::white);
                fill.setColorAt(1, QColor("#eef6fa"));
            } else {
                fill.setColorAt(0, buttonTop);
                fill.setColorAt(1, buttonBottom);
            }
            p.setClipRect(r);
            p.setPen(QPen(border, 1));
            p.setBrush(fill);
            p.drawPath(shape);
        };
    };
    save("tab_ns.png", QSize(116, 32), tab(false));
    save("tab_s.png", QSize(116, 32), tab(true));

    const auto comboArrow = [](const QColor &color) {
        return [color](QPainter &p, const QRectF &) {
            p.setPen(Qt::NoPen);
            p.setBrush(color);
            p.drawPolygon(QPolygonF({QPointF(1, 2), QPointF(13, 2), QPointF(7, 9)}));
        };
    };
    save("combo.png", QSize(14, 10), comboArrow(background));
    save("combol.png", QSize(14, 10), comboArrow(buttonTop));

    // Stage pictures of the progress panel.
    const auto stage = [](const std::function<void(QPainter &)> &symbol) {
        return [symbol](QPainter &p, const QRectF &) {
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawPath(stampPath(QRectF(8, 6, 40, 48), 5));
            QLinearGradient fill(QPointF(0, 12), QPointF(0, 48));
            fill.setColorAt(0, buttonTop);
            fill.setColorAt(1, buttonBottom);
            p.setBrush(fill);
            p.drawRect(QRectF(14, 12, 28, 36));
            symbol(p);
        };
    };
    save("qv-upload.png", QSize(64, 64), stage([](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(green).darker(115));
        p.drawEllipse(QPointF(46, 46), 14, 14);
        p.setPen(whitePen(3.5));
        p.drawLine(QPointF(46, 54), QPointF(46, 39));
        p.drawPolyline(QPolygonF({QPointF(40, 44), QPointF(46, 38), QPointF(52, 44)}));
    }));
    save("qv-recognize.png", QSize(64, 64), stage([](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 70));
        p.drawEllipse(QPointF(42, 40), 12, 12);
        drawMagnifier(p, QPointF(42, 40), 11, 4);
    }));
    save("qv-web.png", QSize(64, 64), stage([](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(background);
        p.drawEllipse(QPointF(44, 44), 15, 15);
        p.setPen(whitePen(2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(44, 44), 13, 13);
        p.drawEllipse(QRectF(38, 31, 12, 26));
        p.drawLine(QPointF(31, 44), QPointF(57, 44));
    }));

    save("border.png", QSize(40, 5), [](QPainter &p, const QRectF &r) {
        QLinearGradient fill(r.topLeft(), r.bottomLeft());
        fill.setColorAt(0, border);
        fill.setColorAt(1, QColor("#346c98"));
        p.fillRect(r, fill);
    });
    save("slider_button.png", QSize(13, 24), [](QPainter &p, const QRectF &r) {
        QLinearGradient fill(r.topLeft(), r.bottomLeft());
        fill.setColorAt(0, buttonBottom);
        fill.setColorAt(1, buttonTop);
        p.setPen(QPen(border, 1));
        p.setBrush(fill);
        p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
        p.setPen(QPen(Qt::white, 1));
        for (int y : {9, 12, 15})
            p.drawLine(QPointF(4, y), QPointF(9, y));
    });
}

// Language sources are UTF-8 text in the source tree; the program reads UTF-16 with a byte-order mark.
void writeLanguage(const QString &source)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << "cannot read " << source << "\n";
        failed = true;
        return;
    }
    const QString text = QString::fromUtf8(in.readAll());
    QFile out(outFolder + QLatin1Char('/') + QFileInfo(source).completeBaseName() + QStringLiteral(".lng"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        failed = true;
        return;
    }
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    out.write(encoder.encode(text));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: quillet-buildresources OUTDIR [LANGUAGE.txt...]\n";
        return 2;
    }
    outFolder = args.at(1);
    QDir().mkpath(outFolder + QStringLiteral("/resources"));
    drawPictures();
    for (int i = 2; i < args.size(); ++i)
        writeLanguage(args.at(i));
    return failed ? 1 : 0;
}
