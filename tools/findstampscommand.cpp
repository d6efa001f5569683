// quillet-tool find-stamps PICTURE: the stamps found in a picture, best first, one box a line:
// x y width height, in the pixels of the picture turned upright as its EXIF orientation says.
#include "toolcommand.h"

#include "imaging/stampfinder.h"

#include <QImageReader>
#include <QTextStream>

#include <cstdio>

static ToolCommand cmd("find-stamps", "find-stamps PICTURE", [](const QStringList &args) -> int {
    QTextStream err(stderr);
    if (args.size() != 1) {
        err << "usage: quillet-tool find-stamps PICTURE\n";
        return 2;
    }
    QImageReader reader(args.first());
    reader.setAutoTransform(true);
    const QImage picture = reader.read();
    if (picture.isNull()) {
        err << "find-stamps: cannot read \"" << args.first() << "\": " << reader.errorString() << "\n";
        return 1;
    }
    for (const QRect &box : CStampFinder::findStamps(picture))
        std::printf("%d %d %d %d\n", box.x(), box.y(), box.width(), box.height());
    return std::fflush(stdout) == 0 ? 0 : 1;
});
