// HTTP Basic and Digest access authentication (RFC 7617, RFC 2617): the pure
// parts. Challenge parameters are read from the raw text of a WWW-Authenticate
// value; the Digest hashes are computed from explicit inputs. Nothing here
// logs, reads a clock or keeps state; CHttpAuth (HttpAuth.h) is the glue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Halvex {
namespace Sablon {
class CStrParser;
}

namespace Corvio {

// Scheme named by the first word of a challenge.
enum { AUTH_NONE = 0, AUTH_BASIC = 1, AUTH_DIGEST = 2 };

// A parsed Digest challenge (RFC 2617 section 3.2.1) and the client-side
// values of one answer. An absent parameter is std::nullopt; present but
// empty is an empty text.
struct digest_challenge {
    std::optional<std::string> realm;
    std::optional<std::string> domain;  // kept, not consulted
    std::optional<std::string> nonce;
    std::optional<std::string> opaque;
    std::optional<std::string> stale;      // kept, not consulted
    std::optional<std::string> algorithm;  // token form: quotes are kept
    std::optional<std::string> qop;        // the whole quoted value
    uint32_t nc = 0;                       // nonce count; 1 once cnonce is made
    std::optional<std::string> cnonce;
    std::optional<std::string> ha1;  // the MD5-sess HA1, reused when set
};

// The form of the response the qop directive calls for (RFC 2617 section
// 3.2.2.1), and the qop text that goes into the response hash and the value.
struct digest_qop {
    enum Form { NONE, AUTH, AUTH_INT } form = NONE;
    std::string token;     // hashed into the response with the qop forms
    bool quoted = false;   // written as qop="token" rather than qop=token
    bool present = false;  // a qop directive is written at all
};

// Scheme of the text `parser` scans: the first word after white space,
// compared with "Basic" and "Digest" ignoring letter case. The scanner is
// left at the start of its text.
int parse_auth_type(Sablon::CStrParser& parser);

// The value of parameter `name` in a challenge text, found byte for byte as
// name="... (quoted: up to the next double quote that is not part of a
// quoted-pair, or the end of the text; each quoted-pair "\c" gives c) or
// name=... (token: up to the next comma or the end, nothing trimmed, quotes
// kept). The first match wins, also inside a longer parameter name.
std::optional<std::string> get_quoted_param(std::string_view text, const char* name);
std::optional<std::string> get_token_param(std::string_view text, const char* name);

// `value` as a quoted-string (RFC 9110 section 5.6.4, RFC 7616 section 3.4):
// in double quotes, with every '\' and '"' written as a quoted-pair. CR, LF
// and NUL are the caller's to refuse: no quoting makes them safe.
std::string quoted_string(std::string_view value);

// Fills every parameter of `challenge` from `text`; the client-side values
// (nc, cnonce, ha1) are cleared.
void parse_digest_challenge(std::string_view text, digest_challenge& challenge);

// An algorithm this client answers: absent, "MD5" in any letter case, or
// "MD5-sess" exactly.
bool digest_algorithm_supported(const std::optional<std::string>& algorithm);
bool digest_algorithm_is_sess(const std::optional<std::string>& algorithm);

// The answer to a qop directive. A single value is used as the server wrote
// it: the qop forms only when it reads "auth" or "auth-int" (any letter
// case), written in quotes. A comma-separated list chooses "auth" when it is
// offered, else "auth-int", written as an unquoted token (RFC 2617 section
// 3.2.2); a list offering neither is written whole, like a single value.
digest_qop choose_digest_qop(const std::optional<std::string>& qop);

// MD5 over the parts joined by ':', as 32 lower-case hexadecimal digits.
std::string digest_md5(std::initializer_list<std::string_view> parts);

// True for exactly 32 hexadecimal digits (a precomputed HA1).
bool is_digest_hex(std::string_view text);

// RFC 2617 section 3.2.2.2: HA1 = MD5(user:realm:password); for MD5-sess
// HA1 = MD5(HA1:nonce:cnonce).
std::string digest_ha1(std::string_view user, std::string_view realm, std::string_view password);
std::string digest_ha1_sess(std::string_view ha1, std::string_view nonce, std::string_view cnonce);

// RFC 2617 section 3.2.2.3: HA2 = MD5(method:uri), for auth-int
// MD5(method:uri:MD5(entity-body)). An empty method is left out (the text
// begins with ':').
std::string digest_ha2(std::string_view method, std::string_view uri, bool auth_int,
                       std::string_view body);

// RFC 2617 section 3.2.2.1: MD5(HA1:nonce:nc:cnonce:qop:HA2) for the qop
// forms, MD5(HA1:nonce:HA2) otherwise. `nc` is the nonce count as eight
// lower-case hexadecimal digits.
std::string digest_response(std::string_view ha1, std::string_view nonce, std::string_view nc,
                            std::string_view cnonce, std::string_view qop, std::string_view ha2);
std::string digest_response(std::string_view ha1, std::string_view nonce, std::string_view ha2);

// A client nonce from a clock reading and a sequence number: MD5 over both
// in little-endian byte order. Distinct sequence numbers give distinct
// nonces even within one clock tick.
std::string digest_cnonce(uint64_t microseconds, uint64_t sequence);

// The nonce count as written: eight lower-case hexadecimal digits.
std::string digest_nc_text(uint32_t nc);

}  // namespace Corvio
}  // namespace Halvex
