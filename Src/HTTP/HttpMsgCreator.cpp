#include "Corvio/CHttpMsgCreator.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "Mardel/Log.h"

namespace Halvex {
namespace Corvio {

namespace {

unsigned char upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

// Field names are one key regardless of letter case and are ordered by their
// upper-case forms, byte by byte; a name that is a prefix of another sorts
// first. "Accept" < "CONTENT-LENGTH" < "Host".
struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            const unsigned char ca = upper(static_cast<unsigned char>(a[i]));
            const unsigned char cb = upper(static_cast<unsigned char>(b[i]));
            if (ca != cb)
                return ca < cb;
        }
        return a.size() < b.size();
    }
};

const char* method_text(int method) {
    static const char* const kMethods[] = {"POST", "GET",    nullptr, "PUT",   "MOVE",
                                           "COPY", "DELETE", "HEAD",  "TRACE", "OPTIONS"};
    if (method < 0 || method >= static_cast<int>(sizeof(kMethods) / sizeof(kMethods[0])))
        return nullptr;
    return kMethods[method];
}

bool has_line_break(const char* text, size_t len) {
    return memchr(text, '\r', len) != nullptr || memchr(text, '\n', len) != nullptr;
}

// A field name or value that can be written as one header line.
bool field_ok(const char* name, size_t name_len, const char* value, size_t value_len) {
    if (name_len == 0 || memchr(name, ':', name_len) != nullptr)
        return false;
    return !has_line_break(name, name_len) && !has_line_break(value, value_len);
}

const char kContentLength[] = "CONTENT-LENGTH";
const size_t kUriSize = 2048;

}  // namespace

class CHttpMsgCreatorImpl {
public:
    CHttpMsgCreatorImpl() { reset_fields(); }
    ~CHttpMsgCreatorImpl() { free(m_msg); }

    int Reset() {
        reset_fields();
        free(m_msg);
        m_msg = nullptr;
        m_headers.clear();
        return 0;
    }

    int SetMsgType(CHttpMsgCreator::HttpMsgType type) {
        m_msg_type = type;
        return 0;
    }

    int SetRequestMethod(HTTP_METHOD_TYPE method) {
        m_method = method;
        return 0;
    }

    int SetStatusCode(HTTP_RESPONSE_STATUS_CODE code) {
        m_status_code = code;
        return 0;
    }

    int SetURI(const char* uri, int len) {
        if (!uri || len < 0)
            return -1;
        // Look one character past the limit so that a longer target is
        // refused rather than cut: a cut target names another resource.
        size_t scan =
            len == 0 ? kUriSize
                     : (static_cast<size_t>(len) < kUriSize ? static_cast<size_t>(len) : kUriSize);
        const size_t n = strnlen(uri, scan);
        if (n >= kUriSize || has_line_break(uri, n))
            return -1;
        memset(m_uri, 0, sizeof(m_uri));
        memcpy(m_uri, uri, n);
        return 0;
    }

    int SetValue(const char* name, size_t name_len, const char* value, size_t value_len) {
        if (!field_ok(name, name_len, value, value_len))
            return -1;
        try {
            m_headers.emplace(std::string(name, name_len), std::string(value, value_len));
        } catch (...) {
            return -1;
        }
        return 0;
    }

    int SetContent(const char* content, int len) {
        if (!content || len <= 0)
            return -1;
        char text[16];
        snprintf(text, sizeof(text), "%d", len);
        try {
            // The length must describe this body: replace an earlier value
            // (from SetContent or a caller's Content-Length field), keeping
            // the spelling of the name as first set.
            m_headers[kContentLength] = text;
        } catch (...) {
            return -1;
        }
        m_body = content;
        m_body_len = len;
        return 0;
    }

    char* GetMsg(int& len) {
        if (!m_msg)
            generate_msg();
        len = m_msg ? m_msg_len : 0;
        return m_msg;
    }

private:
    void reset_fields() {
        m_msg_type = CHttpMsgCreator::HTTP_MSG_REQUEST;
        m_method = HTTP_METHOD_GET;
        memset(m_uri, 0, sizeof(m_uri));
        m_uri[0] = '/';
        m_body_len = 0;
        m_body = nullptr;
        m_msg_len = 0;
    }

    // The exact rendered length, or -1 when the message cannot be rendered.
    int64_t cal_msg_len() {
        int64_t n;
        if (m_msg_type == CHttpMsgCreator::HTTP_MSG_REQUEST) {
            const char* method = method_text(m_method);
            if (!method) {
                MARDEL_LOG(3, "error method:%d\n", static_cast<int>(m_method));
                return -1;
            }
            n = static_cast<int64_t>(strlen(method)) + strlen(m_uri) + 12;
        } else if (m_msg_type == CHttpMsgCreator::HTTP_MSG_RESPONSE) {
            char code[16];
            const int code_len =
                snprintf(code, sizeof(code), "%d", static_cast<int>(m_status_code));
            n = code_len + 10 +
                static_cast<int64_t>(strlen(CHttpStatCodes::GetCodeText(m_status_code))) + 2;
        } else {
            MARDEL_LOG(3, "error msg_type:%d\n", static_cast<int>(m_msg_type));
            return -1;
        }
        for (const auto& field : m_headers)
            n += static_cast<int64_t>(field.first.size()) + 2 + field.second.size() + 2;
        n += 2;
        if (m_body && m_body_len > 0)
            n += m_body_len;
        if (n >= INT_MAX) {
            MARDEL_LOG(3, "message too long:%lld\n", static_cast<long long>(n));
            return -1;
        }
        return n;
    }

    static char* append(char* out, const char* text, size_t len) {
        memcpy(out, text, len);
        return out + len;
    }

    static char* append(char* out, const char* text) { return append(out, text, strlen(text)); }

    void generate_msg() {
        const int64_t total = cal_msg_len();
        if (total <= 0)
            return;
        const int n = static_cast<int>(total);
        char* msg = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
        if (!msg) {
            MARDEL_LOG(2, "memory full while malloc\n");
            return;
        }
        // Every byte up to n is written below: the lengths were summed from
        // the same texts.
        char* p = msg;
        if (m_msg_type == CHttpMsgCreator::HTTP_MSG_RESPONSE) {
            char code[16];
            const int code_len =
                snprintf(code, sizeof(code), "%d", static_cast<int>(m_status_code));
            p = append(p, "HTTP/1.1 ");
            p = append(p, code, static_cast<size_t>(code_len));
            p = append(p, " ");
            p = append(p, CHttpStatCodes::GetCodeText(m_status_code));
        } else {
            p = append(p, method_text(m_method));
            p = append(p, " ");
            p = append(p, m_uri);
            p = append(p, " HTTP/1.1");
        }
        p = append(p, "\r\n");
        for (const auto& field : m_headers) {
            p = append(p, field.first.data(), field.first.size());
            p = append(p, ": ");
            p = append(p, field.second.data(), field.second.size());
            p = append(p, "\r\n");
        }
        p = append(p, "\r\n");
        if (m_body && m_body_len > 0)
            p = append(p, m_body, static_cast<size_t>(m_body_len));
        *p = '\0';
        m_msg = msg;
        m_msg_len = n;
    }

    std::map<std::string, std::string, NameLess> m_headers;
    CHttpMsgCreator::HttpMsgType m_msg_type;
    HTTP_METHOD_TYPE m_method;
    char m_uri[kUriSize];
    int m_body_len;
    const char* m_body;
    char* m_msg = nullptr;
    int m_msg_len;
    HTTP_RESPONSE_STATUS_CODE m_status_code = HTTP_STATUS_NOT_FOUND;
};

CHttpMsgCreator::CHttpMsgCreator() : m_impl(new (std::nothrow) CHttpMsgCreatorImpl) {
    if (!m_impl)
        MARDEL_LOG(2, "memory full while malloc\n");
}

CHttpMsgCreator::~CHttpMsgCreator() {
    delete m_impl;
}

int CHttpMsgCreator::Reset() {
    return m_impl ? m_impl->Reset() : -1;
}

int CHttpMsgCreator::SetMsgType(HttpMsgType type) {
    return m_impl ? m_impl->SetMsgType(type) : -1;
}

int CHttpMsgCreator::SetRequestMethod(HTTP_METHOD_TYPE method) {
    return m_impl ? m_impl->SetRequestMethod(method) : -1;
}

int CHttpMsgCreator::SetStatusCode(HTTP_RESPONSE_STATUS_CODE code) {
    return m_impl ? m_impl->SetStatusCode(code) : -1;
}

int CHttpMsgCreator::SetURI(const char* uri, int len) {
    return m_impl ? m_impl->SetURI(uri, len) : -1;
}

int CHttpMsgCreator::SetValue(const char* name, const char* value) {
    if (!m_impl || !name || !value)
        return -1;
    return m_impl->SetValue(name, strlen(name), value, strlen(value));
}

int CHttpMsgCreator::SetValue(const std::string& name, const std::string& value) {
    // A NUL inside an owned string would end the text early for every C
    // reader of the message: refuse it like a line break.
    if (!m_impl || name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
        return -1;
    return m_impl->SetValue(name.data(), name.size(), value.data(), value.size());
}

int CHttpMsgCreator::SetContent(const char* content, int len) {
    return m_impl ? m_impl->SetContent(content, len) : -1;
}

char* CHttpMsgCreator::GetMsg(int& len) {
    if (!m_impl) {
        len = 0;
        return nullptr;
    }
    return m_impl->GetMsg(len);
}

}  // namespace Corvio
}  // namespace Halvex
