// Authorization values: Basic (RFC 7617) and Digest (RFC 2617) with the
// worked example of RFC 2617 section 3.5, the qop and algorithm forms checked
// against the RFC formulas, refused credentials and challenge texts, and the
// exact log lines of every failure.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "HTTP/HttpAuth.h"
#include "HTTP/HttpDigest.h"
#include "Mardel/Md5.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::LoadCases;
using corvio_test::LogCapture;

namespace {

const char kRfcChallenge[] =
    "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
    "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";
const char kRfcResponse[] = "6629fae49393a05397450978507c4ef1";

std::string md5(const std::string& text) {
    Halvex::Utils::CMd5 m;
    m.update(text.data(), text.size());
    char hex[33] = {0};
    m.hex(hex);
    return hex;
}

struct Request {
    std::string user = "u";
    std::string password = "p";
    std::string method = "GET";
    std::string uri = "/p";
    std::string body;
    int password_type = 0;
};

// The request written in fields k..k+5 of a case: user | password |
// password type | method | target | body.
Request request_of(const corvio_test::Case& c, size_t k) {
    Request r;
    r.user = c[k];
    r.password = c[k + 1];
    r.password_type = static_cast<int>(c.num(k + 2));
    r.method = c[k + 3];
    r.uri = c[k + 4];
    r.body = c[k + 5];
    return r;
}

bool authorize(const std::string& challenge, const Request& r, std::string& value) {
    CHttpAuth auth;
    auth.SetUserInfo(r.user, r.password);
    auth.SetUri(r.uri);
    auth.SetMethod(r.method);
    auth.SetWWWAuthenticate(challenge);
    auth.SetPasswordType(r.password_type);
    if (!r.body.empty())
        auth.SetBody(r.body.data(), static_cast<int>(r.body.size()));
    return auth.GetAuthorization(value);
}

// One directive of a Digest value as written.
struct Directive {
    std::string key;
    std::string value;
    bool quoted;
};

// Splits "Digest k="v",k=v,..." (values hold no quotes); a trailing comma is
// allowed.
std::vector<Directive> directives(const std::string& value) {
    std::vector<Directive> out;
    EXPECT_EQ(value.rfind("Digest ", 0), 0u) << value;
    size_t pos = 7;
    while (pos < value.size()) {
        const size_t eq = value.find('=', pos);
        if (eq == std::string::npos) {
            ADD_FAILURE() << "no '=' in " << value.substr(pos);
            break;
        }
        Directive d{value.substr(pos, eq - pos), "", false};
        size_t end;
        if (value[eq + 1] == '"') {
            end = value.find('"', eq + 2);
            d.value = value.substr(eq + 2, end - eq - 2);
            d.quoted = true;
            ++end;
        } else {
            end = value.find(',', eq + 1);
            if (end == std::string::npos)
                end = value.size();
            d.value = value.substr(eq + 1, end - eq - 1);
        }
        out.push_back(d);
        if (end < value.size())
            EXPECT_EQ(value[end], ',') << value;
        pos = end + 1;
    }
    return out;
}

std::string keys_of(const std::vector<Directive>& ds) {
    std::string keys;
    for (const Directive& d : ds)
        keys += (keys.empty() ? "" : " ") + d.key;
    return keys;
}

bool ieq(const std::string& a, const char* b) {
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool is_hex32(const std::string& s) {
    if (s.size() != 32)
        return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c)) || isupper(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// request-digest of RFC 2617 section 3.2.2 from what the value says.
std::string expected_response(const std::vector<Directive>& ds, const Request& r) {
    std::map<std::string, std::string> v;
    for (const Directive& d : ds)
        v[d.key] = d.value;
    std::string ha1 =
        r.password_type ? r.password : md5(v["username"] + ":" + v["realm"] + ":" + r.password);
    if (v.count("algorithm") && ieq(v["algorithm"], "MD5-sess"))
        ha1 = md5(ha1 + ":" + v["nonce"] + ":" + v["cnonce"]);
    const std::string& qop = v["qop"];
    std::string a2 = r.method + ":" + v["uri"];
    if (ieq(qop, "auth-int"))
        a2 += ":" + md5(r.body);
    const std::string ha2 = md5(a2);
    if (ieq(qop, "auth") || ieq(qop, "auth-int"))
        return md5(ha1 + ":" + v["nonce"] + ":" + v["nc"] + ":" + v["cnonce"] + ":" + qop + ":" +
                   ha2);
    return md5(ha1 + ":" + v["nonce"] + ":" + ha2);
}

TEST(Digest, Rfc2617WorkedExampleWithPresetClientNonce) {
    const char* const challenges[] = {
        kRfcChallenge,
        "Digest realm=\"testrealm@host.com\", qop=\"auth\", "
        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
        "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
    };
    const char* const written_qop[] = {"qop=auth", "qop=\"auth\""};
    for (int i = 0; i < 2; ++i) {
        CHttpAuth auth;
        auth.SetUserInfo("Mufasa", "Circle Of Life");
        auth.SetUri("/dir/index.html");
        auth.SetMethod("GET");
        auth.SetWWWAuthenticate(challenges[i]);
        ASSERT_TRUE(auth.parse_auth_diget_header());
        auth.challenge().cnonce = "0a4f113b";
        auth.challenge().nc = 1;
        std::string value;
        ASSERT_TRUE(auth.compose_digest_authorization(value));
        EXPECT_EQ(value, std::string("Digest username=\"Mufasa\",realm=\"testrealm@host.com\","
                                     "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\","
                                     "uri=\"/dir/index.html\",response=\"") +
                             kRfcResponse +
                             "\",cnonce=\"0a4f113b\","
                             "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"," +
                             written_qop[i] + ",nc=00000001");
    }
    // The same from the pure functions alone.
    const std::string ha1 = digest_ha1("Mufasa", "testrealm@host.com", "Circle Of Life");
    const std::string ha2 = digest_ha2("GET", "/dir/index.html", false, "");
    EXPECT_EQ(digest_response(ha1, "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b",
                              "auth", ha2),
              kRfcResponse);
}

TEST(Digest, PreHashedPasswordIsTheHa1) {
    const std::string ha1 = md5("Mufasa:testrealm@host.com:Circle Of Life");
    std::string upper = ha1;
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const std::string& password : {ha1, upper}) {
        CHttpAuth auth;
        auth.SetUserInfo("Mufasa", password);
        auth.SetUri("/dir/index.html");
        auth.SetMethod("GET");
        auth.SetPasswordType(1);
        auth.SetWWWAuthenticate(kRfcChallenge);
        ASSERT_TRUE(auth.parse_auth_diget_header());
        auth.challenge().cnonce = "0a4f113b";
        auth.challenge().nc = 1;
        std::string response;
        ASSERT_TRUE(auth.auth_digest(auth.challenge(), "GET", "/dir/index.html", "Mufasa", password,
                                     response));
        EXPECT_EQ(response, kRfcResponse) << password;
    }
}

// Digest values checked against the RFC formulas ([forms] of the data file).
TEST(Digest, FormsMatchTheRfcFormulas) {
    for (const corvio_test::Case& fc : LoadCases("http_auth.txt", "forms", 11)) {
        SCOPED_TRACE(fc.where + " " + fc[0]);
        const Request request = request_of(fc, 2);
        LogCapture capture(6);
        std::string value;
        ASSERT_TRUE(authorize(fc[1], request, value));
        EXPECT_TRUE(capture.Lines().empty());
        const std::vector<Directive> ds = directives(value);
        EXPECT_EQ(keys_of(ds), fc[8]) << value;
        std::map<std::string, Directive> by_key;
        for (const Directive& d : ds)
            by_key[d.key] = d;
        if (!fc[9].empty()) {
            const Directive& q = by_key["qop"];
            EXPECT_EQ(q.quoted ? "\"" + q.value + "\"" : q.value, fc[9]);
        }
        if (by_key.count("cnonce")) {
            EXPECT_TRUE(is_hex32(by_key["cnonce"].value)) << value;
            EXPECT_EQ(by_key["nc"].value, "00000001");
            EXPECT_FALSE(by_key["nc"].quoted);
        }
        EXPECT_EQ(value.back() == ',', fc.yes(10)) << value;
        EXPECT_EQ(by_key["uri"].value, request.uri.empty() ? "/" : request.uri);
        EXPECT_EQ(by_key["response"].value, expected_response(ds, request)) << value;
    }
}

TEST(Digest, RealmCutAtQuoteIsWrittenCut) {
    std::string value;
    ASSERT_TRUE(authorize("Digest realm=\"a\"b\", nonce=\"n\"", Request(), value));
    EXPECT_EQ(value.rfind("Digest username=\"u\",realm=\"a\",nonce=\"n\",uri=\"/p\",", 0), 0u);
}

// Quoted values are quoted-strings (RFC 7616 section 3.4): '\' and '"' as
// quoted-pairs, read back unescaped from the challenge; the hashes take the
// values themselves.
TEST(Digest, QuotedPairsInValues) {
    for (const corvio_test::Case& c : LoadCases("http_auth.txt", "quoted", 5)) {
        SCOPED_TRACE(c.where);
        Request r;
        r.user = c[2];
        r.uri = c[3];
        std::string value;
        ASSERT_TRUE(authorize("Digest realm=\"" + c[0] + "\", nonce=\"n\"", r, value));
        EXPECT_EQ(value.rfind("Digest " + c[4] + "response=\"", 0), 0u) << value;
        const std::string ha1 = md5(c[2] + ":" + c[1] + ":p");
        const std::string response = md5(ha1 + ":n:" + md5("GET:" + c[3]));
        EXPECT_NE(value.find("response=\"" + response + "\""), std::string::npos) << value;
    }
}

TEST(Digest, EveryValueHasItsOwnClientNonce) {
    CHttpAuth auth;
    auth.SetUserInfo("u", "p");
    auth.SetMethod("GET");
    auth.SetUri("/");
    auth.SetWWWAuthenticate("Digest realm=\"r\", nonce=\"n\", qop=\"auth\"");
    std::string first;
    std::string second;
    ASSERT_TRUE(auth.GetAuthorization(first));
    ASSERT_TRUE(auth.GetAuthorization(second));
    std::map<std::string, std::string> a, b;
    for (const Directive& d : directives(first))
        a[d.key] = d.value;
    for (const Directive& d : directives(second))
        b[d.key] = d.value;
    EXPECT_EQ(a["nc"], "00000001");
    EXPECT_EQ(b["nc"], "00000001");
    EXPECT_NE(a["cnonce"], b["cnonce"]);
    EXPECT_NE(a["response"], b["response"]);
}

TEST(Basic, ValueIsBase64OfUserColonPassword) {
    for (const corvio_test::Case& c : LoadCases("http_auth.txt", "basic", 4)) {
        Request r;
        r.user = c[1];
        r.password = c[2];
        std::string value;
        EXPECT_TRUE(authorize(c[0], r, value)) << c.where;
        EXPECT_EQ(value, c[3]) << c.where;
    }
}

TEST(Basic, LongestPairIsEncodedLongerIsRefused) {
    LogCapture capture(3);
    std::string value;
    ASSERT_TRUE(CHttpAuth::auth_basic(std::string(511, 'u'), std::string(511, 'p'), value));
    EXPECT_EQ(value.size(), 6u + 1364u);
    EXPECT_TRUE(capture.Lines().empty());

    value = "old";
    EXPECT_FALSE(CHttpAuth::auth_basic(std::string(511, 'u'), std::string(512, 'p'), value));
    EXPECT_EQ(value, "");
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_TRUE(capture.Has("user:password too long for basic auth:1024\n", 3));
    EXPECT_EQ(capture.Lines()[0].function, "Halvex::Corvio::CHttpAuth::auth_basic");
}

// Every refusal ([refused] of the data file): false, the exact level 3 line,
// and the qualified name of the function that logged it.
TEST(Auth, RefusedFalseAndOneLogLine) {
    for (const corvio_test::Case& fc : LoadCases("http_auth.txt", "refused", 10)) {
        SCOPED_TRACE(fc.where + " " + fc[0]);
        LogCapture capture(6);
        std::string value = "untouched";
        EXPECT_FALSE(authorize(fc[1], request_of(fc, 2), value));
        const bool user_info = fc[9] == "GetAuthorization" && fc[8][0] == 'u';
        EXPECT_EQ(value, user_info ? "untouched" : "");
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines[0].message);
        EXPECT_EQ(lines[0].level, 3);
        EXPECT_EQ(lines[0].message, fc[8]);
        EXPECT_EQ(lines[0].function, "Halvex::Corvio::CHttpAuth::" + fc[9]);
    }
}

TEST(Digest, AlgorithmWithLineBreakIsRefused) {
    // An algorithm token running to the end of the text takes the CR LF
    // with it; it is refused before anything is written.
    LogCapture capture(3);
    std::string value;
    EXPECT_FALSE(
        authorize("Digest realm=\"r\", nonce=\"n\", algorithm=MD5\r\nX: y", Request(), value));
    EXPECT_EQ(value, "");
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

TEST(Digest, OverlongValueIsRefusedNotCut) {
    LogCapture capture(3);
    std::string value;
    const std::string challenge = "Digest realm=\"r\", nonce=\"" + std::string(2100, 'n') + "\"";
    EXPECT_FALSE(authorize(challenge, Request(), value));
    EXPECT_EQ(value, "");
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0].message.rfind("digest authorization too long:", 0), 0u);
}

TEST(DigestParams, RawTextSearch) {
    for (const corvio_test::Case& c : LoadCases("http_auth.txt", "params", 4)) {
        const std::optional<std::string> got =
            c[2] == "quoted" ? get_quoted_param(c[0], c.str(1)) : get_token_param(c[0], c.str(1));
        if (c.str(3)) {
            ASSERT_TRUE(got.has_value()) << c.where;
            EXPECT_EQ(*got, c[3]) << c.where;
        } else {
            EXPECT_FALSE(got.has_value()) << c.where;
        }
    }
}

TEST(DigestParams, ClientNoncesDifferWithinOneTick) {
    EXPECT_NE(digest_cnonce(42, 1), digest_cnonce(42, 2));
    EXPECT_TRUE(is_hex32(digest_cnonce(42, 1)));
}

}  // namespace
