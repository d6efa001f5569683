#include "startupreport.h"

#include "appconfig.h"
#include "mainwindow.h"
#include "translationtable.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>

void CStartupReport::scheduleIfAsked(MainWindow &window)
{
    const QString path = qEnvironmentVariable("QUILLET_STARTUP_REPORT");
    if (path.isEmpty())
        return;
    QTimer::singleShot(1000, &window, [&window, path] {
        write(window, path);
        QCoreApplication::quit();
    });
}

void CStartupReport::write(const MainWindow &window, const QString &path)
{
    const QString folder = QCoreApplication::applicationDirPath();

    int panelButtons = 0, panelPictures = 0;
    if (const QWidget *panel = window.findChild<QWidget *>(QStringLiteral("up_panel"))) {
        for (const QToolButton *button : panel->findChildren<QToolButton *>()) {
            ++panelButtons;
            // An icon made from a missing file is not null; its picture is.
            panelPictures += button->icon().pixmap(button->iconSize()).isNull() ? 0 : 1;
        }
    }

    // Every picture a style sheet of the window names, by its file.
    static const QRegularExpression url(QStringLiteral("url\\(([^)]+)\\)"));
    QSet<QString> named;
    for (const QWidget *widget : window.findChildren<QWidget *>()) {
        for (const QRegularExpressionMatch &match : url.globalMatch(widget->styleSheet()))
            named.insert(match.captured(1));
    }
    QStringList missing;
    for (const QString &file : named) {
        if (!QFileInfo(file).isFile())
            missing << file;
    }
    missing.sort();

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    QTextStream out(&file);
    out << "folder=" << folder << "\n"
        << "language=" << window.config()->language << "\n"
        << "texts=" << window.translations()->size() << "\n"
        << "languages=" << CTranslationTable::languages(folder).join(QLatin1Char(' ')) << "\n"
        << "panel_pictures=" << panelPictures << "/" << panelButtons << "\n"
        << "style_pictures=" << (named.size() - missing.size()) << "/" << named.size() << "\n"
        << "missing=" << missing.join(QLatin1Char('|')) << "\n"
        << "arguments=" << QCoreApplication::arguments().mid(1).join(QLatin1Char('|')) << "\n";
}
