#pragma once
// Reading UTF-8 one sequence at a time, for the list, which shows bytes
// that are no UTF-8 as escapes, and for Windows, whose names travel as
// WTF-8.

#include <cstddef>
#include <string_view>
#include <utility>

namespace quelmar {

// How many bytes a sequence that `lead` begins has: C2-DF, E0-EF and F0-F4
// lead sequences of 2, 3 and 4 bytes; 0 for a byte that leads none.
constexpr std::size_t Utf8Length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
}

// The code point of the UTF-8 sequence at `text[at]` and its length; a
// length of 0 where the bytes there are no well-formed sequence (a stray or
// cut-off byte, an overlong form, past U+10FFFF, or a surrogate unless
// `surrogates`: WTF-8 carries an unpaired one as its three-byte form).
inline std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text, std::size_t at, bool surrogates = false) {
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const std::size_t length = Utf8Length(byte(0));
    if (length == 0 || at + length > text.size()) return {0, 0};
    char32_t point = byte(0) & kLeadBits[length];
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {0, 0};
        point = (point << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    if (point < kLeast[length] || point > 0x10FFFF || (surrogate && !surrogates)) return {0, 0};
    return {point, length};
}

}  // namespace quelmar
