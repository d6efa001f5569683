#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Draws photographs of album pages, stock pages and stamps on a table, for the tests, benchmarks and
// screenshots of the stamp finder, and says where every stamp and every paper label truly is. The
// stamps come from CStampGenerator; the pictures are deterministic for the same options.
//
//     CAlbumPageGenerator::Options o;
//     o.background = CAlbumPageGenerator::DarkStockPage;
//     o.touching = true;
//     const CAlbumPageGenerator::Page page = CAlbumPageGenerator::page(o);
//     // page.picture is BGR, page.stamps the stamps' boxes in its pixels, row by row
class CAlbumPageGenerator
{
public:
    enum Background {
        DarkStockPage,   // black card with clear mounting strips across it, stamps tucked into the strips
        LightAlbumPage,  // cream paper with a faint printed grid
        Table,           // wood grain, as when a stamp lies on a desk
    };

    struct Options
    {
        int seed = 1;
        Background background = DarkStockPage;
        cv::Size size = cv::Size(2000, 1500);
        int rows = 3;
        int columns = 4;
        // Stamp height as a fraction of the page height divided among the rows (0..1).
        double fill = 0.7;
        bool touching = false;     // neighbours in a row share an edge
        bool overlapping = false;  // neighbours in a row cover a few percent of each other
        double maxTurn = 0;        // every stamp turned by up to this many degrees either way
        bool imperforate = false;  // straight-cut edges instead of perforation teeth (every other stamp if false)
        bool labels = false;       // a handwritten paper label under every row
        bool onTable = false;      // the page lies on a light table that shows around it
        double jpegQuality = 85;   // 0: no JPEG round trip
    };

    struct Page
    {
        cv::Mat picture;                // 8-bit BGR
        std::vector<cv::Rect> stamps;   // the stamps' upright bounding boxes, row by row
        std::vector<cv::Rect> labels;   // the paper labels' boxes
    };

    static Page page(const Options &options);
    // One stamp (number `seed`) lying turned by `degrees` on `background`, with a margin of
    // `margin` times its size on every side, as when a single stamp is photographed loosely.
    static Page single(int seed, Background background, double margin, double degrees = 0);
    // The bare background of `size`, with no stamp on it; `seed` varies the wood grain.
    static cv::Mat background(Background background, cv::Size size, int seed = 1);
};
