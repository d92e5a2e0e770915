// The downloader's answer to a 401 challenge (RFC 7235 section 3.1): the
// Authorization line of a request, the one retry, and the kept challenge
// refreshed from Authentication-Info (RFC 2617 section 3.2.3).
//
// The text functions in `detail` are pure; the members below are the glue to
// the downloader's state.
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "HTTP/HttpAuth.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"

namespace Halvex {
namespace Corvio {

namespace {

// Offset of the first "\r\n\r\n" in `text`, or -1.
int FindBlankLine(const char* text, int len) {
    for (int i = 0; i + 3 < len; ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n' && text[i + 2] == '\r' && text[i + 3] == '\n') {
            return i;
        }
    }
    return -1;
}

bool IsQuoted(const std::string& v) {
    return v.size() >= 2 && v.front() == '"' && v.back() == '"';
}

// The value as a quoted-string (RFC 9110 section 5.6.4).
std::string Quoted(const std::string& v) {
    return IsQuoted(v) ? v : quoted_string(v);
}

// The value without its surrounding quotes, for the emptiness test.
std::string Unquoted(const std::string& v) {
    return IsQuoted(v) ? v.substr(1, v.size() - 2) : v;
}

// The Authorization value for one request: Basic or Digest as the challenge
// asks; empty when none can be computed (CHttpAuth logs why).
std::string getAuthorizationValue(const std::string& www_authenticate, const std::string& user,
                                  const std::string& password, const std::string& uri,
                                  const std::string& method, int password_type, const char* body,
                                  int body_len) {
    CHttpAuth auth;
    auth.SetUserInfo(user, password);
    auth.SetUri(uri);
    auth.SetMethod(method);
    auth.SetWWWAuthenticate(www_authenticate);
    auth.SetPasswordType(password_type);
    // qop auth-int hashes the entity body (RFC 2617 section 3.2.2.3).
    auth.SetBody(body, body_len);
    std::string value;
    if (!auth.GetAuthorization(value))
        return std::string();
    return value;
}

}  // namespace

namespace detail {

int RequestBodyOffset(const char* request, int len) {
    const int blank = FindBlankLine(request, len);
    return blank < 0 ? -1 : blank + 4;
}

bool FindAuthorizationLine(const char* request, int len, int& offset, int& line_len) {
    const int blank = FindBlankLine(request, len);
    if (blank < 0)
        return false;
    const int header_end = blank + 2;  // just behind the CR LF of the last line
    // Skip the request line.
    int pos = 0;
    while (pos + 1 < header_end && !(request[pos] == '\r' && request[pos + 1] == '\n'))
        ++pos;
    pos += 2;
    while (pos < header_end) {
        int end = pos;
        while (end + 1 < header_end + 2 && !(request[end] == '\r' && request[end + 1] == '\n')) {
            ++end;
        }
        const char* colon = static_cast<const char*>(
            std::memchr(request + pos, ':', static_cast<size_t>(end - pos)));
        if (colon != nullptr &&
            text::equal_nocase(
                std::string_view(request + pos, static_cast<size_t>(colon - (request + pos))),
                "Authorization")) {
            offset = pos;
            line_len = end + 2 - pos;
            return true;
        }
        pos = end + 2;
    }
    return false;
}

bool ChallengeIsBasic(const char* challenge) {
    if (challenge == nullptr)
        return false;
    const char* p = challenge;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    const char* word = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != ',')
        ++p;
    return text::equal_nocase(std::string_view(word, static_cast<size_t>(p - word)), "basic");
}

bool PutAuthorizationLine(const char* request, int len, const std::string& value,
                          std::string& out) {
    const std::string line = "Authorization: " + value + "\r\n";
    int offset = 0;
    int line_len = 0;
    if (FindAuthorizationLine(request, len, offset, line_len)) {
        out.assign(request, static_cast<size_t>(offset));
        out += line;
        out.append(request + offset + line_len, static_cast<size_t>(len - offset - line_len));
        return true;
    }
    const int blank = FindBlankLine(request, len);
    if (blank < 0)
        return false;
    out.assign(request, static_cast<size_t>(blank + 2));
    out += line;
    out.append(request + blank + 2, static_cast<size_t>(len - blank - 2));
    return true;
}

void trim_space(std::string& s) {
    static const char kSpace[] = "\r\n\t ";
    const size_t first = s.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    const size_t last = s.find_last_not_of(kSpace);
    s = s.substr(first, last - first + 1);
}

void parse_auth_params(const std::string& text, std::map<std::string, std::string>& params) {
    const size_t n = text.size();
    size_t pos = text.find_first_not_of(" \t");
    while (pos != std::string::npos && pos < n) {
        const size_t eq = text.find('=', pos);
        if (eq == std::string::npos)
            return;
        std::string key = text.substr(pos, eq - pos);
        // A quoted-string (RFC 7230 section 3.2.6) is one value, commas and
        // escaped quotes included.
        size_t scan_from = eq + 1;
        const size_t first = text.find_first_not_of(" \t", eq + 1);
        if (first != std::string::npos && text[first] == '"') {
            size_t i = first + 1;
            while (i < n && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < n)
                    ++i;
                ++i;
            }
            scan_from = i < n ? i + 1 : n;
        }
        const size_t comma = text.find(',', scan_from);
        const size_t value_end = comma == std::string::npos ? n : comma;
        std::string value = text.substr(eq + 1, value_end - eq - 1);
        trim_space(key);
        trim_space(value);
        params[key] = value;
        if (comma == std::string::npos)
            return;
        pos = text.find_first_not_of(" \t", comma + 1);
    }
}

std::string make_digest_challenge(const std::map<std::string, std::string>& params) {
    std::string text;
    for (const auto& kv : params) {
        if (!text.empty())
            text += ", ";
        text += kv.first;
        text += "=";
        text += kv.second;
    }
    return "Digest " + text;
}

std::string FoldAuthenticationInfo(const std::string& challenge, const std::string& info) {
    std::map<std::string, std::string> params;
    parse_auth_params(info, params);
    std::map<std::string, std::string> old_params;
    const size_t digest = challenge.find("Digest");
    if (digest != std::string::npos)
        parse_auth_params(challenge.substr(digest + 6), old_params);
    // The challenge is read back with quoted nonce and qop values, while
    // Authentication-Info may carry qop as a token.
    auto next = params.find("nextnonce");
    if (next != params.end() && !Unquoted(next->second).empty()) {
        old_params["nonce"] = Quoted(next->second);
    }
    auto qop = params.find("qop");
    if (qop != params.end() && !Unquoted(qop->second).empty()) {
        old_params["qop"] = Quoted(qop->second);
    }
    return make_digest_challenge(old_params);
}

}  // namespace detail

// The copies are made first: out of memory leaves both fields as they were.
int CHttpDownloader::SetAuthInfo(const std::string& user, const std::string& password) try {
    std::string user_copy(user);
    std::string password_copy(password);
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_username.swap(user_copy);
    m_impl->m_password.swap(password_copy);
    return 0;
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return -1;
}

int CHttpDownloader::SetAuthInfo(const char* user, const char* password) try {
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(m_impl->m_mutex);
    return SetAuthInfo(user != nullptr ? std::string(user) : m_impl->m_username,
                       password != nullptr ? std::string(password) : m_impl->m_password);
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return -1;
}

void CHttpDownloader::SetPasswordType(int type) {
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_password_type = type;
}

// Out of memory gives an empty text.
std::string CHttpDownloader::GetWWWAuthenticate() try {
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(m_impl->m_mutex);
    return m_impl->m_www_authenticate;
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return std::string();
}

// Out of memory keeps the previous challenge.
void CHttpDownloader::SetWWWAuthenticate(const char* challenge) try {
    if (challenge == nullptr)
        return;
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_www_authenticate = challenge;
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
}

bool CHttpDownloader::build_auth_req(const char* request, int len,
                                     const std::string& www_authenticate, std::string& out) {
    CHttpDownloaderImpl* d = m_impl;
    CHttpParser req_parser;
    req_parser.SetHeaderOnly(true);
    if (req_parser.Parse(request, len) != HTTP_PARSE_COMPLETE)
        return false;
    const char* method = req_parser.GetReqMethod();
    const char* uri = req_parser.GetURI();
    if (method == nullptr || uri == nullptr)
        return false;
    const int body = detail::RequestBodyOffset(request, len);
    const char* body_ptr = body >= 0 ? request + body : nullptr;
    const int body_len = body >= 0 ? len - body : 0;
    const std::string value =
        getAuthorizationValue(www_authenticate, d->m_username, d->m_password, uri, method,
                              d->m_password_type, body_ptr, body_len);
    return detail::PutAuthorizationLine(request, len, value, out);
}

int CHttpDownloader::auth_retry_request(std::string& out, bool quiet) {
    CHttpDownloaderImpl* d = m_impl;
    const char* challenge = d->m_parser.Value("WWW-Authenticate");
    // One retry per downloader, and never once this exchange was reported.
    if (d->m_auth_retried || d->m_finished || d->m_parser.GetStatusCode() != 401 ||
        challenge == nullptr || d->m_username.empty() || d->m_password.empty() ||
        d->m_buf == nullptr || d->m_len <= 0) {
        return -1;
    }
    int offset = 0;
    int line_len = 0;
    if (detail::FindAuthorizationLine(d->m_buf, d->m_len, offset, line_len) &&
        detail::ChallengeIsBasic(challenge)) {
        if (!quiet)
            MARDEL_LOG(3, "basic auth failed, not retry, maybe password wrong!\n");
        return 0;
    }
    if (d->m_password_type != 0 && detail::ChallengeIsBasic(challenge)) {
        if (!quiet)
            MARDEL_LOG(3, "password is a digest HA1, not sent in basic auth\n");
        return 0;
    }
    return build_auth_req(d->m_buf, d->m_len, challenge, out) ? 1 : 0;
}

bool CHttpDownloader::retry_with_auth() {
    CHttpDownloaderImpl* d = m_impl;
    std::string req_with_auth;
    const int ready = auth_retry_request(req_with_auth, false);
    if (ready < 0)
        return false;
    d->m_auth_retried = true;
    if (ready == 0)
        return false;
    // The challenge points into the parser, which SendRequest resets.
    d->m_www_authenticate = d->m_parser.Value("WWW-Authenticate");

    if (d->m_keep_alive) {
        // RFC 9112 section 9.3: any Connection value but keep-alive closes
        // the connection after this answer, and so does an HTTP/1.0 answer
        // without one.
        const char* connection = d->m_parser.Value("Connection");
        const char* version = d->m_parser.GetHttpVersion();
        const bool closes = connection != nullptr
                                ? !text::equal_nocase(connection, "keep-alive")
                                : version != nullptr && !std::strcmp(version, "1.0");
        if (closes) {
            d->m_keep_alive = false;
        } else {
            // A peer may still close without saying so; until a byte of the
            // answer arrives, a close sends the request over a new connection.
            d->m_retry_unanswered = true;
            if (SendRequest(req_with_auth.data(), static_cast<int>(req_with_auth.size())) >= 0)
                return true;
            d->m_retry_unanswered = false;
            return false;
        }
    }
    return retry_on_new_connection(req_with_auth);
}

// The authenticated request went out on the kept connection and the peer
// closed it (or it failed) before any byte of the answer: the request is sent
// again over a new connection, as if the 401 had closed it (RFC 9112 section
// 9.3.1 lets a client retry a request that got no answer). False when that is
// not the case, or the new connection cannot be started.
bool CHttpDownloader::resend_on_new_connection() {
    CHttpDownloaderImpl* d = m_impl;
    if (!d->m_retry_unanswered || d->m_buf == nullptr)
        return false;
    d->m_retry_unanswered = false;
    d->m_keep_alive = false;
    return retry_on_new_connection(std::string(d->m_buf, static_cast<size_t>(d->m_len)));
}

// Sends `request` through a second downloader on a new connection. The first
// connection leaves the reactor and its sender is ended, so that only the
// retry's end notice ends this exchange.
bool CHttpDownloader::retry_on_new_connection(const std::string& request) {
    CHttpDownloaderImpl* d = m_impl;
    if (d->m_stream != nullptr)
        RemoveSock(*d->m_stream);
    d->end_sender();
    // The retry carries the credentials: it verifies the server as the first
    // connection did, and presents the same client certificate. The options
    // are copied before the retry exists, so that running out of memory
    // leaves nothing behind.
    CHttpsOption option;
    if (option.GetData() == nullptr)
        return false;
    *option.GetData() = d->m_https_option;
    CHttpDownloader* retry = CHttpDownloader::Create(GetID());
    if (retry == nullptr)
        return false;
    retry->SetTimeout(d->m_timeout);
    retry->SetHttpsOption(&option);
    // The retry passes the final answer's body to the sink; this downloader
    // ends the sink when the retry has ended.
    retry->SetBodySink(d->m_sink);
    retry->m_impl->m_sink_end_owned = false;
    d->m_retry_downloader = retry;
    int result;
    if (d->m_use_ssl) {
        result = retry->InitUseSsl(d->m_addr, request.data(), static_cast<int>(request.size()),
                                   d->m_pem_path);
    } else {
        result = retry->Init(d->m_addr, request.data(), static_cast<int>(request.size()));
    }
    if (result < 0) {
        MARDEL_LOG(2, "retry req with auth, Init Failed!\n");
        d->m_retry_downloader = nullptr;
        retry->Close();
        return false;
    }
    return true;
}

void CHttpDownloader::updateWWWAuthenticate() {
    CHttpDownloaderImpl* d = m_impl;
    if (d->m_www_authenticate.empty())
        return;
    CHttpParser* answer = nullptr;
    if (d->m_retry_downloader != nullptr) {
        answer = d->m_retry_downloader->GetResult();
    } else {
        const parse_status_t status = d->m_parser.GetStatus();
        if (status == HTTP_PARSE_COMPLETE || status == HTTP_PARSE_UNTIL_CLOSE)
            answer = &d->m_parser;
    }
    if (answer == nullptr)
        return;
    const char* info = answer->Value("Authentication-Info");
    if (info == nullptr)
        return;
    // Runs inside the end of an exchange, which must still be reported.
    try {
        d->m_www_authenticate = detail::FoldAuthenticationInfo(d->m_www_authenticate, info);
    } catch (...) {
        MARDEL_LOG(2, "out of memory\n");
    }
}

}  // namespace Corvio
}  // namespace Halvex
