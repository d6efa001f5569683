#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

// PC1 stream cipher (128-bit key) in its letter form: every byte becomes two letters. The key is
// fixed, and every encryption and decryption starts from cleared registers and the fixed key, so
// the same plaintext always gives the same letters and every message stands on its own.
class CPc1Cipher
{
public:
    CPc1Cipher();

    // Number of bytes (encryption) or letters (decryption) the next call reads; the caller sets it
    // before each call. It is bounded by the input's size, so a wrong length never reads past it.
    void setLength(int length) { m_length = length; }
    int length() const { return m_length; }

    // The first length() bytes of plain, as letters (two per byte). Bytes below 0x80 give letters
    // "a" to "p"; a byte of 0x80 or more gives a first letter between 0x51 and 0x60.
    QByteArray encryptText(const QByteArray &plain);
    // The first length() letters of text back to bytes (one per two letters; an odd last letter is
    // ignored).
    QByteArray decryptText(const QByteArray &text);

    // Whether text is made only of the letters encryptText emits and has an even length.
    static bool isLetterText(const QByteArray &text);

    static constexpr char protocolKeyText[] = "q7wz!rk=3mvd+tp2";

private:
    void resetRegisters();
    void code();
    void assemble();

    std::array<uint8_t, 16> m_protocolKey{};
    std::array<uint8_t, 16> m_key{};
    // The registers of the published algorithm.
    std::array<uint16_t, 8> m_x1a0{};
    uint16_t m_x1a2 = 0;
    uint16_t m_si = 0;
    uint16_t m_i = 0;
    uint16_t m_res = 0;
    uint16_t m_inter = 0;
    uint16_t m_cfc = 0;
    uint16_t m_cfd = 0;
    uint16_t m_c = 0;
    int m_length = 0;
    QByteArray m_encrypted;
    QByteArray m_decrypted;
};
