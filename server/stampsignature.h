#pragma once

#include <QImage>
#include <vector>

// A cheap global description of a stamp picture, for picking the few catalogue stamps worth the
// full comparison: a small blurred grey thumbnail of the picture's inner part (its layout) and a
// coarse colour histogram (its inks). Both tolerate small turns, scaling and JPEG artefacts.
class CStampSignature
{
public:
    static constexpr int layoutSide = 24;

    // An empty signature for a null or tiny picture.
    static CStampSignature fromImage(const QImage &image);

    bool isValid() const { return !m_layout.empty(); }
    // 1 for identical pictures, around 0 for unrelated ones; -1 when either is invalid.
    double similarity(const CStampSignature &other) const;

    // The signature's own numbers (layout, then colours), as the stored catalogue index keeps them;
    // fromValues() gives back an equal signature, or an invalid one for a wrong count.
    std::vector<float> values() const;
    static CStampSignature fromValues(const float *values, size_t count);
    static constexpr size_t valueCount = layoutSide * layoutSide + 216;

    // The signature as one unit-length vector whose inner product with another's approximates
    // similarity(): the layout as it is, the colours as square roots (their inner product, the
    // Bhattacharyya coefficient, is at least the histogram intersection similarity() takes). The
    // nearest-neighbour index ranks these; the shortlist is then ranked by similarity() itself.
    std::vector<float> embedding() const;

    // Bytes held, for the server's memory figures.
    size_t byteSize() const { return (m_layout.size() + m_colours.size()) * sizeof(float); }

private:
    std::vector<float> m_layout;  // zero mean, unit length
    std::vector<float> m_colours; // sums to 1
};
