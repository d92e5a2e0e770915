// ASCII case-insensitive comparisons: only A-Z fold; the bytes next to the
// letter ranges and bytes of 0x80 and above compare as themselves.
#include "HTTP/HttpText.h"

#include <gtest/gtest.h>

#include <string_view>

namespace Halvex {
namespace Corvio {
namespace {

TEST(HttpText, FoldMapsOnlyUpperCaseLetters) {
    for (int c = 0; c < 256; ++c) {
        const unsigned char u = static_cast<unsigned char>(c);
        const unsigned char want = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : u;
        EXPECT_EQ(text::fold(u), want) << "byte " << c;
    }
}

struct EqualCase {
    const char* a;
    const char* b;
    bool equal;
};

const EqualCase kEqual[] = {
    {"", "", true},
    {"keep-alive", "Keep-Alive", true},
    {"CONTENT-LENGTH", "content-length", true},
    {"keep-alive", "keep-aliv", false},
    {"keep-aliv", "keep-alive", false},
    {"@", "`", false},  // 0x40 and 0x60 differ by the case bit but are no letters
    {"[", "{", false},  // 0x5B and 0x7B likewise
    {"\xC4", "\xE4", false},
    {"HEAD", "HEAD ", false},
};

TEST(HttpText, EqualNoCaseOnNulTerminatedAndSizedTexts) {
    for (const EqualCase& c : kEqual) {
        EXPECT_EQ(text::equal_nocase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(text::equal_nocase(std::string_view(c.a), std::string_view(c.b)), c.equal)
            << c.a << " / " << c.b;
    }
}

TEST(HttpText, SizedTextsCompareEmbeddedNul) {
    const std::string_view a("Basic\0x", 7);
    EXPECT_TRUE(text::equal_nocase(a, std::string_view("BASIC\0X", 7)));
    EXPECT_FALSE(text::equal_nocase(a, std::string_view("basic", 5)));
}

struct PrefixCase {
    const char* text;
    const char* prefix;
    bool starts;
};

const PrefixCase kPrefix[] = {
    {"HTTP/1.1", "HTTP/", true}, {"http/1.0", "HTTP/", true},  {"HTTP", "HTTP/", false},
    {"", "HTTP/", false},        {"HTTX/1.1", "HTTP/", false}, {"anything", "", true},
};

TEST(HttpText, PrefixNoCase) {
    for (const PrefixCase& c : kPrefix)
        EXPECT_EQ(text::prefix_nocase(c.text, c.prefix), c.starts) << c.text << " / " << c.prefix;
}

}  // namespace
}  // namespace Corvio
}  // namespace Halvex
