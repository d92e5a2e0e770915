// Feeding CHttpParser in slices and reading back all it hands out; shared by
// the parser fuzz target and the parser corpus test. Checked: GetContent is
// NULL before a final state, except the bytes kept in HTTP_PARSER_BUFFER_FULL;
// every text and buffer handed out is NUL-terminated where its length says;
// input after a final state is refused; a clone ends exactly as the original.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Corvio/CHttpParser.h"
#include "fuzz_common.h"

namespace parser_feed {

using namespace Halvex::Corvio;
using fuzz_common::check;

// stream: a body callback collects the body; clone: a clone taken after the
// first slice must end the same.
struct Options {
    bool header_only = false, eof = false, stream = false, clone = false;
    int max_buf = 0;
};

struct Result {
    parse_status_t status = HTTP_PARSE_INIT;
    std::string start, fields, content, extra;  // content: streamed bytes even when open
    bool has_content = false;
    long long length = 0;  // stored content length, or bytes streamed
    std::string text() const {
        return "status " + std::to_string(status) + "\nstart " + start + "\n" + fields +
               "content " + (has_content ? "[" + content + "]" : "(null)") + " length " +
               std::to_string(length) + "\nextra [" + extra + "]\n";
    }
};

inline bool is_final(parse_status_t st) {
    return st == HTTP_PARSE_COMPLETE || st == HTTP_PARSE_ERROR;
}

inline std::string str(const char* p) {
    return p ? p : "(null)";
}

// Appends from an exact-size heap copy, so that a read past the end is caught.
inline parse_status_t append(CHttpParser& p, const char* data, size_t n) {
    char* copy = static_cast<char*>(malloc(n ? n : 1));
    memcpy(copy, data, n);
    const parse_status_t st = p.Append(copy, static_cast<int>(n));
    free(copy);
    return st;
}

// Everything the parser hands out, each text checked for its terminator.
// `streamed`: the bytes the body callback received.
inline Result inspect(CHttpParser& p, const std::string* streamed) {
    Result r;
    r.status = p.GetStatus();
    check(r.status >= HTTP_PARSE_COMPLETE && r.status <= HTTP_PARSER_BUFFER_FULL);
    r.start = (p.IsRequest() ? "> " : "< ") + str(p.GetReqMethod()) + " " + str(p.GetURI()) + " " +
              str(p.GetHttpVersion()) + " " + std::to_string(p.GetStatusCode()) + " " +
              str(p.GetStatusStr());
    const int n = p.GetHeaderNum();
    check(n >= 0 && n <= 128);
    for (int i = -1; i <= n; ++i) {
        char* k = reinterpret_cast<char*>(1);
        char* v = k;
        const bool ok = p.GetKeyValue(i, &k, &v) == 0;
        check(ok == (i >= 0 && i < n) && (ok || (!k && !v)) && (!ok || (k && v && p.Value(k))));
        if (ok)
            r.fields += std::string(k) + ": " + v + "\n";
    }
    r.length = p.GetContentLength();
    check(r.length >= 0);
    const char* content = p.GetContent();
    if (!is_final(r.status))
        check((content != nullptr) == (r.status == HTTP_PARSER_BUFFER_FULL && r.length > 0));
    if (streamed) {
        check(r.length == 0 && !content && p.GetBodyLength() == (long long)streamed->size());
        r.length = static_cast<long long>(streamed->size());
        r.has_content = !streamed->empty() && is_final(r.status);
        r.content = *streamed;
    } else if (content) {
        check(content[r.length] == '\0');
        r.has_content = true;
        r.content.assign(content, static_cast<size_t>(r.length));
    }
    const char* extra = reinterpret_cast<const char*>(p.GetExtraBuffer());
    check((extra != nullptr) == (p.GetExtraLength() > 0) && (!extra || !extra[p.GetExtraLength()]));
    r.extra = extra ? std::string(extra, static_cast<size_t>(p.GetExtraLength())) : "";
    return r;
}

inline int collect(void* ctx, const char* data, int len) {
    static_cast<std::string*>(ctx)->append(data, static_cast<size_t>(len));
    return 0;
}

// Feeds `msg` in slices of the sizes given, in turn and over again (0 or
// none: the rest). Bytes after a final state are given once more, refused with
// the state unchanged, and count as extra bytes of a complete message.
inline Result feed(CHttpParser& p, const std::string& msg, const std::vector<size_t>& sizes,
                   const Options& o) {
    std::string streamed;
    p.SetHeaderOnly(o.header_only);
    p.SetMaxBufferLen(o.max_buf);
    p.SetBodyCallback(o.stream ? collect : nullptr, &streamed);
    std::vector<size_t> cuts{0};
    for (size_t i = 0; cuts.back() < msg.size(); ++i) {
        const size_t want = sizes.empty() ? 0 : sizes[i % sizes.size()];
        cuts.push_back(want ? std::min(cuts.back() + want, msg.size()) : msg.size());
    }
    CHttpParser* copy = nullptr;
    std::string copy_streamed;
    auto run = [&](CHttpParser& q, size_t first, const std::string* body) {
        std::string refused;
        for (size_t i = first; i + 1 < cuts.size(); ++i) {
            const parse_status_t before = q.GetStatus();
            if (is_final(before)) {
                refused = msg.substr(cuts[i]);
                check(append(q, refused.data(), refused.size()) == before);
                break;
            }
            const parse_status_t st = append(q, msg.data() + cuts[i], cuts[i + 1] - cuts[i]);
            // The bytes kept at the limit, read at once, do not change the end.
            const char* kept = is_final(st) ? nullptr : q.GetContent();
            check(is_final(st) ||
                  (kept != nullptr) == (st == HTTP_PARSER_BUFFER_FULL && q.GetContentLength() > 0));
            check(!kept || kept[q.GetContentLength()] == '\0');
            if (o.clone && !copy) {
                copy = q.Clone();
                copy_streamed = streamed;  // the copy streams on behind what came so far
                copy->SetBodyCallback(o.stream ? collect : nullptr, &copy_streamed);
            }
        }
        if (o.eof)
            q.Append(nullptr, 0);
        Result r = inspect(q, body);
        if (r.status == HTTP_PARSE_COMPLETE)
            r.extra += refused;
        return r;
    };
    const Result r = run(p, 0, o.stream ? &streamed : nullptr);
    if (copy) {
        // A deep copy: the original reset, the copy takes the other slices.
        check(!p.GetHttpVersion() || p.GetHttpVersion() != copy->GetHttpVersion());
        p.Reset();
        check(run(*copy, 1, o.stream ? &copy_streamed : nullptr).text() == r.text() &&
              copy->GetMaxBufferLen() == o.max_buf);
        copy->Release();
    }
    return r;
}

}  // namespace parser_feed
