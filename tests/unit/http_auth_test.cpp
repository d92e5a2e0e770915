// Authorization values over tests/data/http_auth.txt (its Basic, preset and
// parameter tables run in http_text_test): the Digest qop and algorithm forms
// checked against the RFC 2617 formulas, quoted-strings, refused credentials
// and challenge texts with the exact log line of each.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "HTTP/HttpAuth.h"
#include "HTTP/HttpDigest.h"
#include "HTTP/HttpText.h"
#include "Mardel/Md5.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::Case;
using corvio_test::LoadCases;
using corvio_test::LogCapture;

namespace {

std::string md5(const std::string& text) {
    Halvex::Utils::CMd5 m;
    m.update(text.data(), text.size());
    char hex[33] = {0};
    m.hex(hex);
    return hex;
}

bool is_hex32(const std::string& s) {
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The request of fields k..k+5: user | password | password type | method |
// target | body; with the challenge of field k-1 set.
void set_request(CHttpAuth& auth, const Case& c, size_t k) {
    auth.SetUserInfo(c[k], c[k + 1]);
    auth.SetPasswordType(static_cast<int>(c.num(k + 2)));
    auth.SetMethod(c[k + 3]);
    auth.SetUri(c[k + 4]);
    if (c.fields.size() > k + 5 && !c[k + 5].empty())
        auth.SetBody(c[k + 5].data(), static_cast<int>(c[k + 5].size()));
    auth.SetWWWAuthenticate(c[k - 1]);
}

// The directives of "Digest k="v",k=v,..." in order, each value as written.
std::vector<std::pair<std::string, std::string>> directives(const std::string& value) {
    std::vector<std::pair<std::string, std::string>> out;
    EXPECT_EQ(value.rfind("Digest ", 0), 0u) << value;
    for (size_t pos = 7, eq; pos < value.size() && (eq = value.find('=', pos)) != value.npos;) {
        const size_t end = value[eq + 1] == '"' ? value.find('"', eq + 2) + 1
                                                : std::min(value.find(',', eq + 1), value.size());
        out.emplace_back(value.substr(pos, eq - pos), value.substr(eq + 1, end - eq - 1));
        EXPECT_TRUE(end >= value.size() || value[end] == ',') << value;
        pos = end + 1;
    }
    return out;
}

// Checked against the RFC 2617 formulas (section 3.2.2): which directives are
// written in which order, the client nonce and count, and the response.
TEST(Digest, FormsMatchTheRfcFormulas) {
    for (const Case& c : LoadCases("http_auth.txt", "forms", 11)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        LogCapture capture(6);
        CHttpAuth auth;
        set_request(auth, c, 2);
        std::string value, keys;
        ASSERT_TRUE(auth.GetAuthorization(value));
        EXPECT_TRUE(capture.Lines().empty());
        std::map<std::string, std::string> written, v;
        for (const auto& d : directives(value)) {
            keys += (keys.empty() ? "" : " ") + d.first;
            written[d.first] = d.second;
            v[d.first] = d.second[0] == '"' ? d.second.substr(1, d.second.size() - 2) : d.second;
        }
        EXPECT_EQ(keys, c[8]) << value;
        EXPECT_TRUE(c[9].empty() || written["qop"] == c[9]) << value;
        EXPECT_TRUE(!v.count("cnonce") || (is_hex32(v["cnonce"]) && written["nc"] == "00000001"));
        EXPECT_EQ(value.back() == ',', c.yes(10)) << value;
        EXPECT_EQ(written["uri"], "\"" + (c[6].empty() ? "/" : c[6]) + "\"");
        std::string ha1 = c.num(4) ? c[3] : md5(v["username"] + ":" + v["realm"] + ":" + c[3]);
        if (text::equal_nocase(v["algorithm"].c_str(), "MD5-sess"))
            ha1 = md5(ha1 + ":" + v["nonce"] + ":" + v["cnonce"]);
        const std::string& qop = v["qop"];
        const bool integrity = text::equal_nocase(qop.c_str(), "auth-int");
        const std::string ha2 = md5(c[5] + ":" + v["uri"] + (integrity ? ":" + md5(c[7]) : ""));
        const bool with_qop = integrity || text::equal_nocase(qop.c_str(), "auth");
        EXPECT_EQ(v["response"],
                  md5(ha1 + ":" + v["nonce"] + ":" +
                      (with_qop ? v["nc"] + ":" + v["cnonce"] + ":" + qop + ":" : "") + ha2))
            << value;
    }
}

// Quoted values are quoted-strings (RFC 7616 section 3.4): '\' and '"' as
// quoted-pairs, read back unescaped from the challenge; the hashes take the
// values themselves.
TEST(Digest, QuotedPairsInValues) {
    for (const Case& c : LoadCases("http_auth.txt", "quoted", 5)) {
        CHttpAuth auth;
        auth.SetUserInfo(c[2], "p");
        auth.SetMethod("GET");
        auth.SetUri(c[3]);
        auth.SetWWWAuthenticate("Digest realm=\"" + c[0] + "\", nonce=\"n\"");
        std::string value;
        ASSERT_TRUE(auth.GetAuthorization(value)) << c.where;
        const std::string response =
            md5(md5(c[2] + ":" + c[1] + ":p") + ":n:" + md5("GET:" + c[3]));
        EXPECT_EQ(value, "Digest " + c[4] + "response=\"" + response + "\"") << c.where;
    }
}

TEST(Digest, EveryValueHasItsOwnClientNonce) {
    CHttpAuth auth;
    auth.SetUserInfo("u", "p");
    auth.SetMethod("GET");
    auth.SetUri("/");
    auth.SetWWWAuthenticate("Digest realm=\"r\", nonce=\"n\", qop=\"auth\"");
    std::string first, second;
    ASSERT_TRUE(auth.GetAuthorization(first) && auth.GetAuthorization(second));
    std::map<std::string, std::string> a, b;
    for (const auto& d : directives(first))
        a.insert(d);
    for (const auto& d : directives(second))
        b.insert(d);
    EXPECT_EQ(a["nc"] + b["nc"], "0000000100000001");
    EXPECT_NE(a["cnonce"], b["cnonce"]);
    EXPECT_NE(a["response"], b["response"]);
    EXPECT_NE(digest_cnonce(42, 1), digest_cnonce(42, 2));
    EXPECT_TRUE(is_hex32(digest_cnonce(42, 1)));
}

// Every refusal: false, the exact level 3 line, and the qualified name of the
// function that logged it.
TEST(Auth, RefusedFalseAndOneLogLine) {
    for (const Case& c : LoadCases("http_auth.txt", "refused", 10)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        LogCapture capture(6);
        CHttpAuth auth;
        set_request(auth, c, 2);
        std::string value = "untouched";
        EXPECT_FALSE(auth.GetAuthorization(value));
        EXPECT_EQ(value, c[9] == "GetAuthorization" && c[8][0] == 'u' ? "untouched" : "");
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines[0].message);
        EXPECT_EQ(lines[0].level, 3);
        EXPECT_EQ(lines[0].message, c[8]);
        EXPECT_EQ(lines[0].function, "Halvex::Corvio::CHttpAuth::" + c[9]);
    }
}

TEST(Digest, RealmMissingWhenComputing) {
    LogCapture capture(3);
    CHttpAuth auth;
    digest_challenge challenge;
    challenge.nonce = "n";
    std::string response = "old";
    EXPECT_FALSE(auth.auth_digest(challenge, "GET", "/", "u", "p", response));
    EXPECT_EQ(response, "old");
    EXPECT_TRUE(capture.Has("Digest Authentication: Mandatory 'realm' value not available", 3));
}

}  // namespace
