#pragma once

#include "stampsignature.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

// The recognition server's catalogue: a folder of stamp pictures and "catalogue.tsv", one stamp per
// row, tab-separated, no header: picture file name, country or issue name, catalogue number and
// three descriptive fields ("0001" when there is no third). Lines starting with "#" and blank
// lines are skipped. Each picture's signature is computed once, at load.
class CStampCatalogue
{
public:
    struct Entry
    {
        QString picturePath;
        QString country;
        QString number;
        QStringList descriptions; // three
        CStampSignature signature;

        // The search keyword: country "[c]" number "[inf]" three fields joined by "[i]", blanks
        // written "_".
        QString keywordItem() const;
        // The picture as the comparison takes it (32-bit RGB); null when it no longer reads.
        QImage loadPicture() const;
    };

    // Reads the folder. False with a reason when catalogue.tsv is missing or unreadable; rows that
    // are malformed or whose picture does not read are skipped with a warning each.
    bool load(const QString &folder, QString *error = nullptr, QStringList *warnings = nullptr);

    const QList<Entry> &entries() const { return m_entries; }
    int size() const { return int(m_entries.size()); }
    QString folder() const { return m_folder; }

    static constexpr const char *indexFileName = "catalogue.tsv";

private:
    QString m_folder;
    QList<Entry> m_entries;
};
