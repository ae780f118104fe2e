// gb18030.h - GB18030's replacement character and the arithmetic of its four-byte codes, as the
// client's text and the Windows console's conversion both count them.
#pragma once

// U+FFFD, the replacement character, in GB18030: what stands for bytes that are no character.
constexpr char GB18030_REPLACEMENT[] = "\x84\x31\xA4\x37";

// Four-byte codes count up in order: 39,420 of them for the rest of the BMP from 81 30 81 30,
// then the supplementary planes from 90 30 81 30. Codes in between and past the end mean nothing.
constexpr long GB18030_BMP_CODES = 39420;
constexpr long GB18030_PLANES_START = (0x90 - 0x81) * 12600L;  // the four-byte index of U+10000

// The index of the four-byte code at p in that count. Each byte must be in its range (81-FE for
// the first and third, 30-39 for the second and fourth).
constexpr long gb18030_index(const unsigned char *p)
{
    return (((p[0] - 0x81) * 10L + (p[1] - 0x30)) * 126 + (p[2] - 0x81)) * 10 + (p[3] - 0x30);
}

// Writes the four-byte code of this index (0 or more) into out[0..3].
inline void gb18030_code(long index, char *out)
{
    out[3] = static_cast<char>(0x30 + index % 10);
    out[2] = static_cast<char>(0x81 + index / 10 % 126);
    out[1] = static_cast<char>(0x30 + index / 1260 % 10);
    out[0] = static_cast<char>(0x81 + index / 12600);
}
