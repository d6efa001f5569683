// Build-time tool: renders the hand-written application icon (SVG) to a square PNG of the given
// side, for the icon sizes that desktops look up as pictures. Usage: quillet-rendericon SVG SIDE PNG
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTextStream>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    bool sideOk = false;
    const int side = args.value(2).toInt(&sideOk);
    if (args.size() != 4 || !sideOk || side < 1) {
        err << "usage: quillet-rendericon SVG SIDE PNG\n";
        return 2;
    }
    QSvgRenderer svg(args.at(1));
    if (!svg.isValid()) {
        err << "quillet-rendericon: cannot read " << args.at(1) << "\n";
        return 1;
    }
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter, QRectF(0, 0, side, side));
    }
    if (!image.save(args.at(3), "PNG")) {
        err << "quillet-rendericon: cannot write " << args.at(3) << "\n";
        return 1;
    }
    return 0;
}
