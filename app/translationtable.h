#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The interface-language table: English texts as the code writes them, mapped to the texts shown
// instead. Filled from a ".lng" file (UTF-16, one "key##text" entry per line).
class CTranslationTable
{
public:
    // Longest piece of a line read at once; a longer line is taken as several lines.
    static constexpr qint64 maxPieceLength = 4096;

    // Empties the table and reads the file; a file that cannot be opened leaves the table empty.
    void load(const QString &path);
    // The text of the first entry for key, or key itself.
    QString tr(const QString &key) const;

    int size() const { return int(m_entries.size()); }

    // Names of the "*.lng" files of a folder, sorted by name ignoring case, without ".lng".
    static QStringList languages(const QString &folder);
    // A language's name in the language itself (its file's "This language" entry), or the
    // file's name when it has none.
    static QString nativeName(const QString &folder, const QString &language);
    // The language file of a language in a folder.
    static QString languageFile(const QString &folder, const QString &language);

private:
    QList<QPair<QString, QString>> m_entries;
};
