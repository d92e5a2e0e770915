// Base services: log admission, formatting and sink, qualified function
// names, last error, MD5 and Base64 (RFC test vectors), byte search and word
// scanning. Tables: tests/data/mardel_base.txt.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "Mardel/LastError.h"
#include "Mardel/Log.h"
#include "Mardel/Md5.h"
#include "Sablon/StrParser.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex;
using corvio_test::Case;
using corvio_test::LoadCases;

namespace Halvex {
namespace Corvio {
struct Sample {
    static int Logs(int level, const std::string& text) {
        int evaluated = 0;
        MARDEL_LOG(level, "%s:%d\n", text.c_str(), ++evaluated);
        return evaluated;
    }
};
}  // namespace Corvio
}  // namespace Halvex

TEST(Log, LinesAreAdmittedByLevelFormattedAndNamed) {
    for (const Case& c : LoadCases("mardel_base.txt", "log", 4)) {
        std::string text;
        for (long long i = 0; i < c.num(2); ++i)
            text += c[3];
        corvio_test::LogCapture capture(static_cast<int>(c.num(1)));
        const bool admitted = c.num(0) <= c.num(1);
        EXPECT_EQ(Corvio::Sample::Logs(static_cast<int>(c.num(0)), text), admitted) << c.where;
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), admitted ? 1u : 0u) << c.where;
        if (admitted) {
            EXPECT_EQ(lines[0].level, c.num(0)) << c.where;
            EXPECT_EQ(lines[0].function, "Halvex::Corvio::Sample::Logs") << c.where;
            EXPECT_EQ(lines[0].message, text + ":1\n") << c.where;
        }
    }
    for (const Case& c : LoadCases("mardel_base.txt", "qualified-name", 2)) {
        char out[128];
        Mardel::detail::qualifiedName(c.str(0), out, sizeof(out));
        EXPECT_EQ(std::string(out), c[1]) << c.where;
    }
}

TEST(LastError, IsPerThread) {
    Mardel::setLastError(0x10030010);
    unsigned int other = 1;
    std::thread([&] { other = Mardel::getLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(Mardel::getLastError(), 0x10030010u);
}

TEST(Md5AndBase64, RfcVectors) {
    Utils::CMd5 md5;
    for (const Case& c : LoadCases("mardel_base.txt", "vectors", 3)) {
        md5.init();
        md5.update(c[0].data(), c[0].size());
        char out[33], base64[64];
        md5.hex(out);
        EXPECT_EQ(std::string(out), c[1]) << c.where;
        EXPECT_EQ(Utils::base64Encode(base64, c[0].data(), static_cast<int>(c[0].size())),
                  static_cast<int>(c[2].size()))
            << c.where;
        EXPECT_EQ(std::string(base64), c[2]) << c.where;
    }
}

TEST(StrParser, FindsBytesAndScansWords) {
    for (const Case& c : LoadCases("mardel_base.txt", "memmem", 4)) {
        const std::string& t = c[0];
        const int size = static_cast<int>(t.size()), n = static_cast<int>(c[1].size());
        const char* at = c.yes(2) ? Sablon::CStrParser::MemMemCase(t.data(), size, c[1].data(), n)
                                  : Sablon::CStrParser::MemMem(t.data(), size, c[1].data(), n);
        EXPECT_EQ(at ? at - t.data() : -1, c.num(3)) << c.where;
    }
    const char* text = " \t Digest realm=\"x\"";
    Sablon::CStrParser parser(text, static_cast<int>(strlen(text)));
    char word[8];
    EXPECT_EQ(parser.ConsumeWord(word, 7), 0);
    parser.ConsumeWhitespace();
    EXPECT_EQ(parser.ConsumeWord(word, 7), 6);
    EXPECT_STREQ(word, "Digest");
    parser.ResetAll();
    EXPECT_EQ(parser.Position(), 0);
    parser.ConsumeWhitespace();
    EXPECT_EQ(parser.ConsumeWord(word, 3), 6);  // length of the whole word, copy cut
    EXPECT_STREQ(word, "Dig");
}
