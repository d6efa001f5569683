#pragma once

#include "matching/field_ready.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QVector>

#include <functional>

// The HTML report of a search's matches: one page linking each match's picture to its page, and
// beside it a folder named after the page holding the pictures as 0.jpg, 1.jpg, ... For
// "/data/find.html" the pictures go to "/data/find/" and the page refers to them as "find/0.jpg".
class CSearchReport
{
public:
    // Writes page and pictures; failures go to the debug output only ("report path error",
    // "creat report path error", "save report error").
    static void write(const QString &reportPath, const QVector<field_ready> &resultList);

    // The page's text for these entries and picture folder name. Every address is written
    // percent-encoded and escaped as an attribute value, so the page is ASCII and no address can
    // close its attribute or add markup.
    static QByteArray pageText(const QString &baseName, const QVector<field_ready> &resultList);

    // Any page in the report's form: its text (made for the pictures' folder name) and pictures
    // saved as 0.jpg, 1.jpg, ... in that folder. False when the path has no folder or file name, or
    // a write failed (the debug output says which).
    static bool writePage(const QString &reportPath, const std::function<QByteArray(const QString &baseName)> &page,
                          const QList<QImage> &pictures);
    // Text as page content: markup characters escaped, and every character outside ASCII as a
    // character reference, so that the page reads the same whatever its declared character set.
    static QByteArray escapedText(const QString &text);
};
