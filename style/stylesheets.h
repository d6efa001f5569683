#pragma once

#include <QString>

// The program's look: style sheets in the palette #255680 (background), #173749 (borders) and the
// #52afd3 -> #71c5eb button gradient, and the folder the pictures they name come from.
class CStyleSheets
{
public:
    // The executable's folder followed by "/resources/".
    static QString resourceFolder();
    static QString resource(const QString &name) { return resourceFolder() + name; }

    static QString toolButton();
    static QString menu();
    static QString thumbnailPanel();
    static QString siteCheckBox();
    static QString tabWidget();
    static QString progressBar();
    static QString comboBox();
    // Dialog background with white text.
    static QString dialog();
};
