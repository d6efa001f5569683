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
// A match that was compared is followed by an element of its own with its site and agreement and
// the picture N-evidence.jpg, the candidate with the outline of the user's stamp drawn on it.
//
// A report is the last search's or none: a search sets the old one aside when it starts, and the
// new one appears whole (pictures first, then the page) or not at all.
class CSearchReport
{
public:
    // Writes page and pictures; outcome, when not empty, is a line of its own in the body that says
    // how a search without matches ended ("no match", "cancelled", the server's message). Every
    // picture and the page are flushed to disk before they take their place; on any failure
    // nothing of this report is left and the return value says what failed, with the system's
    // reason (empty on success). Path failures also go to the debug output ("report path error",
    // "creat report path error", "save report error").
    static QString write(const QString &reportPath, const QVector<field_ready> &resultList,
                         const QString &outcome = QString(), const CMatchEvidence::Translator &tr = {});

    // Whether a report can be written at path: a file in a folder, not a folder itself (its
    // pictures would go among the files in it).
    enum PathCheck { PathUsable, PathIsFolder, PathNotAFile };
    static PathCheck checkPath(const QString &path);

    // Moves the report at reportPath and its numbered pictures into the folder previousFolder()
    // (replacing what an earlier search put there), so that nothing at reportPath can pass for the
    // report of the search that starts. Other files in the picture folder stay where they are.
    static void setAside(const QString &reportPath);
    // Where setAside() keeps the old report: the same layout as beside the report, so its page
    // still shows its pictures.
    static QString previousFolder(const QString &reportPath);
    // Drops what setAside() kept, once a new report has taken its place.
    static void dropPrevious(const QString &reportPath);

    // The page's text for these entries and picture folder name. Every address is written
    // percent-encoded and escaped as an attribute value, so the page is ASCII and no address can
    // close its attribute or add markup.
    static QByteArray pageText(const QString &baseName, const QVector<field_ready> &resultList,
                               const QString &outcome = QString(), const CMatchEvidence::Translator &tr = {});

    // Any page in the report's form: its text (made for the pictures' folder name) and pictures
    // saved as 0.jpg, 1.jpg, ... in that folder, and `namedPictures` beside them under their names
    // (N-evidence.jpg), all of it or nothing, as write() does. Empty on success; else what failed,
    // with the system's reason (the debug output also says which).
    static QString writePage(const QString &reportPath, const std::function<QByteArray(const QString &baseName)> &page,
                             const QList<QImage> &pictures, const QList<std::pair<QString, QImage>> &namedPictures = {});
    // Text as page content: markup characters escaped, and every character outside ASCII as a
    // character reference, so that the page reads the same whatever its declared character set.
    static QByteArray escapedText(const QString &text);
};
