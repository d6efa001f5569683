#pragma once

#include <QList>
#include <QPair>
#include <QString>

// Reader of the "key = value" files (config.cfg, hosts.cfg). Blanks are not significant anywhere
// in a line, a value ends at the next "=", and lines without "=" are skipped.
class KeyValueFile
{
public:
    using Entries = QList<QPair<QString, QString>>;

    // Longest line taken; the rest of a longer line is dropped so that a file of garbage cannot
    // make us hold a huge line in memory.
    static constexpr qint64 maxLineLength = 64 * 1024;

    // Splits one line; false when it holds no "=".
    static bool parseLine(QString line, QString *key, QString *value);

    // Largest file read. No settings file comes near it; a larger one is garbage or worse, and
    // reading it would hold up the start, so it is refused whole and the defaults stay.
    static constexpr qint64 maxFileSize = 256 * 1024;

    // Reads every entry of an open device, in file order. A device larger than maxFileSize gives
    // no entries and sets *tooLarge.
    static Entries read(class QIODevice &device, bool *tooLarge = nullptr);
    // Reads a file; an unreadable or missing file gives no entries, and so does a file larger
    // than maxFileSize, which also sets *tooLarge.
    static Entries read(const QString &path, bool *tooLarge = nullptr);
};
