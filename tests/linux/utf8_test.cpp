#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cwchar>
#include <random>
#include <string>

#include "core/utf8.h"

namespace quelmar {
namespace {

// The C library's own UTF-8 decoder as the reference, which differs only in
// taking code points past U+10FFFF. Every lead byte with every second and
// third byte, and behind each the lowest and highest continuation byte and
// a random one.
TEST(DecodeUtf8, AgreesWithTheCLibraryOnEveryShortSequence) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    std::mt19937 random(7);
    for (std::uint32_t bits = 0; bits < (3u << 24); ++bits) {
        const unsigned last[] = {0x80, 0xBF, static_cast<unsigned>(random())};
        const std::string text{static_cast<char>(bits >> 16), static_cast<char>(bits >> 8), static_cast<char>(bits),
                               static_cast<char>(last[bits >> 24])};
        std::mbstate_t state{};
        wchar_t wide = 0;
        const std::size_t got = std::mbrtowc(&wide, text.data(), text.size(), &state);
        const bool whole =
            got != static_cast<std::size_t>(-1) && got != static_cast<std::size_t>(-2) && wide <= 0x10FFFF;
        const auto [point, length] = DecodeUtf8(text, 0);
        const std::size_t expected = !whole ? 0 : got == 0 ? 1 : got;  // a NUL byte is a sequence of one
        ASSERT_EQ(length, expected) << "bytes " << std::hex << bits;
        if (whole) {
            ASSERT_EQ(point, static_cast<char32_t>(wide)) << "bytes " << std::hex << bits;
        }
        // WTF-8 differs only in taking a surrogate's three bytes as one.
        const bool surrogate = ((bits >> 16) & 0xFF) == 0xED && ((bits >> 8) & 0xE0) == 0xA0 && (bits & 0xC0) == 0x80;
        ASSERT_EQ(DecodeUtf8(text, 0, true).second, surrogate ? 3 : expected) << "bytes " << std::hex << bits;
    }
    std::setlocale(LC_CTYPE, "C");
}

}  // namespace
}  // namespace quelmar
