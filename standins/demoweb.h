#pragma once

#include <QImage>
#include <QString>

class TestWeb;

// The stand-in stamp sites of the demo: every search for a stamp of the demo catalogue finds
// photographs of it (turned, relit, recompressed, rescaled) among other stamps, and the reverse
// image search finds nothing more.
class CDemoWeb
{
public:
    // Fills web with offers for catalogue stamps 1 to count.
    static void offerStamps(TestWeb &web, int count);
    // The host configuration that sends every site to web (as proxy) and the search engine to it
    // directly, with the given recognition server; the maker's site stays silent.
    static QString hostsText(const TestWeb &web, const QString &recognition);
    // A photograph of catalogue stamp n: a little turned and relit on an album page.
    static QImage photograph(int n);
};
