#include "pc1cipher.h"

#include <algorithm>
#include <utility>

CPc1Cipher::CPc1Cipher()
{
    static_assert(sizeof(protocolKeyText) == 17, "the protocol key is 16 bytes");
    std::copy_n(reinterpret_cast<const uint8_t *>(protocolKeyText), 16, m_protocolKey.begin());
    resetRegisters();
}

void CPc1Cipher::resetRegisters()
{
    m_key = m_protocolKey;
    m_x1a0.fill(0);
    m_x1a2 = m_si = m_i = m_res = m_inter = m_cfc = m_cfd = m_c = 0;
}

// One step of the generator; every product and sum wraps at 16 bits.
void CPc1Cipher::code()
{
    const auto mul = [](uint16_t a, uint16_t b) { return uint16_t(uint32_t(a) * uint32_t(b)); };
    uint16_t dx = uint16_t(m_x1a2 + m_i);
    uint16_t ax = m_x1a0[m_i];
    uint16_t cx = 0x015A;
    const uint16_t bx = 0x4E35;

    std::swap(ax, m_si);
    std::swap(ax, dx);
    if (ax != 0)
        ax = mul(ax, bx);
    std::swap(ax, cx);
    if (ax != 0) {
        ax = mul(ax, m_si);
        cx = uint16_t(ax + cx);
    }
    std::swap(ax, m_si);
    ax = mul(ax, bx);
    dx = uint16_t(cx + dx);
    ax = uint16_t(ax + 1);

    m_x1a2 = dx;
    m_x1a0[m_i] = ax;
    m_res = ax ^ dx;
    m_i = uint16_t(m_i + 1);
}

void CPc1Cipher::assemble()
{
    m_x1a0[0] = uint16_t(m_key[0] * 256 + m_key[1]);
    code();
    m_inter = m_res;
    for (int n = 1; n < 8; ++n) {
        m_x1a0[n] = m_x1a0[n - 1] ^ uint16_t(m_key[2 * n] * 256 + m_key[2 * n + 1]);
        code();
        m_inter ^= m_res;
    }
    m_i = 0;
    m_cfc = m_inter >> 8;
    m_cfd = m_inter & 0xFF;
}

QByteArray CPc1Cipher::encryptText(const QByteArray &plain)
{
    resetRegisters();
    const int count = std::clamp<qsizetype>(m_length, 0, plain.size());
    m_encrypted.clear();
    m_encrypted.reserve(2 * count);
    for (int n = 0; n < count; ++n) {
        // The byte is widened as a signed value: 0x80..0xFF become 0xFF80..0xFFFF.
        m_c = uint16_t(int16_t(int8_t(plain.at(n))));
        assemble();
        for (uint8_t &k : m_key)
            k ^= uint8_t(m_c & 0xFF);
        m_c = m_c ^ m_cfc ^ m_cfd;
        m_encrypted.append(char(uint8_t((m_c >> 4) + 0x61)));
        m_encrypted.append(char((m_c & 15) + 0x61));
    }
    return m_encrypted;
}

QByteArray CPc1Cipher::decryptText(const QByteArray &text)
{
    resetRegisters();
    const int count = std::clamp<qsizetype>(m_length, 0, text.size());
    m_decrypted.clear();
    m_decrypted.reserve(count / 2);
    for (int n = 0; n < count / 2; ++n) {
        const uint8_t first = uint8_t(text.at(2 * n));
        const uint8_t second = uint8_t(text.at(2 * n + 1));
        m_c = uint16_t(first * 16 + second - 1649);
        assemble();
        m_c = m_c ^ m_cfc ^ m_cfd;
        for (uint8_t &k : m_key)
            k ^= uint8_t(m_c & 0xFF);
        m_decrypted.append(char(uint8_t(m_c & 0xFF)));
    }
    return m_decrypted;
}

bool CPc1Cipher::isLetterText(const QByteArray &text)
{
    if (text.size() % 2 != 0)
        return false;
    // First letters carry the high nibble (0x51..0x70), second letters the low one (0x61..0x70).
    for (qsizetype n = 0; n < text.size(); ++n) {
        const uint8_t value = uint8_t(text.at(n));
        if (value > 0x70 || value < (n % 2 == 0 ? 0x51 : 0x61))
            return false;
    }
    return true;
}
