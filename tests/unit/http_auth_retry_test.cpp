// The text side of the authenticated retry: where the Authorization line
// goes, which challenge counts as Basic, and how Authentication-Info is
// folded into the kept challenge.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "HTTP/HttpDownloaderImpl.h"

namespace detail = Halvex::Corvio::detail;

namespace {

struct PutCase {
    const char* name;
    std::string request;
    std::string expected;  // empty: refused
};

TEST(PutAuthorizationLine, Table) {
    const PutCase cases[] = {
        {"insert before blank line", "GET / HTTP/1.1\r\nHost: a\r\n\r\n",
         "GET / HTTP/1.1\r\nHost: a\r\nAuthorization: V\r\n\r\n"},
        {"no fields", "GET / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nAuthorization: V\r\n\r\n"},
        {"replace whole line", "GET / HTTP/1.1\r\nAuthorization: Basic old\r\nHost: a\r\n\r\n",
         "GET / HTTP/1.1\r\nAuthorization: V\r\nHost: a\r\n\r\n"},
        {"lower-case name", "GET / HTTP/1.1\r\nauthorization: Basic old\r\n\r\n",
         "GET / HTTP/1.1\r\nAuthorization: V\r\n\r\n"},
        {"no space after colon", "GET / HTTP/1.1\r\nAUTHORIZATION:x\r\n\r\n",
         "GET / HTTP/1.1\r\nAuthorization: V\r\n\r\n"},
        // A body that mentions the field is not the header.
        {"body untouched", "POST / HTTP/1.1\r\nContent-Length: 20\r\n\r\nAuthorization: x\r\n\r\n",
         "POST / HTTP/1.1\r\nContent-Length: 20\r\nAuthorization: V\r\n\r\nAuthorization: "
         "x\r\n\r\n"},
        // A field that merely contains the word is not the field.
        {"other field", "GET / HTTP/1.1\r\nX-Authorization: y\r\n\r\n",
         "GET / HTTP/1.1\r\nX-Authorization: y\r\nAuthorization: V\r\n\r\n"},
        {"no blank line", "GET / HTTP/1.1\r\nHost: a\r\n", ""},
    };
    for (const PutCase& c : cases) {
        std::string out;
        const bool ok = detail::PutAuthorizationLine(c.request.data(),
                                                     static_cast<int>(c.request.size()), "V", out);
        EXPECT_EQ(ok, !c.expected.empty()) << c.name;
        if (ok)
            EXPECT_EQ(out, c.expected) << c.name;
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
    EXPECT_TRUE(detail::ChallengeIsBasic("Basic realm=\"a\""));
    EXPECT_TRUE(detail::ChallengeIsBasic("  BASIC realm=\"a\""));
    EXPECT_TRUE(detail::ChallengeIsBasic("basic"));
    EXPECT_FALSE(detail::ChallengeIsBasic("Digest realm=\"Basic Area\", nonce=\"n\""));
    EXPECT_FALSE(detail::ChallengeIsBasic("Basically realm=\"a\""));
    EXPECT_FALSE(detail::ChallengeIsBasic(""));
    EXPECT_FALSE(detail::ChallengeIsBasic(nullptr));
}

TEST(RequestBodyOffset, Table) {
    EXPECT_EQ(detail::RequestBodyOffset("GET / HTTP/1.1\r\n\r\n", 18), 18);
    EXPECT_EQ(detail::RequestBodyOffset("POST / HTTP/1.1\r\n\r\nabc", 22), 19);
    EXPECT_EQ(detail::RequestBodyOffset("GET / HTTP/1.1\r\n", 16), -1);
}

TEST(TrimSpace, Table) {
    const std::pair<std::string, std::string> cases[] = {
        {" \t a b \r\n", "a b"}, {"\r\n\t ", ""}, {"", ""}, {"x", "x"}};
    for (const auto& c : cases) {
        std::string s = c.first;
        detail::trim_space(s);
        EXPECT_EQ(s, c.second);
    }
}

struct ParamsCase {
    const char* text;
    std::map<std::string, std::string> expected;
};

TEST(ParseAuthParams, Table) {
    const ParamsCase cases[] = {
        {"realm=\"a\", nonce=\"n1\"", {{"realm", "\"a\""}, {"nonce", "\"n1\""}}},
        {"  qop=auth ,\tnc=00000001", {{"qop", "auth"}, {"nc", "00000001"}}},
        // A quoted value is one value, commas included.
        {"qop=\"auth,auth-int\", nonce=\"x\"", {{"qop", "\"auth,auth-int\""}, {"nonce", "\"x\""}}},
        {"realm=\"a, b\\\", c\", opaque=\"o\"",
         {{"realm", "\"a, b\\\", c\""}, {"opaque", "\"o\""}}},
        {"k=1, k=2", {{"k", "2"}}},
        {"novalue", {}},
        {"", {}},
        {"a=\"unterminated, b=1", {{"a", "\"unterminated, b=1"}}},
    };
    for (const ParamsCase& c : cases) {
        std::map<std::string, std::string> params;
        detail::parse_auth_params(c.text, params);
        EXPECT_EQ(params, c.expected) << c.text;
    }
}

TEST(MakeDigestChallenge, KeysInByteOrder) {
    const std::map<std::string, std::string> params = {
        {"realm", "\"r\""}, {"nonce", "\"n\""}, {"algorithm", "MD5"}, {"Zed", "1"}};
    EXPECT_EQ(detail::make_digest_challenge(params),
              "Digest Zed=1, algorithm=MD5, nonce=\"n\", realm=\"r\"");
    EXPECT_EQ(detail::make_digest_challenge({}), "Digest ");
}

struct FoldCase {
    const char* challenge;
    const char* info;
    const char* expected;
};

TEST(FoldAuthenticationInfo, Table) {
    const FoldCase cases[] = {
        {"Digest realm=\"r\", nonce=\"n1\", qop=\"auth\", opaque=\"o\"",
         "nextnonce=\"n2\", qop=auth, rspauth=\"abc\", cnonce=\"c\", nc=00000001",
         "Digest nonce=\"n2\", opaque=\"o\", qop=\"auth\", realm=\"r\""},
        // A qop list in the kept challenge survives the rewrite whole.
        {"Digest realm=\"r\", nonce=\"n1\", qop=\"auth,auth-int\"", "nextnonce=\"n2\"",
         "Digest nonce=\"n2\", qop=\"auth,auth-int\", realm=\"r\""},
        // qop given as a token is written back quoted.
        {"Digest realm=\"r\", nonce=\"n1\"", "qop=auth-int",
         "Digest nonce=\"n1\", qop=\"auth-int\", realm=\"r\""},
        // Neither key: rewritten all the same.
        {"Digest realm=\"r\",nonce=\"n1\"", "rspauth=\"x\"", "Digest nonce=\"n1\", realm=\"r\""},
        // No "Digest" in the kept challenge: only what the info carries.
        {"Basic realm=\"r\"", "nextnonce=\"n2\"", "Digest nonce=\"n2\""},
        // An empty nextnonce changes nothing.
        {"Digest nonce=\"n1\"", "nextnonce=\"\"", "Digest nonce=\"n1\""},
        {"Digest algorithm=MD5-sess, nonce=\"n1\", realm=\"r\"", "nextnonce=n3",
         "Digest algorithm=MD5-sess, nonce=\"n3\", realm=\"r\""},
        // A token is quoted with its '\\' and '"' as quoted-pairs.
        {"Digest nonce=\"n1\"", "nextnonce=a\\b\"c", "Digest nonce=\"a\\\\b\\\"c\""},
    };
    for (const FoldCase& c : cases) {
        EXPECT_EQ(detail::FoldAuthenticationInfo(c.challenge, c.info), c.expected) << c.challenge;
    }
}

}  // namespace
