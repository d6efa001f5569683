#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Photographs a stamp picture (a catalogue scan, a generated stamp) as a collector does with a
// phone: the stamp laid on an album page, a stock page or a table beside its neighbours, seen a
// little at a slant and turned, framed loosely, under a lamp's exposure and colour, slightly out of
// focus, with the camera's noise and JPEG. The recognition benchmark asks the server with these.
// The photo is deterministic for the same picture, seed and options.
//
//     CStampPhotographer::Options o;
//     o.hard = true;          // a glare spot, a steeper angle, a small picture
//     o.quarterTurns = 1;     // and the whole photo turned a quarter turn clockwise
//     const CStampPhotographer::Photo p = CStampPhotographer::photograph(scan, 17, o);
//
// A plain surround of the picture (a scanner's white, a generated stamp's page colour) is left
// out, so that the stamp's own edge lies on the background. The same seed with other quarterTurns
// gives the same photo turned.
class CStampPhotographer
{
public:
    struct Options
    {
        // A lamp's glare spot on the stamp, a steeper angle of view, and a picture of 200 to 400
        // pixels on its longer side.
        bool hard = false;
        // Clockwise quarter turns of the finished photo (0..3), as when the phone is held sideways.
        int quarterTurns = 0;
    };

    struct Photo
    {
        std::vector<uchar> jpeg; // the photo's file; empty when the picture was empty
        cv::Mat picture;         // the file decoded, 8-bit BGR
    };

    // `picture` is 8-bit BGR, grey or BGRA.
    static Photo photograph(const cv::Mat &picture, int seed, const Options &options);
};
