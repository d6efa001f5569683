#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class CStampCatalogue;

// The catalogue's stored index: its signatures ("catalogue.signatures"), the first filter's
// FAISS index ("catalogue.faiss") and the visual words' vocabulary and postings
// ("catalogue.words"), kept beside catalogue.tsv or in a folder of their own, so that a
// restart reads them instead of decoding every picture again. A row whose picture changed (size or
// modification time; or, when only its status change time or inode moved, its bytes) gets its
// signature computed again, a removed row leaves the stored signatures, and the FAISS index is
// rebuilt whenever the signatures file it was built from changed. The words of a picture are kept
// with its file name and content hash: a changed or added picture is quantised against the stored
// vocabulary, which is learnt again only when its file is missing or refused.
//
// Each file is a CIndexFile (checked header and checksum, no link followed, written by rename).
// A missing, damaged, foreign or out-of-date file is not used: the reason is reported, the part is
// rebuilt and written again. A file of a newer format version is left alone and nothing is written:
// the catalogue is served from memory. So is a catalogue whose pictures are missing in large part
// (an unmounted or moved folder): the stored files keep the missing rows for when they are back.
class CCatalogueIndex
{
public:
    static constexpr const char *signaturesFileName = "catalogue.signatures";
    static constexpr const char *faissFileName = "catalogue.faiss";
    static constexpr const char *wordsFileName = "catalogue.words";
    // 2: 8-bit signatures, the graph over PCA-reduced vectors; 3: the checked header of
    // CIndexFile, the pictures' status change time, inode and content hash; 4: the visual words.
    static constexpr quint32 formatVersion = 4;

    struct Report
    {
        int stored = 0;   // signatures read from storage
        int computed = 0; // signatures computed from pictures
        int removed = 0;  // stored signatures of rows gone or changed
        bool indexLoaded = false; // the FAISS index was read, not built
        int wordsStored = 0;      // pictures whose visual words were read from storage
        int wordsComputed = 0;    // pictures quantised
        bool vocabularyLoaded = false; // the vocabulary was read, not learnt
        int vocabularySize = 0;
        int withoutWords = 0;     // pictures with too few keypoints, found by their signature alone
        // False when the stored index could not be brought up to date (a file not written, a
        // newer version's file, pictures missing in large part): --build-index fails then.
        bool upToDate = true;
        QStringList messages; // what was refused and why, what was written
    };

    // stage is "signatures", "index", "vocabulary" or "words"; done counts up to total.
    using Progress = std::function<void(const QString &stage, int done, int total)>;

    // Loads the catalogue in folder with the stored index in indexFolder (folder itself when
    // empty) and brings the stored index up to date. False with a reason only when the catalogue
    // itself does not load; trouble with the stored index is reported and repaired.
    static bool open(CStampCatalogue &catalogue, const QString &folder, const QString &indexFolder,
                     const Progress &progress, Report *report, QString *error,
                     QStringList *warnings);
};
