#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class CStampCatalogue;

// The catalogue's stored index: its signatures ("catalogue.signatures") and the first filter's
// FAISS index ("catalogue.faiss"), kept beside catalogue.tsv or in a folder of their own, so that a
// restart reads them instead of decoding every picture again. A row whose picture changed (size or
// modification time) gets its signature computed again, a removed row leaves the stored
// signatures, and the FAISS index is rebuilt whenever the signatures it was built from changed.
//
// Both are read and written by CIndexFile (no links followed, one checksum over the whole file,
// copied out when read, replaced atomically). A missing, truncated, foreign, corrupt or
// out-of-date file is not used: the reason is reported, the part is rebuilt and written again. A
// file of a later format version, or one that cannot be replaced, is left as it is and the
// catalogue is served from memory. When many pictures are missing (a folder unmounted or moved),
// the stored files are left as they are too, so that the pictures' return costs nothing.
class CCatalogueIndex
{
public:
    static constexpr const char *signaturesFileName = "catalogue.signatures";
    static constexpr const char *faissFileName = "catalogue.faiss";
    // 2: 8-bit signatures, the graph over PCA-reduced vectors; 3: one checksum over the whole
    // file, each row with its picture's change time, inode and content hash
    static constexpr quint32 formatVersion = 3;

    struct Report
    {
        int stored = 0;   // signatures read from storage
        int computed = 0; // signatures computed from pictures
        int removed = 0;  // stored signatures of rows gone or changed
        bool indexLoaded = false; // the FAISS index was read, not built
        // Rows whose picture file is not there, and the first of them.
        int missing = 0;
        QString firstMissing;
        // The stored files hold what the catalogue is now; false when one could not be written
        // or was left as it is (the catalogue is then served from memory).
        bool upToDate = true;
        QStringList messages; // what was refused and why, what was written
    };

    // stage is "signatures" or "index"; done counts up to total.
    using Progress = std::function<void(const QString &stage, int done, int total)>;

    // Loads the catalogue in folder with the stored index in indexFolder (folder itself when
    // empty) and brings the stored index up to date. False with a reason only when the catalogue
    // itself does not load; trouble with the stored index is reported and repaired.
    static bool open(CStampCatalogue &catalogue, const QString &folder, const QString &indexFolder,
                     const Progress &progress, Report *report, QString *error,
                     QStringList *warnings);
};
