#pragma once

#include <QString>

// Writes a catalogue of generated stamps (pictures and catalogue.tsv), so that the recognition
// server runs out of the box and tests and benchmarks have catalogues of any size. Stamp n (from 1)
// is the generator's stamp number n, "stamp<nnnn>.png", with the keywords
// "Demoland", "<n>", "Generated stamp", "Seed <n>", "0001".
class CDemoCatalogue
{
public:
    static bool write(const QString &folder, int count, QString *error = nullptr);
    // The file name and the keyword item the server answers for stamp n.
    static QString fileName(int n);
    static QString keywordItem(int n);
};
