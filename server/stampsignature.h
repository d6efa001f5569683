#pragma once

#include <QImage>
#include <vector>

// A cheap global description of a stamp picture, for picking the few catalogue stamps worth the
// full comparison: a small blurred grey thumbnail of the picture's inner part (its layout) and a
// coarse colour histogram (its inks). Both tolerate small turns, scaling and JPEG artefacts.
class CStampSignature
{
public:
    // An empty signature for a null or tiny picture.
    static CStampSignature fromImage(const QImage &image);

    bool isValid() const { return !m_layout.empty(); }
    // 1 for identical pictures, around 0 for unrelated ones; -1 when either is invalid.
    double similarity(const CStampSignature &other) const;

    // Bytes held, for the server's memory figures.
    size_t byteSize() const { return (m_layout.size() + m_colours.size()) * sizeof(float); }

    static constexpr int layoutSide = 24;

private:
    std::vector<float> m_layout;  // zero mean, unit length
    std::vector<float> m_colours; // sums to 1
};
