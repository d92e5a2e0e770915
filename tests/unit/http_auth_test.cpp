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
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
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

// Digest values checked against the RFC formulas: which directives are
// written, in which order, how qop is written, and that the response matches.
struct FormCase {
    const char* name;
    const char* challenge;
    const char* keys;
    const char* qop;  // qop as written, or "" when absent
    bool trailing_comma;
    Request request;
};

Request with_body(const char* body) {
    Request r;
    r.method = "POST";
    r.body = body;
    return r;
}

Request with_uri(const char* uri) {
    Request r;
    r.uri = uri;
    return r;
}

Request with_method(const char* method) {
    Request r;
    r.method = method;
    return r;
}

Request pre_hashed() {
    Request r;
    r.password = md5("u:r:p");
    r.password_type = 1;
    return r;
}

const char kQopKeys[] = "username realm nonce uri response cnonce qop nc";

const FormCase kForms[] = {
    {"no options", "Digest realm=\"r\", nonce=\"n\"", "username realm nonce uri response", "",
     false, Request()},
    {"opaque only ends with its comma", "Digest realm=\"r\", nonce=\"n\", opaque=\"o\"",
     "username realm nonce uri response opaque", "", true, Request()},
    {"qop auth", "Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", kQopKeys, "\"auth\"", false,
     Request()},
    {"qop auth with opaque", "Digest realm=\"r\", nonce=\"n\", opaque=\"o\", qop=\"auth\"",
     "username realm nonce uri response cnonce opaque qop nc", "\"auth\"", false, Request()},
    {"qop keeps the server's letters", "Digest realm=\"r\", nonce=\"n\", qop=\"AUTH\"", kQopKeys,
     "\"AUTH\"", false, Request()},
    {"qop auth-int hashes the body", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\"", kQopKeys,
     "\"auth-int\"", false, with_body("a=1&b=2")},
    {"qop auth-int without body", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\"", kQopKeys,
     "\"auth-int\"", false, Request()},
    {"qop list picks auth", "Digest realm=\"r\", nonce=\"n\", qop=\"auth,auth-int\"", kQopKeys,
     "auth", false, Request()},
    {"qop list picks auth wherever listed",
     "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int, AUTH\"", kQopKeys, "auth", false, Request()},
    {"qop list without auth picks auth-int",
     "Digest realm=\"r\", nonce=\"n\", qop=\"token, auth-int\"", kQopKeys, "auth-int", false,
     with_body("xyz")},
    {"qop list of unknown values is kept whole", "Digest realm=\"r\", nonce=\"n\", qop=\"foo,bar\"",
     "username realm nonce uri response qop", "\"foo,bar\"", true, Request()},
    {"single unknown qop", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-conf\"",
     "username realm nonce uri response qop", "\"auth-conf\"", true, Request()},
    {"algorithm md5", "Digest realm=\"r\", nonce=\"n\", algorithm=md5",
     "username realm nonce uri response algorithm", "", true, Request()},
    {"MD5-sess without qop", "Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess",
     "username realm nonce uri response algorithm cnonce nc", "", false, Request()},
    {"MD5-sess with qop list",
     "Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess, qop=\"auth,auth-int\"",
     "username realm nonce uri response algorithm cnonce qop nc", "auth", false, Request()},
    {"MD5-sess pre-hashed", "Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess, qop=\"auth\"",
     "username realm nonce uri response algorithm cnonce qop nc", "\"auth\"", false, pre_hashed()},
    {"pre-hashed", "Digest realm=\"r\", nonce=\"n\", qop=\"auth\"", kQopKeys, "\"auth\"", false,
     pre_hashed()},
    {"empty target is /", "Digest realm=\"r\", nonce=\"n\"", "username realm nonce uri response",
     "", false, with_uri("")},
    {"empty method left out", "Digest realm=\"r\", nonce=\"n\"",
     "username realm nonce uri response", "", false, with_method("")},
    {"scheme in any case after white space", " \tdIgEsT realm=\"r\", nonce=\"n\"",
     "username realm nonce uri response", "", false, Request()},
    {"realm ends at a quote", "Digest realm=\"a\"b\", nonce=\"n\"",
     "username realm nonce uri response", "", false, Request()},
    {"parameter found inside a longer name", "Digest xrealm=\"x\", realm=\"r\", nonce=\"n\"",
     "username realm nonce uri response", "", false, Request()},
    {"realm with high bytes", "Digest realm=\"\xC3\xA9t\xC3\xA9\", nonce=\"n\"",
     "username realm nonce uri response", "", false, Request()},
};

void PrintTo(const FormCase& c, std::ostream* os) {
    *os << c.name;
}

class DigestForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(DigestForm, MatchesTheRfcFormulas) {
    const FormCase& fc = GetParam();
    LogCapture capture(6);
    std::string value;
    ASSERT_TRUE(authorize(fc.challenge, fc.request, value));
    EXPECT_TRUE(capture.Lines().empty());
    const std::vector<Directive> ds = directives(value);
    EXPECT_EQ(keys_of(ds), fc.keys) << value;
    std::map<std::string, Directive> by_key;
    for (const Directive& d : ds)
        by_key[d.key] = d;
    if (*fc.qop) {
        const Directive& q = by_key["qop"];
        EXPECT_EQ(q.quoted ? "\"" + q.value + "\"" : q.value, fc.qop);
    }
    if (by_key.count("cnonce")) {
        EXPECT_TRUE(is_hex32(by_key["cnonce"].value)) << value;
        EXPECT_EQ(by_key["nc"].value, "00000001");
        EXPECT_FALSE(by_key["nc"].quoted);
    }
    EXPECT_EQ(value.back() == ',', fc.trailing_comma) << value;
    EXPECT_EQ(by_key["uri"].value, fc.request.uri.empty() ? "/" : fc.request.uri);
    EXPECT_EQ(by_key["response"].value, expected_response(ds, fc.request)) << value;
}

INSTANTIATE_TEST_SUITE_P(Auth, DigestForm, ::testing::ValuesIn(kForms));

TEST(Digest, RealmCutAtQuoteIsWrittenCut) {
    std::string value;
    ASSERT_TRUE(authorize("Digest realm=\"a\"b\", nonce=\"n\"", Request(), value));
    EXPECT_EQ(value.rfind("Digest username=\"u\",realm=\"a\",nonce=\"n\",uri=\"/p\",", 0), 0u);
}

// Quoted values are quoted-strings (RFC 7616 section 3.4): '\' and '"' as
// quoted-pairs, read back unescaped from the challenge; the hashes take the
// values themselves.
TEST(Digest, QuotedPairsInValues) {
    struct Case {
        const char* realm_written;  // inside the challenge's quotes
        const char* realm;
        const char* user;
        const char* uri;
        const char* head;  // the value up to response=
    } cases[] = {
        {"r", "r", "DOM\\user", "/p",
         "username=\"DOM\\\\user\",realm=\"r\",nonce=\"n\",uri=\"/p\","},
        {"r", "r", "u\\", "/p", "username=\"u\\\\\",realm=\"r\",nonce=\"n\",uri=\"/p\","},
        {"r", "r", "a\"b", "/a\"b\\",
         "username=\"a\\\"b\",realm=\"r\",nonce=\"n\",uri=\"/a\\\"b\\\\\","},
        {"a\\\\b\\\"c", "a\\b\"c", "u", "/p",
         "username=\"u\",realm=\"a\\\\b\\\"c\",nonce=\"n\",uri=\"/p\","},
    };
    for (const Case& c : cases) {
        Request r;
        r.user = c.user;
        r.uri = c.uri;
        std::string value;
        ASSERT_TRUE(authorize(std::string("Digest realm=\"") + c.realm_written + "\", nonce=\"n\"",
                              r, value))
            << c.user;
        EXPECT_EQ(value.rfind(std::string("Digest ") + c.head + "response=\"", 0), 0u) << value;
        const std::string ha1 = md5(std::string(c.user) + ":" + c.realm + ":p");
        const std::string response = md5(ha1 + ":n:" + md5(std::string("GET:") + c.uri));
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
    struct Case {
        const char* challenge;
        const char* user;
        const char* password;
        int password_type;
        const char* value;
    } cases[] = {
        {"Basic realm=\"x\"", "Aladdin", "open sesame", 0, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {"basic", "Aladdin", "open sesame", 0, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {"  BASIC realm=\"x\"", "a", "b", 0, "Basic YTpi"},
        // Bytes above 0x7f are no control characters.
        {"Basic", "\xC3\xA9", "p", 0, "Basic w6k6cA=="},
        // First word decides.
        {"Basic realm=\"x\", Digest realm=\"y\", nonce=\"n\"", "a", "b", 0, "Basic YTpi"},
    };
    for (const Case& c : cases) {
        Request r;
        r.user = c.user;
        r.password = c.password;
        r.password_type = c.password_type;
        std::string value;
        EXPECT_TRUE(authorize(c.challenge, r, value)) << c.challenge;
        EXPECT_EQ(value, c.value) << c.challenge;
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

// Every refusal: false, the exact level 3 line, and the qualified name of the
// function that logged it.
struct FailCase {
    const char* name;
    const char* challenge;
    Request request;
    const char* log;
    const char* function;
};

Request user_pass(const char* user, const char* password) {
    Request r;
    r.user = user;
    r.password = password;
    return r;
}

Request hashed(const char* password) {
    Request r;
    r.password = password;
    r.password_type = 2;
    return r;
}

const char kGet[] = "Halvex::Corvio::CHttpAuth::GetAuthorization";
const char kParse[] = "Halvex::Corvio::CHttpAuth::parse_auth_diget_header";
const char kCompose[] = "Halvex::Corvio::CHttpAuth::compose_digest_authorization";
const char kDigest[] = "Halvex::Corvio::CHttpAuth::auth_digest";
const char kBasic[] = "Halvex::Corvio::CHttpAuth::auth_basic";
const char kDigestOk[] = "Digest realm=\"r\", nonce=\"n\"";

const FailCase kFailures[] = {
    {"empty password basic", "Basic realm=\"x\"", user_pass("u", ""), "user info not set, error.\n",
     kGet},
    {"empty password digest", kDigestOk, user_pass("u", ""), "user info not set, error.\n", kGet},
    {"empty user digest", kDigestOk, user_pass("", "p"), "user info not set, error.\n", kGet},
    {"other scheme", "Negotiate abc", Request(), "WWWAuthenticate info error:Negotiate abc\n",
     kGet},
    {"scheme word longer", "Basically realm=\"x\"", Request(),
     "WWWAuthenticate info error:Basically realm=\"x\"\n", kGet},
    {"empty challenge", "", Request(), "WWWAuthenticate info error:\n", kGet},
    {"only white space", " \t", Request(), "WWWAuthenticate info error: \t\n", kGet},
    {"no realm", "Digest nonce=\"n\"", Request(), "invalid auth from svr:Digest nonce=\"n\"\n",
     kParse},
    {"no nonce", "Digest realm=\"r\"", Request(), "invalid auth from svr:Digest realm=\"r\"\n",
     kParse},
    {"unquoted realm", "Digest realm=r, nonce=\"n\"", Request(),
     "invalid auth from svr:Digest realm=r, nonce=\"n\"\n", kParse},
    {"md5-sess in lower case", "Digest realm=\"r\", nonce=\"n\", algorithm=md5-sess", Request(),
     "invalid auth from algorithm svr:Digest realm=\"r\", nonce=\"n\", algorithm=md5-sess\n",
     kParse},
    {"quoted algorithm", "Digest realm=\"r\", nonce=\"n\", algorithm=\"MD5\"", Request(),
     "invalid auth from algorithm svr:Digest realm=\"r\", nonce=\"n\", algorithm=\"MD5\"\n",
     kParse},
    {"space before comma", "Digest realm=\"r\", algorithm=MD5 , nonce=\"n\"", Request(),
     "invalid auth from algorithm svr:Digest realm=\"r\", algorithm=MD5 , nonce=\"n\"\n", kParse},
    {"SHA-256", "Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", Request(),
     "invalid auth from algorithm svr:Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256\n",
     kParse},
    {"CRLF in user", kDigestOk, user_pass("a\r\nX: y", "p"),
     "invalid character in digest username\n", kCompose},
    {"LF in user", kDigestOk, user_pass("a\n", "p"), "invalid character in digest username\n",
     kCompose},
    {"CR in target", kDigestOk, with_uri("/a\rb"), "invalid character in digest uri\n", kCompose},
    {"CRLF in realm", "Digest realm=\"r\r\nX: y\", nonce=\"n\"", Request(),
     "invalid character in digest realm\n", kCompose},
    {"LF in nonce", "Digest realm=\"r\", nonce=\"n\n\"", Request(),
     "invalid character in digest nonce\n", kCompose},
    {"CR in opaque", "Digest realm=\"r\", nonce=\"n\", opaque=\"\ro\"", Request(),
     "invalid character in digest opaque\n", kCompose},
    {"LF in qop", "Digest realm=\"r\", nonce=\"n\", qop=\"auth\n\"", Request(),
     "invalid character in digest qop\n", kCompose},
    {"HA1 too short", kDigestOk, hashed("0123456789abcdef"),
     "password is not a 32-digit hexadecimal HA1\n", kDigest},
    {"HA1 too long", kDigestOk, hashed("0123456789abcdef0123456789abcdef0"),
     "password is not a 32-digit hexadecimal HA1\n", kDigest},
    {"HA1 not hex", kDigestOk, hashed("0123456789abcdef0123456789abcdeg"),
     "password is not a 32-digit hexadecimal HA1\n", kDigest},
    // An HA1 answers Digest for its realm: never sent in clear.
    {"HA1 never in basic", "Basic realm=\"x\"", hashed("0123456789abcdef0123456789abcdef"),
     "password is a digest HA1, not sent in basic auth\n", kGet},
    // RFC 7617 section 2: no control character, no colon in the user-id.
    {"TAB in basic user", "Basic", user_pass("a\tb", "p"), "invalid character in basic user-id\n",
     kBasic},
    {"colon in basic user", "Basic", user_pass("a:b", "p"), "invalid character in basic user-id\n",
     kBasic},
    {"LF in basic password", "Basic", user_pass("u", "p\n"),
     "invalid character in basic password\n", kBasic},
    {"DEL in basic password", "Basic", user_pass("u", "\x7f"),
     "invalid character in basic password\n", kBasic},
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class Refused : public ::testing::TestWithParam<FailCase> {};

TEST_P(Refused, FalseAndOneLogLine) {
    const FailCase& fc = GetParam();
    LogCapture capture(6);
    std::string value = "untouched";
    EXPECT_FALSE(authorize(fc.challenge, fc.request, value));
    const bool user_info = fc.function == kGet && fc.log[0] == 'u';
    EXPECT_EQ(value, user_info ? "untouched" : "");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines[0].message);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].message, fc.log);
    EXPECT_EQ(lines[0].function, fc.function);
}

INSTANTIATE_TEST_SUITE_P(Auth, Refused, ::testing::ValuesIn(kFailures));

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
    struct Case {
        const char* text;
        const char* name;
        bool quoted;
        const char* value;  // nullptr: absent
    } cases[] = {
        {"realm=\"a\", xrealm=\"b\"", "realm", true, "a"},
        {"xrealm=\"b\", realm=\"a\"", "realm", true, "b"},
        {"realm=\"unterminated", "realm", true, "unterminated"},
        {"realm=\"\"", "realm", true, ""},
        {"realm=\"a\\\\b\\\"c\", x", "realm", true, "a\\b\"c"},
        {"realm=\"a\\", "realm", true, "a\\"},
        {"Realm=\"a\"", "realm", true, nullptr},
        {"realm=a", "realm", true, nullptr},
        {"stale=true, x=1", "stale", false, "true"},
        {"stale= true ,x", "stale", false, " true "},
        {"algorithm=\"MD5\"", "algorithm", false, "\"MD5\""},
        {"algorithm=", "algorithm", false, ""},
        {"", "realm", true, nullptr},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> got =
            c.quoted ? get_quoted_param(c.text, c.name) : get_token_param(c.text, c.name);
        if (c.value) {
            ASSERT_TRUE(got.has_value()) << c.text;
            EXPECT_EQ(*got, c.value) << c.text;
        } else {
            EXPECT_FALSE(got.has_value()) << c.text;
        }
    }
}

TEST(DigestParams, ClientNoncesDifferWithinOneTick) {
    EXPECT_NE(digest_cnonce(42, 1), digest_cnonce(42, 2));
    EXPECT_TRUE(is_hex32(digest_cnonce(42, 1)));
}

}  // namespace
