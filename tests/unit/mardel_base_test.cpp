// Base services: log admission and sink, qualified function names, last
// error, MD5 and Base64 (RFC test vectors), byte search and word scanning.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "Mardel/LastError.h"
#include "Mardel/Log.h"
#include "Mardel/Md5.h"
#include "Sablon/StrParser.h"
#include "support/LogCapture.h"

using namespace Halvex;
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
    struct Case {
        const char* pretty;
        const char* name;
    } cases[] = {
        {"Halvex::Corvio::parse_status_t Halvex::Corvio::CHttpParser::Append(const char*, int)",
         "Halvex::Corvio::CHttpParser::Append"},
        {"Halvex::Corvio::CHttpParser::CHttpParser()", "Halvex::Corvio::CHttpParser::CHttpParser"},
        {"static bool Halvex::Corvio::A::f(std::map<int, int>&)", "Halvex::Corvio::A::f"},
        {"std::vector<int, std::allocator<int> > ns::g()", "ns::g"},
        {"char* ns::h(int)", "ns::h"},
        {"void Halvex::Mardel::(anonymous namespace)::Service::run()",
         "Halvex::Mardel::(anonymous namespace)::Service::run"},
    };
    for (const Case& c : cases) {
        char out[128];
        Mardel::detail::qualifiedName(c.pretty, out, sizeof(out));
        EXPECT_STREQ(out, c.name) << c.pretty;
    }
}

TEST(LastError, IsPerThread) {
    Mardel::setLastError(0x10030010);
    unsigned int other = 1;
    std::thread([&] { other = Mardel::getLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(Mardel::getLastError(), 0x10030010u);
}

TEST(Md5, Rfc1321Vectors) {
    struct Case {
        const char* in;
        const char* hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    };
    Utils::CMd5 md5;
    for (const Case& c : cases) {
        md5.init();
        md5.update(c.in, strlen(c.in));
        char out[33];
        md5.hex(out);
        EXPECT_STREQ(out, c.hex);
    }
}

TEST(Base64, Rfc4648Vectors) {
    const char* cases[][2] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
                              {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (auto& c : cases) {
        char out[16];
        EXPECT_EQ(Utils::base64Encode(out, c[0], static_cast<int>(strlen(c[0]))),
                  static_cast<int>(strlen(c[1])));
        EXPECT_STREQ(out, c[1]);
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
