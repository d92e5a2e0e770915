// The text functions of the authenticated retry: the Authorization line's
// search and insertion in a request, the body offset, the scheme test, the
// parameter split, trimming, and the challenge rewritten from an
// Authentication-Info value.
//
// Input: byte 0 is the length n (mod 64) of an Authorization value, bytes 1
// to n that value (CR and LF in it become spaces: computed values never hold
// them); the rest is REQUEST [NUL CHALLENGE [NUL INFO]].
//
// Checked: no crash or sanitizer report; an inserted Authorization line lands
// inside the header block, as the only change: the text before it and the
// body after the blank line are unchanged, and the line is found again where
// it was put; trimmed texts have no white space at either end and are the
// middle of the input; parameter names hold no '='; the rewritten challenge
// begins with "Digest ", keeps every parameter name of the old one, carries
// the new nonce and qop quoted, and holds CR or LF only when its inputs did.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "HTTP/HttpDigest.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "fuzz_common.h"

using namespace Halvex::Corvio;

namespace {

using fuzz_common::check;

const char kSpace[] = "\r\n\t ";

bool has_crlf(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

void check_trim(const std::string& input) {
    std::string s = input;
    detail::trim_space(s);
    if (s.empty()) {
        check(input.find_first_not_of(kSpace) == std::string::npos);
        return;
    }
    check(std::strchr(kSpace, s.front()) == nullptr || s.front() == '\0');
    check(std::strchr(kSpace, s.back()) == nullptr || s.back() == '\0');
    const size_t first = input.find_first_not_of(kSpace);
    check(input.compare(first, s.size(), s) == 0);
    check(input.find_first_not_of(kSpace, first + s.size()) == std::string::npos);
}

void check_params(const std::string& text) {
    std::map<std::string, std::string> params;
    detail::parse_auth_params(text, params);
    for (const auto& kv : params) {
        check(kv.first.find('=') == std::string::npos);
        for (const std::string* t : {&kv.first, &kv.second}) {
            if (t->empty())
                continue;
            check(std::strchr(kSpace, t->front()) == nullptr || t->front() == '\0');
            check(std::strchr(kSpace, t->back()) == nullptr || t->back() == '\0');
        }
    }
    const std::string challenge = detail::make_digest_challenge(params);
    check(challenge.compare(0, 7, "Digest ") == 0);
}

// The rewritten challenge keeps the old parameters and takes the new nonce
// and qop (quoted-pairs escaped when it came unquoted), as the next
// request's Authorization value is computed from it.
void check_fold(const std::string& challenge, const std::string& info) {
    const std::string folded = detail::FoldAuthenticationInfo(challenge, info);
    check(folded.compare(0, 7, "Digest ") == 0);
    if (!has_crlf(challenge) && !has_crlf(info))
        check(!has_crlf(folded));
    std::map<std::string, std::string> old_params;
    const size_t digest = challenge.find("Digest");
    if (digest != std::string::npos)
        detail::parse_auth_params(challenge.substr(digest + 6), old_params);
    for (const auto& kv : old_params)
        check(folded.find(kv.first + "=") != std::string::npos);
    std::map<std::string, std::string> new_params;
    detail::parse_auth_params(info, new_params);
    for (const char* key : {"nextnonce", "qop"}) {
        auto it = new_params.find(key);
        if (it == new_params.end())
            continue;
        const std::string& v = it->second;
        const bool quoted = v.size() >= 2 && v.front() == '"' && v.back() == '"';
        if (quoted ? v.size() == 2 : v.empty())
            continue;
        const std::string name = std::strcmp(key, "qop") == 0 ? "qop" : "nonce";
        check(folded.find(name + "=" + (quoted ? v : quoted_string(v))) != std::string::npos);
    }
}

// The header block of `request` ends at its first blank line.
void check_put(const std::string& request, const std::string& value) {
    const char* req = request.data();
    const int len = static_cast<int>(request.size());
    const int body = detail::RequestBodyOffset(req, len);
    check(body == -1 || (body >= 4 && body <= len));
    if (body > 0)
        check(request.compare(static_cast<size_t>(body) - 4, 4, "\r\n\r\n") == 0);

    int offset = -1;
    int line_len = -1;
    const bool found = detail::FindAuthorizationLine(req, len, offset, line_len);
    if (found) {
        check(body > 0);
        // A whole header line after the request line, CR LF included.
        check(offset >= 2 && line_len >= 16 && offset + line_len <= body - 2);
        check(request.compare(static_cast<size_t>(offset) - 2, 2, "\r\n") == 0);
        check(request.compare(static_cast<size_t>(offset + line_len) - 2, 2, "\r\n") == 0);
        check(text::equal_nocase(std::string_view(req + offset, 14), "authorization:"));
    }

    std::string out;
    const bool put = detail::PutAuthorizationLine(req, len, value, out);
    check(put == (body > 0));
    if (!put)
        return;
    const std::string line = "Authorization: " + value + "\r\n";
    const size_t at = found ? static_cast<size_t>(offset) : static_cast<size_t>(body - 2);
    const size_t removed = found ? static_cast<size_t>(line_len) : 0;
    check(out.size() == request.size() - removed + line.size());
    check(out.compare(0, at, request, 0, at) == 0);
    check(out.compare(at, line.size(), line) == 0);
    check(out.compare(at + line.size(), std::string::npos, request, at + removed,
                      std::string::npos) == 0);
    // The body stays behind the first blank line, byte for byte.
    const int out_body = detail::RequestBodyOffset(out.data(), static_cast<int>(out.size()));
    check(out_body > 0 && out.compare(static_cast<size_t>(out_body), std::string::npos, request,
                                      static_cast<size_t>(body), std::string::npos) == 0);
    int offset2 = -1;
    int line_len2 = -1;
    check(detail::FindAuthorizationLine(out.data(), static_cast<int>(out.size()), offset2,
                                        line_len2));
    check(static_cast<size_t>(offset2) == at && static_cast<size_t>(line_len2) == line.size());
}

void check_basic(const std::string& challenge) {
    if (!detail::ChallengeIsBasic(challenge.c_str()))
        return;
    const size_t word = challenge.find_first_not_of(kSpace);
    check(word != std::string::npos &&
          text::equal_nocase(std::string_view(challenge).substr(word, 5), "basic"));
    const char after = word + 5 < challenge.size() ? challenge[word + 5] : '\0';
    check(after == '\0' || std::strchr(" \t\r\n,", after) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_common::quiet_log();
    if (size < 1 || size > 8192)
        return 0;
    size_t n = data[0] % 64;
    if (n > size - 1)
        n = size - 1;
    std::string value(reinterpret_cast<const char*>(data) + 1, n);
    for (char& c : value)
        if (c == '\r' || c == '\n')
            c = ' ';
    const std::string rest(reinterpret_cast<const char*>(data) + 1 + n, size - 1 - n);
    const size_t nul1 = rest.find('\0');
    const std::string request = rest.substr(0, nul1);
    const std::string tail = nul1 == std::string::npos ? std::string() : rest.substr(nul1 + 1);
    const size_t nul2 = tail.find('\0');
    const std::string challenge = tail.substr(0, nul2);
    const std::string info = nul2 == std::string::npos ? std::string() : tail.substr(nul2 + 1);

    check_put(request, value);
    check_basic(challenge);
    for (const std::string* t : {&request, &challenge, &info}) {
        check_trim(*t);
        check_params(*t);
    }
    check_fold(challenge, info);
    return 0;
}
