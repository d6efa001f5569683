#pragma once

#include <QImage>

#include <array>
#include <cstdint>
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

    bool isValid() const { return m_valid; }
    // 1 for identical pictures, around 0 for unrelated ones; -1 when either is invalid.
    double similarity(const CStampSignature &other) const;

    // The signature's numbers (layout, then colours) as floats, and a signature from such numbers
    // (an invalid one for a wrong count); values() of fromValues(v) is v within the 8-bit steps.
    std::vector<float> values() const;
    static CStampSignature fromValues(const float *values, size_t count);
    static constexpr size_t layoutCount = layoutSide * layoutSide;
    static constexpr size_t colourCount = 216;
    static constexpr size_t valueCount = layoutCount + colourCount;

    // The signature as the stored catalogue index keeps it: byteCount bytes in the host's order.
    // fromBytes() gives back an equal signature, or an invalid one for a wrong length.
    static constexpr size_t byteCount = 2 * sizeof(float) + valueCount;
    void toBytes(char *out) const;
    static CStampSignature fromBytes(const char *data, size_t size);

    // The signature as one vector of valueCount values, of length about 1, whose inner product
    // with another's approximates similarity(): the layout as it is, the colours as square roots
    // (their inner product, the Bhattacharyya coefficient, is at least the histogram intersection
    // similarity() takes). The nearest-neighbour index ranks these; the shortlist is then ranked
    // by similarity() itself. out holds valueCount floats.
    void embedding(float *out) const;
    std::vector<float> embedding() const;

private:
    // 8 bits a value with one step each for the layout and the colours: the signature is held
    // once per catalogue stamp, in a quarter of floats' memory; the steps are a 127th of the largest
    // layout magnitude and a 255th of the largest colour bin.
    std::array<std::int8_t, layoutCount> m_layout{};   // zero mean, unit length, times m_layoutStep
    std::array<std::uint8_t, colourCount> m_colours{}; // sums to 1, times m_colourStep
    float m_layoutStep = 0.0f;
    float m_colourStep = 0.0f;
    bool m_valid = false;
};
