// The text side of the authenticated retry: where the Authorization line
// goes, which challenge counts as Basic, and how Authentication-Info is
// folded into the kept challenge. Tables: tests/data/http_auth_retry.txt.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "HTTP/HttpDownloaderImpl.h"
#include "support/CaseFile.h"

namespace detail = Halvex::Corvio::detail;
using corvio_test::Case;
using corvio_test::LoadCases;

namespace {

const char kFile[] = "http_auth_retry.txt";

int size_of(const std::string& s) {
    return static_cast<int>(s.size());
}

TEST(PutAuthorizationLine, Table) {
    for (const Case& c : LoadCases(kFile, "put", 2)) {
        std::string out;
        const bool ok = detail::PutAuthorizationLine(c[0].data(), size_of(c[0]), "V", out);
        EXPECT_EQ(ok, c.str(1) != nullptr) << c.where;
        if (ok)
            EXPECT_EQ(out, c[1]) << c.where;
    }
}

TEST(FindAuthorizationLine, OnlyInHeaderBlock) {
    const std::string with_body = "PUT /x HTTP/1.1\r\nHost: a\r\n\r\nAuthorization: Basic x\r\n";
    int offset = -1;
    int len = -1;
    EXPECT_FALSE(detail::FindAuthorizationLine(with_body.data(), static_cast<int>(with_body.size()),
                                               offset, len));
    const std::string header = "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: Digest x\r\n\r\n";
    ASSERT_TRUE(
        detail::FindAuthorizationLine(header.data(), static_cast<int>(header.size()), offset, len));
    EXPECT_EQ(header.substr(static_cast<size_t>(offset), static_cast<size_t>(len)),
              "Authorization: Digest x\r\n");
}

TEST(ChallengeIsBasic, FirstWordDecides) {
    for (const Case& c : LoadCases(kFile, "is-basic", 2))
        EXPECT_EQ(detail::ChallengeIsBasic(c.str(0)), c.yes(1)) << c.where;
}

TEST(RequestBodyOffset, Table) {
    for (const Case& c : LoadCases(kFile, "body-offset", 2))
        EXPECT_EQ(detail::RequestBodyOffset(c[0].data(), size_of(c[0])), c.num(1)) << c.where;
}

TEST(TrimSpace, Table) {
    for (const Case& c : LoadCases(kFile, "trim", 2)) {
        std::string s = c[0];
        detail::trim_space(s);
        EXPECT_EQ(s, c[1]) << c.where;
    }
}

TEST(ParseAuthParams, Table) {
    for (const Case& c : LoadCases(kFile, "params", 2)) {
        std::map<std::string, std::string> expected;
        const size_t pairs = static_cast<size_t>(c.num(1));
        ASSERT_EQ(c.fields.size(), 2 + 2 * pairs) << c.where;
        for (size_t k = 0; k < pairs; ++k)
            expected[c[2 + 2 * k]] = c[3 + 2 * k];
        std::map<std::string, std::string> params;
        detail::parse_auth_params(c[0], params);
        EXPECT_EQ(params, expected) << c.where;
    }
}

TEST(MakeDigestChallenge, KeysInByteOrder) {
    const std::map<std::string, std::string> params = {
        {"realm", "\"r\""}, {"nonce", "\"n\""}, {"algorithm", "MD5"}, {"Zed", "1"}};
    EXPECT_EQ(detail::make_digest_challenge(params),
              "Digest Zed=1, algorithm=MD5, nonce=\"n\", realm=\"r\"");
    EXPECT_EQ(detail::make_digest_challenge({}), "Digest ");
}

TEST(FoldAuthenticationInfo, Table) {
    for (const Case& c : LoadCases(kFile, "fold", 3))
        EXPECT_EQ(detail::FoldAuthenticationInfo(c[0], c[1]), c[2]) << c.where;
}

}  // namespace
