// Base services: log admission and sink, qualified function names, last
// error, MD5 and Base64 (RFC test vectors), byte search and word scanning.
// Tables: tests/data/mardel_base.txt.
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
using corvio_test::LoadCases;
using corvio_test::LogCapture;

namespace Halvex {
namespace Corvio {
struct Sample {
    static void Logs() { MARDEL_LOG(3, "value:%d\n", 7); }
};
}  // namespace Corvio
}  // namespace Halvex

TEST(Log, LineCarriesQualifiedNameAndFormattedText) {
    LogCapture capture(3);
    Corvio::Sample::Logs();
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].function, "Halvex::Corvio::Sample::Logs");
    EXPECT_EQ(lines[0].message, "value:7\n");
}

TEST(Log, LevelAboveThePrintLevelIsNotMadeNorEvaluated) {
    LogCapture capture(2);
    int evaluated = 0;
    MARDEL_LOG(3, "%d\n", ++evaluated);
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Log, QualifiedNameCutsReturnTypeAndParameters) {
    for (const corvio_test::Case& c : LoadCases("mardel_base.txt", "qualified-name", 2)) {
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
    for (const corvio_test::Case& c : LoadCases("mardel_base.txt", "vectors", 3)) {
        md5.init();
        md5.update(c[0].data(), c[0].size());
        char out[33];
        md5.hex(out);
        EXPECT_EQ(std::string(out), c[1]) << c.where;
        char base64[64];
        EXPECT_EQ(Utils::base64Encode(base64, c[0].data(), static_cast<int>(c[0].size())),
                  static_cast<int>(c[2].size()))
            << c.where;
        EXPECT_EQ(std::string(base64), c[2]) << c.where;
    }
}

TEST(StrParser, MemMemFindsAcrossNulBytesAndIgnoresCaseOnRequest) {
    const char text[] = {'a', '\0', 'b', 'C', 'd', 'x'};
    EXPECT_EQ(Sablon::CStrParser::MemMem(text, 6, "bC", 2), text + 2);
    EXPECT_EQ(Sablon::CStrParser::MemMem(text, 6, "bc", 2), nullptr);
    EXPECT_EQ(Sablon::CStrParser::MemMemCase(text, 6, "BCD", 3), text + 2);
    EXPECT_EQ(Sablon::CStrParser::MemMemCase(text, 5, "dx", 2), nullptr);
    EXPECT_EQ(Sablon::CStrParser::MemMem(text, 1, "ab", 2), nullptr);
    const char high[] = "\xC4\xE4 Digest";
    EXPECT_EQ(Sablon::CStrParser::MemMemCase(high, 9, "DIGEST", 6), high + 3);
}

TEST(StrParser, ConsumesWhitespaceAndWords) {
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
