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
// Each file starts with a header: a magic text, a format version, the vector dimension, the row
// count, the body's length and a checksum of the body. A missing, truncated, foreign, corrupt or
// out-of-date file is not used: the reason is reported, the part is rebuilt and written again.
// Files are written in the host's byte order; another order reads as a foreign file. They are
// read in place, mapped into memory, so that loading holds no second copy of either.
class CCatalogueIndex
{
public:
    static constexpr const char *signaturesFileName = "catalogue.signatures";
    static constexpr const char *faissFileName = "catalogue.faiss";
    static constexpr quint32 formatVersion = 2; // 2: 8-bit signatures, the graph over PCA-reduced vectors

    struct Report
    {
        int stored = 0;   // signatures read from storage
        int computed = 0; // signatures computed from pictures
        int removed = 0;  // stored signatures of rows gone or changed
        bool indexLoaded = false; // the FAISS index was read, not built
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
