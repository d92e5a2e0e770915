// The certificate name rule of the downloader's TLS checks.
#include <gtest/gtest.h>

#include "Corvio/CHttpDownloader.h"

using Halvex::Corvio::HostMatchesCN;

namespace {

struct NameCase {
    const char* host;
    const char* pattern;
    bool match;
};

class HostMatchesCNTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(HostMatchesCNTest, Table) {
    const NameCase& c = GetParam();
    EXPECT_EQ(HostMatchesCN(c.host, c.pattern), c.match) << c.host << " vs " << c.pattern;
}

const NameCase kNameCases[] = {
    {"127.0.0.1", "127.0.0.1", true},
    {"127.0.0.1", "127.0.0.2", false},
    {"127.0.0.1", "localhost", false},
    {"www.example.test", "WWW.Example.TEST", true},
    {"www.example.test.", "www.example.test", true},
    {"www.example.test", "www.example.test.", true},
    {"www.example.test..", "www.example.test", false},
    {"www.example.test", "*.example.test", true},
    {"a.b.example.test", "*.example.test", false},
    {"example.test", "*.example.test", false},
    {"www.example.test", "w*.example.test", true},
    {"www.example.test", "*w.example.test", true},
    {"www.example.test", "w*w.example.test", true},
    // "*" stands for at least one character.
    {"ww.example.test", "w*w.example.test", false},
    {"www.example.test", "www*.example.test", false},
    {"www.example.test", "x*.example.test", false},
    // Only one dot in the pattern, "*" outside the first label, IDN prefix:
    // compared literally.
    {"www.test", "*.test", false},
    {"*.test", "*.test", true},
    {"www.a.example", "www.*.example", false},
    {"www.a.example", "www.a.*", false},
    {"xn--a.example.test", "xn--*.example.test", false},
    {"xn--*.example.test", "xn--*.example.test", true},
    // The wildcard rule applies to numeric addresses too.
    {"127.0.0.1", "*.0.0.1", true},
    {"127.0.0.1", "*.0.1", false},
    // A second "*" is an ordinary character.
    {"a*b.example.test", "*b*.example.test", false},
    {"ab*.example.test", "*b*.example.test", true},
    {"", "", true},
    {"", "*.a.b", false},
};

INSTANTIATE_TEST_SUITE_P(Names, HostMatchesCNTest, ::testing::ValuesIn(kNameCases));

}  // namespace
