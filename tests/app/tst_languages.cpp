// The interface languages: every English text translated in every language file, no formatting
// marker gained or lost, every text fitting its widget once rendered, each language listed by its
// own name.
#include "app/aboutdlg.h"
#include "app/mainwindow.h"
#include "app/translationtable.h"
#include "app/windowsettings.h"
#include "matching/stampgenerator.h"
#include "matching/stampmatcher.h"
#include "results/evidenceview.h"
#include "modalanswerer.h"
#include "temphome.h"
#include "testenv.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QtTest>

namespace {

QString sourceDir()
{
    return QDir(TestEnv::dataDir() + QStringLiteral("/../..")).canonicalPath();
}

// key -> text of a language source (resources/lang/NAME.txt: a first line that describes the
// file, then "English##translation" lines).
QMap<QString, QString> readSource(const QString &path)
{
    QMap<QString, QString> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines.mid(1)) {
        const QStringList parts = line.split(QStringLiteral("##"));
        if (parts.size() == 2)
            entries.insert(parts.at(0), parts.at(1));
    }
    return entries;
}

// Every English text of the interface: the German file's keys (which hold the texts passed through
// the translation table from other classes), and every literal the program's own code hands to a
// translation table, so that a text added to the code without a translation is caught too.
QStringList englishTexts()
{
    QSet<QString> texts;
    const QMap<QString, QString> german = readSource(sourceDir() + QStringLiteral("/resources/lang/german.txt"));
    for (auto it = german.cbegin(); it != german.cend(); ++it)
        texts.insert(it.key());
    static const QRegularExpression literal(QStringLiteral(R"re(\btr\(\s*(?:QStringLiteral\()?"([^"]*)")re"));
    for (const char *folder : {"app", "imaging", "results", "search", "sites", "matching"}) {
        QDirIterator files(sourceDir() + QLatin1Char('/') + QLatin1String(folder), {"*.cpp", "*.h"}, QDir::Files);
        while (files.hasNext()) {
            QFile file(files.next());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QString code = QString::fromUtf8(file.readAll());
            for (auto match = literal.globalMatch(code); match.hasNext();)
                texts.insert(match.next().captured(1));
        }
    }
    QStringList sorted(texts.begin(), texts.end());
    sorted.sort();
    return sorted;
}

// The formatting markers a text carries: %1 to %99 and a file dialog's "(*.png ...)" patterns.
QStringList markers(const QString &text)
{
    static const QRegularExpression marker(QStringLiteral(R"re(%\d+|\(\*\.[^)]*\))re"));
    QStringList found;
    for (auto match = marker.globalMatch(text); match.hasNext();)
        found << match.next().captured(0);
    found.sort();
    return found;
}

QStringList languageSources()
{
    QStringList names = QDir(sourceDir() + QStringLiteral("/resources/lang")).entryList({"*.txt"}, QDir::Files);
    names.removeAll(QStringLiteral("english.txt"));
    return names;
}

// The widgets of a window whose text is cut: the rendered text wider (or taller) than the widget.
// Widgets the window never shows (the site choices, the hidden Apply) are not measured.
QStringList overflowing(const QWidget *window)
{
    QStringList cut;
    for (const QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
        if (!button->isVisibleTo(window))
            continue;
        if (!button->text().isEmpty() && button->sizeHint().width() > button->width())
            cut << QStringLiteral("button \"%1\": %2 > %3 px").arg(button->text()).arg(button->sizeHint().width()).arg(button->width());
    }
    for (const QLabel *label : window->findChildren<QLabel *>()) {
        if (label->text().isEmpty() || !label->pixmap().isNull() || !label->isVisibleTo(window))
            continue;
        const QFontMetrics metrics(label->font());
        const QRect needed = metrics.boundingRect(label->contentsRect(), label->alignment() | (label->wordWrap() ? Qt::TextWordWrap : 0),
                                                  label->text());
        if (needed.width() > label->contentsRect().width() || needed.height() > label->contentsRect().height())
            cut << QStringLiteral("label \"%1\": %2x%3 > %4x%5 px").arg(label->text()).arg(needed.width()).arg(needed.height())
                       .arg(label->contentsRect().width()).arg(label->contentsRect().height());
    }
    for (const QGroupBox *box : window->findChildren<QGroupBox *>()) {
        if (!box->title().isEmpty() && QFontMetrics(box->font()).horizontalAdvance(box->title()) + 20 > box->width())
            cut << QStringLiteral("group box \"%1\"").arg(box->title());
    }
    for (const QComboBox *combo : window->findChildren<QComboBox *>()) {
        for (int n = 0; n < combo->count(); ++n) {
            if (QFontMetrics(combo->font()).horizontalAdvance(combo->itemText(n)) + 24 > combo->width())
                cut << QStringLiteral("list entry \"%1\"").arg(combo->itemText(n));
        }
    }
    return cut;
}

} // namespace

class TestLanguages : public QObject
{
    Q_OBJECT
private slots:
    void everyTextIsTranslated_data();
    void everyTextIsTranslated();
    void textsFitTheirWidgets_data();
    void textsFitTheirWidgets();
    void languagesAreListedByTheirOwnNames();
};

void TestLanguages::everyTextIsTranslated_data()
{
    QTest::addColumn<QString>("file");
    for (const QString &name : languageSources())
        QTest::newRow(qPrintable(name)) << name;
    QVERIFY(languageSources().size() >= 10);
}

void TestLanguages::everyTextIsTranslated()
{
    QFETCH(QString, file);
    const QMap<QString, QString> entries = readSource(sourceDir() + QStringLiteral("/resources/lang/") + file);
    const QStringList english = englishTexts();
    QVERIFY(english.size() > 40);
    QStringList missing, markersDiffer;
    for (const QString &text : english) {
        if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1String("\\n")))
            missing << text + QStringLiteral(" (a line break: no language file can hold it)");
        else if (entries.value(text).trimmed().isEmpty())
            missing << text;
        else if (markers(entries.value(text)) != markers(text))
            markersDiffer << text + QStringLiteral(" -> ") + entries.value(text);
    }
    QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("not translated: ") + missing.join(QStringLiteral(" | "))));
    QVERIFY2(markersDiffer.isEmpty(), qPrintable(QStringLiteral("markers differ: ") + markersDiffer.join(QStringLiteral(" | "))));
}

void TestLanguages::textsFitTheirWidgets_data()
{
    QTest::addColumn<QString>("language");
    for (const QString &language : CTranslationTable::languages(TestEnv::binDir()))
        QTest::newRow(qPrintable(language)) << language;
}

// Measured as drawn, with the fonts the machine has (the CJK ones from Debian's font package).
void TestLanguages::textsFitTheirWidgets()
{
    QFETCH(QString, language);
    TempHome home;
    home.writeKnownConfig(language);
    MainWindow window({"quillet"});
    window.setMinimumSize(1000, 655);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStringList cut = overflowing(&window);
    window.progress()->show();
    cut << overflowing(window.progress());
    window.settings()->show();
    cut << overflowing(window.settings());
    QImage logo(10, 10, QImage::Format_RGB32);
    CTranslationTable table;
    table.load(CTranslationTable::languageFile(TestEnv::binDir(), language));
    CAboutDlg about(&logo, &logo, &table, &window);
    about.show();
    cut << overflowing(&about);
    // The side-by-side view of a match, at its first size.
    const cv::Mat stamp = CStampGenerator::stamp(4);
    const QImage candidate = CStampGenerator::toImage(CStampGenerator::rotated(stamp, 6));
    CStampMatcher matcher;
    matcher.setReference(CStampGenerator::toImage(stamp));
    QVERIFY(matcher.compareImage(candidate));
    CEvidenceView view(matcher.evidence(), candidate, "http://stamps.test/1", "stamps.test",
                       [&table](const QString &text) { return table.tr(text); });
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    cut << overflowing(&view);
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
}

void TestLanguages::languagesAreListedByTheirOwnNames()
{
    TempHome home;
    home.writeKnownConfig("japanese");
    MainWindow window({"quillet"});
    QComboBox *box = window.settings()->languageBox();
    QCOMPARE(box->currentText(), QString("日本語"));
    for (const auto &[name, shown] : {std::pair{"italian", "Italiano"}, std::pair{"spanish", "Español"},
                                      std::pair{"russian", "Русский"}, std::pair{"chinese", "简体中文"},
                                      std::pair{"english", "English"}}) {
        const int row = box->findData(QString::fromLatin1(name));
        QVERIFY2(row >= 0, name);
        QCOMPARE(box->itemText(row), QString::fromUtf8(shown));
    }
    // The setting stays the file's name.
    box->setCurrentIndex(box->findData(QStringLiteral("russian")));
    window.settings()->slotOnOk();
    QVERIFY(home.readConfig().contains("language = russian\n"));
}

QTEST_MAIN(TestLanguages)
#include "tst_languages.moc"
