// ASCII case-insensitive comparisons; the tables are tests/data/http_text.txt.
#include "HTTP/HttpText.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "support/CaseFile.h"

namespace text = Halvex::Corvio::text;
using corvio_test::Case;
using corvio_test::LoadCases;

TEST(HttpText, FoldMapsOnlyUpperCaseLetters) {
    for (int c = 0; c < 256; ++c) {
        const unsigned char u = static_cast<unsigned char>(c);
        const unsigned char want = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : u;
        EXPECT_EQ(text::fold(u), want) << "byte " << c;
    }
}

TEST(HttpText, EqualNoCase) {
    for (const Case& c : LoadCases("http_text.txt", "equal", 3)) {
        // The NUL-terminated form only where the texts hold no NUL.
        if (c[0].find('\0') == std::string::npos && c[1].find('\0') == std::string::npos)
            EXPECT_EQ(text::equal_nocase(c.str(0), c.str(1)), c.yes(2)) << c.where;
        EXPECT_EQ(text::equal_nocase(std::string_view(c[0]), std::string_view(c[1])), c.yes(2))
            << c.where;
    }
}

TEST(HttpText, PrefixNoCase) {
    for (const Case& c : LoadCases("http_text.txt", "prefix", 3))
        EXPECT_EQ(text::prefix_nocase(c.str(0), c.str(1)), c.yes(2)) << c.where;
}
