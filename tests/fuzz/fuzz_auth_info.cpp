// The text functions of the authenticated retry. Input: byte 0 the length n
// (mod 64) of an Authorization value, bytes 1 to n that value (CR and LF made
// spaces: computed values never hold them), then REQUEST [NUL CHALLENGE [NUL
// INFO]]. Checked: an inserted Authorization line lands inside the header
// block as the only change and is found again where it was put; trimmed texts
// are the input's middle without white space at either end; parameter names
// hold no '='; the challenge rewritten from an Authentication-Info value
// begins with "Digest ", keeps every old parameter name, carries the new nonce
// and qop quoted, and holds CR or LF only when its inputs did.
#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "HTTP/HttpDigest.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "fuzz_common.h"

using namespace Halvex::Corvio;
using fuzz_common::check;

namespace {

const char kSpace[] = "\r\n\t ";

bool has_crlf(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

// No white space at either end (a NUL ends the C text it came from).
bool trimmed(const std::string& s) {
    return s.empty() || ((!std::strchr(kSpace, s.front()) || !s.front()) &&
                         (!std::strchr(kSpace, s.back()) || !s.back()));
}

std::map<std::string, std::string> params_of(const std::string& text) {
    std::map<std::string, std::string> params;
    detail::parse_auth_params(text, params);
    return params;
}

void check_texts(const std::string& input) {
    std::string s = input;
    detail::trim_space(s);
    const size_t first = input.find_first_not_of(kSpace);
    check(trimmed(s) &&
          (s.empty() ? first == std::string::npos
                     : input.compare(first, s.size(), s) == 0 &&
                           input.find_first_not_of(kSpace, first + s.size()) == std::string::npos));
    const std::map<std::string, std::string> params = params_of(input);
    for (const auto& kv : params)
        check(kv.first.find('=') == std::string::npos && trimmed(kv.first) && trimmed(kv.second));
    check(detail::make_digest_challenge(params).compare(0, 7, "Digest ") == 0);
}

void check_fold(const std::string& challenge, const std::string& info) {
    const std::string folded = detail::FoldAuthenticationInfo(challenge, info);
    check(folded.compare(0, 7, "Digest ") == 0);
    check(has_crlf(challenge) || has_crlf(info) || !has_crlf(folded));
    const size_t digest = challenge.find("Digest");
    if (digest != std::string::npos)
        for (const auto& kv : params_of(challenge.substr(digest + 6)))
            check(folded.find(kv.first + "=") != std::string::npos);
    const std::map<std::string, std::string> info_params = params_of(info);
    for (const char* key : {"nextnonce", "qop"}) {
        const std::string v = info_params.count(key) ? info_params.at(key) : "";
        const bool quoted = v.size() >= 2 && v.front() == '"' && v.back() == '"';
        if (!v.empty() && v != "\"\"")
            check(folded.find(std::string(key[0] == 'q' ? "qop=" : "nonce=") +
                              (quoted ? v : quoted_string(v))) != std::string::npos);
    }
}

// The header block of `request` ends at its first blank line.
void check_put(const std::string& request, const std::string& value) {
    const int len = static_cast<int>(request.size());
    const int body = detail::RequestBodyOffset(request.data(), len);
    check(body == -1 ||
          (body >= 4 && body <= len && request.compare(body - 4, 4, "\r\n\r\n") == 0));
    int offset = -1, line_len = -1;
    const bool found = detail::FindAuthorizationLine(request.data(), len, offset, line_len);
    // A whole header line after the request line, CR LF included.
    check(!found ||
          (body > 0 && offset >= 2 && line_len >= 16 && offset + line_len <= body - 2 &&
           request.compare(offset - 2, 2, "\r\n") == 0 &&
           request.compare(offset + line_len - 2, 2, "\r\n") == 0 &&
           text::equal_nocase(std::string_view(request).substr(offset, 14), "authorization:")));
    std::string out;
    const bool put = detail::PutAuthorizationLine(request.data(), len, value, out);
    check(put == (body > 0));
    if (!put)
        return;
    const std::string line = "Authorization: " + value + "\r\n";
    const size_t at = found ? offset : body - 2;
    check(out == request.substr(0, at) + line + request.substr(at + (found ? line_len : 0)));
    // The body stays behind the first blank line, byte for byte.
    const int out_body = detail::RequestBodyOffset(out.data(), static_cast<int>(out.size()));
    check(out_body > 0 && out.substr(out_body) == request.substr(body));
    check(
        detail::FindAuthorizationLine(out.data(), static_cast<int>(out.size()), offset, line_len) &&
        static_cast<size_t>(offset) == at && static_cast<size_t>(line_len) == line.size());
}

void check_basic(const std::string& challenge) {
    if (!detail::ChallengeIsBasic(challenge.c_str()))
        return;
    const size_t word = challenge.find_first_not_of(kSpace);
    const char after = word + 5 < challenge.size() ? challenge[word + 5] : '\0';
    check(word != std::string::npos &&
          text::equal_nocase(std::string_view(challenge).substr(word, 5), "basic") &&
          (after == '\0' || std::strchr(" \t\r\n,", after)));
}

}  // namespace

FUZZ_TARGET(1, 8192) {
    const size_t n = std::min<size_t>(data[0] % 64, in.size() - 1);
    std::string value = in.substr(1, n);
    std::replace(value.begin(), value.end(), '\r', ' ');
    std::replace(value.begin(), value.end(), '\n', ' ');
    std::string parts[3], rest = in.substr(1 + n);
    for (int i = 0; i < 3; ++i) {
        const size_t nul = i < 2 ? rest.find('\0') : std::string::npos;
        parts[i] = rest.substr(0, nul);
        rest = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
    }
    check_put(parts[0], value);
    check_basic(parts[1]);
    for (const std::string& t : parts)
        check_texts(t);
    check_fold(parts[1], parts[2]);
}
