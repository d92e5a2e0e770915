#include "HTTP/HttpDigest.h"

#include <cstdio>
#include <cstring>

#include "HTTP/HttpText.h"
#include "Mardel/Md5.h"
#include "Sablon/StrParser.h"

namespace Halvex {
namespace Corvio {

namespace {

using text::equal_nocase;
using text::fold;

std::string_view trim_blank(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The text after the first occurrence of `pattern`, or nullopt.
std::optional<std::string_view> after(std::string_view text, std::string_view pattern) {
    const char* hit = Sablon::CStrParser::MemMem(text.data(), static_cast<int>(text.size()),
                                                 pattern.data(), static_cast<int>(pattern.size()));
    if (!hit)
        return std::nullopt;
    return text.substr(static_cast<size_t>(hit - text.data()) + pattern.size());
}

std::optional<std::string> param(std::string_view text, const char* name, bool quoted) {
    if (text.size() > static_cast<size_t>(INT32_MAX))
        return std::nullopt;
    std::string pattern(name);
    pattern += quoted ? "=\"" : "=";
    std::optional<std::string_view> rest = after(text, pattern);
    if (!rest)
        return std::nullopt;
    if (!quoted)
        return std::string(rest->substr(0, rest->find(',')));
    // quoted-string (RFC 9110 section 5.6.4): a quoted-pair stands for its
    // second character, so an escaped quote does not end the value.
    std::string value;
    for (size_t i = 0; i < rest->size() && (*rest)[i] != '"'; ++i) {
        if ((*rest)[i] == '\\' && i + 1 < rest->size())
            ++i;
        value += (*rest)[i];
    }
    return value;
}

}  // namespace

int parse_auth_type(Sablon::CStrParser& parser) {
    char word[128] = {0};
    parser.ResetAll();
    parser.ConsumeWhitespace();
    const int len = parser.ConsumeWord(word, sizeof(word) - 1);
    parser.ResetAll();
    if (len < 1)
        return AUTH_NONE;
    if (equal_nocase(word, "BASIC"))
        return AUTH_BASIC;
    if (equal_nocase(word, "DIGEST"))
        return AUTH_DIGEST;
    return AUTH_NONE;
}

std::optional<std::string> get_quoted_param(std::string_view text, const char* name) {
    return param(text, name, true);
}

std::optional<std::string> get_token_param(std::string_view text, const char* name) {
    return param(text, name, false);
}

std::string quoted_string(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

void parse_digest_challenge(std::string_view text, digest_challenge& challenge) {
    challenge = digest_challenge();
    challenge.realm = get_quoted_param(text, "realm");
    challenge.domain = get_quoted_param(text, "domain");
    challenge.nonce = get_quoted_param(text, "nonce");
    challenge.opaque = get_quoted_param(text, "opaque");
    challenge.stale = get_token_param(text, "stale");
    challenge.algorithm = get_token_param(text, "algorithm");
    challenge.qop = get_quoted_param(text, "qop");
}

bool digest_algorithm_supported(const std::optional<std::string>& algorithm) {
    return !algorithm || equal_nocase(*algorithm, "MD5") || *algorithm == "MD5-sess";
}

bool digest_algorithm_is_sess(const std::optional<std::string>& algorithm) {
    return algorithm && equal_nocase(*algorithm, "MD5-sess");
}

digest_qop choose_digest_qop(const std::optional<std::string>& qop) {
    digest_qop out;
    if (!qop)
        return out;
    out.present = true;
    out.quoted = true;
    out.token = *qop;
    if (qop->find(',') == std::string::npos) {
        if (equal_nocase(*qop, "auth"))
            out.form = digest_qop::AUTH;
        if (equal_nocase(*qop, "auth-int"))
            out.form = digest_qop::AUTH_INT;
        return out;
    }
    bool auth = false;
    bool auth_int = false;
    std::string_view rest(*qop);
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view item = trim_blank(rest.substr(0, comma));
        auth = auth || equal_nocase(item, "auth");
        auth_int = auth_int || equal_nocase(item, "auth-int");
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    if (auth || auth_int) {
        out.form = auth ? digest_qop::AUTH : digest_qop::AUTH_INT;
        out.token = auth ? "auth" : "auth-int";
        out.quoted = false;
    }
    return out;
}

std::string digest_md5(std::initializer_list<std::string_view> parts) {
    Utils::CMd5 md5;
    bool first = true;
    for (std::string_view part : parts) {
        if (!first)
            md5.update(":", 1);
        md5.update(part.data(), part.size());
        first = false;
    }
    char hex[33] = {0};
    md5.hex(hex);
    return hex;
}

bool is_digest_hex(std::string_view text) {
    if (text.size() != 32)
        return false;
    for (char c : text) {
        const unsigned char u = fold(static_cast<unsigned char>(c));
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f')))
            return false;
    }
    return true;
}

std::string digest_ha1(std::string_view user, std::string_view realm, std::string_view password) {
    return digest_md5({user, realm, password});
}

std::string digest_ha1_sess(std::string_view ha1, std::string_view nonce, std::string_view cnonce) {
    return digest_md5({ha1, nonce, cnonce});
}

std::string digest_ha2(std::string_view method, std::string_view uri, bool auth_int,
                       std::string_view body) {
    Utils::CMd5 md5;
    md5.update(method.data(), method.size());
    md5.update(":", 1);
    md5.update(uri.data(), uri.size());
    if (auth_int) {
        const std::string entity = digest_md5({body});
        md5.update(":", 1);
        md5.update(entity.data(), entity.size());
    }
    char hex[33] = {0};
    md5.hex(hex);
    return hex;
}

std::string digest_response(std::string_view ha1, std::string_view nonce, std::string_view nc,
                            std::string_view cnonce, std::string_view qop, std::string_view ha2) {
    return digest_md5({ha1, nonce, nc, cnonce, qop, ha2});
}

std::string digest_response(std::string_view ha1, std::string_view nonce, std::string_view ha2) {
    return digest_md5({ha1, nonce, ha2});
}

std::string digest_cnonce(uint64_t microseconds, uint64_t sequence) {
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(microseconds >> (8 * i));
        bytes[8 + i] = static_cast<unsigned char>(sequence >> (8 * i));
    }
    Utils::CMd5 md5;
    md5.update(bytes, sizeof(bytes));
    char hex[33] = {0};
    md5.hex(hex);
    return hex;
}

std::string digest_nc_text(uint32_t nc) {
    char text[9];
    snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(nc));
    return text;
}

}  // namespace Corvio
}  // namespace Halvex
