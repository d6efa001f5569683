#include "stylesheets.h"

#include <QCoreApplication>

QString CStyleSheets::resourceFolder()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/resources/");
}

QString CStyleSheets::toolButton()
{
    return QStringLiteral(
        "QToolButton, QPushButton { border: none; border-radius: 5px; color: white; font-weight: bold;"
        " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #52afd3, stop:1 #71c5eb); }"
        "QToolButton:hover, QPushButton:hover {"
        " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #72c6eb, stop:1 #a1dbf5); }"
        "QToolButton:pressed, QPushButton:pressed {"
        " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #85c5eb, stop:0.5 #71c5eb, stop:1 #52abd3); }"
        "QToolButton:disabled, QPushButton:disabled {"
        " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #c4cacc, stop:0.5 #e2e4e5, stop:1 #e5e6e7); }");
}

QString CStyleSheets::menu()
{
    return QStringLiteral("QMenu { color: white; background-color: #255680; margin: 0px; } "
                          "QMenu::item:selected { background: #3377ad; } "
                          "QMenu::item:disabled { color: gray; }");
}

QString CStyleSheets::thumbnailPanel()
{
    // A 5 px border in #173749, shaded towards #346c98 and #255680 on every side.
    return QStringLiteral(
        "#left_panel { background-color: #255680; border: 5px solid #173749;"
        " border-top-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #173749, stop:1 #346c98);"
        " border-bottom-color: qlineargradient(x1:0, y1:1, x2:0, y2:0, stop:0 #173749, stop:1 #346c98);"
        " border-left-color: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #173749, stop:1 #255680);"
        " border-right-color: qlineargradient(x1:1, y1:0, x2:0, y2:0, stop:0 #173749, stop:1 #255680); }");
}

QString CStyleSheets::siteCheckBox()
{
    return QStringLiteral(
               "QCheckBox { background: none; color: #6d9eb4; font-weight: bold; }"
               "QCheckBox::indicator { width: 8px; height: 8px; border: 4px solid #173749;"
               " border-top-color: #346c98; border-left-color: #255680; }"
               "QCheckBox::indicator:checked { image: url(%1check.png); }")
        .arg(resourceFolder());
}

QString CStyleSheets::tabWidget()
{
    return QStringLiteral(
               "QTabWidget::tab-bar { alignment: right; }"
               "QTabWidget::pane { border: 1px solid #173749; background: white; border-radius: 5px;"
               " margin-bottom: 5px; padding: 2px; }"
               "QTabBar::tab { width: 116px; height: 32px; color: white; font-weight: bold; font-size: 12px;"
               " margin-top: 10px; margin-right: 5px; border: none; background-image: url(%1tab_ns.png); }"
               "QTabBar::tab:selected, QTabBar::tab:hover { color: #6d9eb4;"
               " background-image: url(%1tab_s.png); }")
        .arg(resourceFolder());
}

QString CStyleSheets::progressBar()
{
    return QStringLiteral(
        "QProgressBar { color: white; border: 1px solid #173749; text-align: center;"
        " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #76a5ba, stop:1 #a3c9da); }"
        "QProgressBar::chunk { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #40a4cc,"
        " stop:0.4 #6dd4fa, stop:0.5 #6dd4fa, stop:0.9 #1f9acd, stop:1 #24abd6); }");
}

QString CStyleSheets::comboBox()
{
    return QStringLiteral(
               "QComboBox { background: white; border: 1px solid #173749; color: black; padding-left: 10px;"
               " margin-bottom: 0px; }"
               "QComboBox::drop-down { border: none; }"
               "QComboBox::down-arrow { image: url(%1combo.png); }"
               "QComboBox::down-arrow:hover { image: url(%1combol.png); }"
               "QComboBox::down-arrow:pressed { image: url(%1combo.png); }"
               "QComboBox QAbstractItemView { background: #255680; border: 1px solid #173749; color: white;"
               " selection-background-color: #3377ad; }")
        .arg(resourceFolder());
}

QString CStyleSheets::dialog()
{
    return QStringLiteral("background-color: #255680;; color: white");
}
