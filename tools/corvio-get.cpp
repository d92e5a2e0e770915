// corvio-get: downloads one URL with the library and writes the body to
// stdout or a file. See usage() for the options and exit statuses.
//
// The download runs on the reactor: this program owns a handler of its own
// that receives the downloader's end notice, while the main thread waits for
// it and, with --progress, draws the received size. The body is streamed: the
// downloader hands it to a sink that writes it out as it arrives, so memory
// stays small whatever the body's size.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpMsgCreator.h"
#include "Corvio/CHttpParser.h"
#include "Mardel/Log.h"
#include "Mardel/Semaphore.h"
#include "Sablon/NetHandler.h"
#include "Sablon/SockAddr.h"

using namespace Halvex;
using Corvio::CHttpDownloader;

namespace {

enum ExitStatus {
    EXIT_OK = 0,
    EXIT_USAGE = 2,
    EXIT_URL = 3,
    EXIT_CONNECT = 7,
    EXIT_HTTP_ERROR = 22,
    EXIT_TRANSFER = 56
};

const char kSystemCaBundle[] = "/etc/ssl/certs/ca-certificates.crt";
// The library's limits: a Basic user:password, a PEM path, and the request
// text it renders for a URL.
const size_t kMaxCredentials = 1023;
const size_t kMaxPemPath = 255;
const size_t kMaxRequest = 1023;

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: corvio-get [options] URL\n"
                 "Downloads URL (http://HOST[:PORT]/PATH or https://...) and writes the body to\n"
                 "stdout. HOST may be a name, an IPv4 address or an IPv6 address in brackets.\n"
                 "\n"
                 "Output:\n"
                 "  -o FILE          write the body to FILE instead of stdout, as it arrives;\n"
                 "                   after a failed or cut download FILE keeps the bytes that\n"
                 "                   arrived (their count is in the failure line)\n"
                 "  -i               write the status line and header fields before the body\n"
                 "  --progress       show progress on stderr: size, rate, and the percentage\n"
                 "                   when the size is announced (default when stderr is a\n"
                 "                   terminal and -o is given)\n"
                 "Request:\n"
                 "  -I               send HEAD; write the status line and header fields only\n"
                 "  -X METHOD        method: GET POST PUT DELETE HEAD OPTIONS TRACE MOVE COPY\n"
                 "  -H 'Name: value' add a header field (repeatable; the first of a name wins)\n"
                 "  -d DATA          send DATA as the body (method POST unless -X says otherwise;\n"
                 "                   Content-Type application/x-www-form-urlencoded unless -H\n"
                 "                   gives one)\n"
                 "                   With -I, -X, -H or -d the request is built here and sent to\n"
                 "                   the URL's address with Host set to the URL's host[:port];\n"
                 "                   otherwise the library sends its own GET for the URL.\n"
                 "  -u USER:PASS     credentials: the library's GET carries Basic at once;\n"
                 "                   a challenge is answered once (Basic or Digest);\n"
                 "                   at most 1023 characters, no control character\n"
                 "  --ha1            PASS is the Digest HA1 (32 hexadecimal digits): nothing\n"
                 "                   is sent before a challenge and only Digest is answered\n"
                 "                   (a Basic challenge leaves the 401 as the answer)\n"
                 "  --keep-alive     keep-alive mode: a challenge is answered on the same\n"
                 "                   connection when the server keeps it open\n"
                 "  --timeout MS     inactivity time-out in milliseconds (default 5000; 0: none;\n"
                 "                   at most 4294967, about 71 minutes)\n"
                 "  --fail           exit 22 when the HTTP status is 400 or more\n"
                 "TLS (https:// URLs, or any URL with --tls):\n"
                 "  --tls            use TLS also for an http:// URL\n"
                 "  --cacert FILE    trust the CA certificates in FILE (repeatable); default:\n"
                 "                   %s when it exists\n"
                 "  -k, --insecure   accept any server certificate (no CA is trusted)\n"
                 "  --crl FILE       refuse a server certificate listed in this CRL (repeatable)\n"
                 "  --verify-cn      the certificate's common name must equal the server's\n"
                 "                   numeric address\n"
                 "  --cert PEM       client certificate and key (one PEM file; a path of at\n"
                 "                   most 255 characters)\n"
                 "  --sni NAME       server name to send and, with a trusted CA, to match\n"
                 "                   (default: the URL's host; an address is matched, not sent)\n"
                 "  Without a trusted CA (-k, or no bundle and no --cacert) any certificate\n"
                 "  is accepted.\n"
                 "Messages:\n"
                 "  -v               show the library's log lines (level 6)\n"
                 "  -q               no log lines at all\n"
                 "  --help           this text\n"
                 "\n"
                 "Exit status: 0 a complete answer arrived (any HTTP status unless --fail);\n"
                 "2 usage error (bad option, unknown method, output file not writable,\n"
                 "credentials or --cert path too long); 3 URL not parsed, host not resolved\n"
                 "or the request for the URL over 1023 characters; 7 connect or TLS failure\n"
                 "(a connect time-out included); 22 HTTP status 400 or more with --fail;\n"
                 "and 56 transfer failure (a time-out while waiting for the answer or a body\n"
                 "cut short included). A failure prints one line on stderr; a transfer\n"
                 "failure says how many body bytes arrived.\n",
                 kSystemCaBundle);
}

struct Options {
    std::string url;
    std::string output;
    bool include = false;
    bool head = false;
    std::string method;
    std::vector<std::string> headers;
    bool has_data = false;
    std::string data;
    bool has_user = false;
    std::string user;
    std::string password;
    bool ha1 = false;
    bool tls = false;
    std::vector<std::string> cacerts;
    bool insecure = false;
    std::vector<std::string> crls;
    bool verify_cn = false;
    std::string cert;
    bool has_sni = false;
    std::string sni;
    long long timeout_ms = -1;
    bool keep_alive = false;
    bool fail = false;
    bool progress = false;
    bool verbose = false;
    bool quiet = false;
};

// The parts of a URL this program needs beside the library's own parsing.
struct UrlParts {
    bool https = false;
    std::string host;       // without brackets
    std::string authority;  // host[:port] as written, for the Host field
    std::string target;     // from the first '/' after the host, or "/"
};

// Splits "scheme://authority/target". The library's ParseURL resolves the
// address and checks the port; this only finds the texts.
bool split_url(const std::string& url, UrlParts& parts) {
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos)
        return false;
    const std::string scheme = url.substr(0, scheme_end);
    if (scheme == "https")
        parts.https = true;
    else if (scheme != "http")
        return false;
    const size_t start = scheme_end + 3;
    const size_t slash = url.find('/', start);
    parts.authority =
        url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    parts.target = slash == std::string::npos ? "/" : url.substr(slash);
    if (parts.authority.empty())
        return false;
    if (parts.authority[0] == '[') {
        const size_t close = parts.authority.find(']');
        if (close == std::string::npos)
            return false;
        parts.host = parts.authority.substr(1, close - 1);
    } else {
        parts.host = parts.authority.substr(0, parts.authority.find(':'));
    }
    return !parts.host.empty();
}

bool method_from_text(const std::string& text, Corvio::HTTP_METHOD_TYPE& method) {
    static const struct {
        const char* name;
        Corvio::HTTP_METHOD_TYPE method;
    } kMethods[] = {
        {"GET", Corvio::HTTP_METHOD_GET},     {"POST", Corvio::HTTP_METHOD_POST},
        {"PUT", Corvio::HTTP_METHOD_PUT},     {"DELETE", Corvio::HTTP_METHOD_DELETE},
        {"HEAD", Corvio::HTTP_METHOD_HEAD},   {"OPTIONS", Corvio::HTTP_METHOD_OPTIONS},
        {"TRACE", Corvio::HTTP_METHOD_TRACE}, {"MOVE", Corvio::HTTP_METHOD_MOVE},
        {"COPY", Corvio::HTTP_METHOD_COPY},
    };
    for (const auto& m : kMethods) {
        if (text == m.name) {
            method = m.method;
            return true;
        }
    }
    return false;
}

// Library log lines of level 3 and below are kept (not printed) so that a
// failure can be told in one line with the library's reason. A TLS failure
// ends with the summary "ssl connect error!" after the line that says why:
// the cause is the one kept.
std::mutex g_log_mutex;
std::string g_last_log;

void keep_log_line(int level, const char*, const char*, const char*, int, const char*,
                   const char* message) {
    if (level > 3)
        return;
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text == "ssl connect error!")
        return;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_last_log = text;
}

std::string last_log_detail() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_last_log.empty() ? std::string() : " (" + g_last_log + ")";
}

// Receives the downloader's end notice.
class Owner : public Sablon::CNetHandler {
public:
    int handle_message(long from_id, unsigned int msg, long) override {
        if (msg == Corvio::MSG_DOWNLOAD_END && from_id == m_downloader_id.load())
            m_done.post();
        return 0;
    }
    int handle_close(Sablon::CNetHandler*) override {
        delete this;
        return 0;
    }
    std::atomic<long> m_downloader_id{0};
    Mardel::CSemaphore m_done{0};
};

std::string human_size(double bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 3) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

// One progress line: received size, rate, and with an announced size the
// bar and percentage.
void draw_progress(long long current, long long total, double seconds, bool final_line) {
    if (current < 0)
        current = 0;
    const std::string rate =
        human_size(seconds > 0.0 ? static_cast<double>(current) / seconds : 0.0) + "/s";
    char line[200];
    if (total > 0) {
        const int width = 30;
        const double part = current >= total ? 1.0 : static_cast<double>(current) / total;
        const int filled = static_cast<int>(part * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), ' ');
        std::snprintf(line, sizeof(line), "\r[%s] %3d%% %s / %s %s", bar.c_str(),
                      static_cast<int>(part * 100.0), human_size(current).c_str(),
                      human_size(total).c_str(), rate.c_str());
    } else {
        std::snprintf(line, sizeof(line), "\r%s received %s", human_size(current).c_str(),
                      rate.c_str());
    }
    std::fprintf(stderr, "%-80s%s", line, final_line ? "\n" : "");
    std::fflush(stderr);
}

// Status line and header fields as received (CR LF line ends, blank line).
std::string header_text(const Corvio::CHttpParser& answer) {
    std::string text = "HTTP/";
    text += answer.GetHttpVersion() ? answer.GetHttpVersion() : "1.1";
    text += " " + std::to_string(answer.GetStatusCode());
    if (answer.GetStatusStr() && *answer.GetStatusStr())
        text += std::string(" ") + answer.GetStatusStr();
    text += "\r\n";
    for (int i = 0; i < answer.GetHeaderNum(); ++i) {
        char* key = nullptr;
        char* value = nullptr;
        if (answer.GetKeyValue(i, &key, &value) == 0 && key)
            text += std::string(key) + ": " + (value ? value : "") + "\r\n";
    }
    return text + "\r\n";
}

bool has_control(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

bool is_ha1(const std::string& text) {
    if (text.size() != 32)
        return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// Whether the answer's challenge names Basic (its first word decides).
bool basic_challenge(Corvio::CHttpParser& answer) {
    const char* value = answer.Value("WWW-Authenticate");
    if (value == nullptr)
        return false;
    std::string word(value + std::strspn(value, " \t"));
    word = word.substr(0, word.find_first_of(" \t,"));
    for (char& c : word)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return word == "basic";
}

// The longest the library's own GET for the URL (Init(url)) can be: its
// frame, the target, the Host text (the URL's host or its address) and,
// with -u and no --ha1, the Basic line. The library refuses one over 1023
// characters.
size_t url_request_length(const Options& o, const UrlParts& url, const std::string& ip) {
    static const char kFrame[] =
        "GET  HTTP/1.1\r\nAccept: */*\r\nHost: []:65535\r\n"
        "Connection: close\r\n\r\n";
    size_t len = sizeof(kFrame) - 1 + url.target.size() + std::max(url.host.size(), ip.size());
    if (o.has_user && !o.ha1) {
        static const char kBasic[] = "Authorization: Basic \r\n";
        len += sizeof(kBasic) - 1 + (o.user.size() + o.password.size() + 3) / 3 * 4;
    }
    return len;
}

// Writes the answer out as the downloader hands it over (reactor thread):
// with -i or -I the header first, then the body in the pieces received. With
// --fail an answer of status 400 or more writes nothing.
class OutputSink : public Corvio::IHttpBodySink {
public:
    OutputSink(FILE* out, bool header, bool fail) : m_out(out), m_header(header), m_fail(fail) {}
    int OnHeader(const Corvio::CHttpParser& answer) override {
        m_discard = m_fail && answer.GetStatusCode() >= 400;
        if (m_header && !m_discard) {
            const std::string head = header_text(answer);
            return write(head.data(), head.size());
        }
        return 0;
    }
    int OnBody(const char* data, int len) override {
        return m_discard ? 0 : write(data, static_cast<size_t>(len));
    }
    void OnEnd(bool) override {}
    std::atomic<bool> m_write_failed{false};

private:
    // Small pieces gather in the stream's buffer; a large one goes out
    // directly after what is buffered, without a copy.
    int write(const char* data, size_t len) {
        bool ok = true;
        if (len < kDirectWrite) {
            ok = len == 0 || std::fwrite(data, 1, len, m_out) == len;
        } else if ((ok = std::fflush(m_out) == 0)) {
            const int fd = fileno(m_out);
            while (ok && len > 0) {
                const ssize_t n = ::write(fd, data, len);
                if (n < 0 && errno == EINTR)
                    continue;
                ok = n > 0;
                if (ok) {
                    data += n;
                    len -= static_cast<size_t>(n);
                }
            }
        }
        if (ok)
            return 0;
        m_write_failed = true;
        return -1;
    }
    static constexpr size_t kDirectWrite = 65536;
    FILE* m_out;
    bool m_header;
    bool m_fail;
    bool m_discard = false;
};

int fail_line(int status, const std::string& text) {
    std::fprintf(stderr, "corvio-get: %s\n", text.c_str());
    return status;
}

// Parses argv into `o`; EXIT_OK to go on, -1 after --help, else EXIT_USAGE.
int parse_args(int argc, char** argv, Options& o) {
    auto need = [&](int& i, const char* name, std::string& into) {
        if (i + 1 >= argc) {
            fail_line(EXIT_USAGE, std::string("option ") + name + " needs a value (see --help)");
            return false;
        }
        into = argv[++i];
        return true;
    };
    bool progress_set = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return -1;
        } else if (arg == "-o") {
            if (!need(i, "-o", o.output))
                return EXIT_USAGE;
        } else if (arg == "-i") {
            o.include = true;
        } else if (arg == "-I") {
            o.head = true;
        } else if (arg == "-X") {
            if (!need(i, "-X", o.method))
                return EXIT_USAGE;
        } else if (arg == "-H") {
            if (!need(i, "-H", value))
                return EXIT_USAGE;
            o.headers.push_back(value);
        } else if (arg == "-d") {
            if (!need(i, "-d", o.data))
                return EXIT_USAGE;
            o.has_data = true;
        } else if (arg == "-u") {
            if (!need(i, "-u", value))
                return EXIT_USAGE;
            const size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0) {
                fail_line(EXIT_USAGE, "-u needs USER:PASS");
                return EXIT_USAGE;
            }
            o.has_user = true;
            o.user = value.substr(0, colon);
            o.password = value.substr(colon + 1);
        } else if (arg == "--ha1") {
            o.ha1 = true;
        } else if (arg == "--tls") {
            o.tls = true;
        } else if (arg == "--cacert") {
            if (!need(i, "--cacert", value))
                return EXIT_USAGE;
            o.cacerts.push_back(value);
        } else if (arg == "-k" || arg == "--insecure") {
            o.insecure = true;
        } else if (arg == "--crl") {
            if (!need(i, "--crl", value))
                return EXIT_USAGE;
            o.crls.push_back(value);
        } else if (arg == "--verify-cn") {
            o.verify_cn = true;
        } else if (arg == "--cert") {
            if (!need(i, "--cert", o.cert))
                return EXIT_USAGE;
        } else if (arg == "--sni") {
            if (!need(i, "--sni", o.sni))
                return EXIT_USAGE;
            o.has_sni = true;
        } else if (arg == "--timeout") {
            if (!need(i, "--timeout", value))
                return EXIT_USAGE;
            char* end = nullptr;
            const long long ms = std::strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || ms < 0 || ms > 4294967LL) {
                fail_line(EXIT_USAGE, "--timeout needs milliseconds (0 to 4294967)");
                return EXIT_USAGE;
            }
            o.timeout_ms = ms;
        } else if (arg == "--keep-alive") {
            o.keep_alive = true;
        } else if (arg == "--fail") {
            o.fail = true;
        } else if (arg == "--progress") {
            o.progress = true;
            progress_set = true;
        } else if (arg == "-v") {
            o.verbose = true;
        } else if (arg == "-q") {
            o.quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            fail_line(EXIT_USAGE, "unknown option '" + arg + "' (see --help)");
            return EXIT_USAGE;
        } else if (o.url.empty()) {
            o.url = arg;
        } else {
            fail_line(EXIT_USAGE, "only one URL may be given (see --help)");
            return EXIT_USAGE;
        }
    }
    if (o.url.empty()) {
        fail_line(EXIT_USAGE, "no URL given (see --help)");
        return EXIT_USAGE;
    }
    if (o.ha1 && (!o.has_user || !is_ha1(o.password))) {
        fail_line(EXIT_USAGE, "--ha1 needs -u USER:HA1 (32 hexadecimal digits)");
        return EXIT_USAGE;
    }
    // What the library would refuse only when it renders the request.
    if (o.has_user && (has_control(o.user) || has_control(o.password))) {
        fail_line(EXIT_USAGE, "-u USER:PASS must not hold control characters");
        return EXIT_USAGE;
    }
    if (o.has_user && o.user.size() + 1 + o.password.size() > kMaxCredentials) {
        fail_line(EXIT_USAGE,
                  "-u USER:PASS is longer than " + std::to_string(kMaxCredentials) + " characters");
        return EXIT_USAGE;
    }
    if (o.cert.size() > kMaxPemPath) {
        fail_line(EXIT_USAGE,
                  "--cert path is longer than " + std::to_string(kMaxPemPath) + " characters");
        return EXIT_USAGE;
    }
    if (!progress_set && !o.quiet && !o.output.empty() && isatty(STDERR_FILENO))
        o.progress = true;
    return EXIT_OK;
}

// Renders the request for -I, -X, -H and -d; EXIT_OK or EXIT_USAGE.
int build_request(const Options& o, const UrlParts& url, std::string& request) {
    Corvio::HTTP_METHOD_TYPE method = Corvio::HTTP_METHOD_GET;
    if (!o.method.empty()) {
        if (!method_from_text(o.method, method))
            return fail_line(EXIT_USAGE, "unsupported method '" + o.method + "' (see --help)");
    } else if (o.head) {
        method = Corvio::HTTP_METHOD_HEAD;
    } else if (o.has_data) {
        method = Corvio::HTTP_METHOD_POST;
    }
    Corvio::CHttpMsgCreator creator;
    creator.SetMsgType(Corvio::CHttpMsgCreator::HTTP_MSG_REQUEST);
    creator.SetRequestMethod(method);
    if (creator.SetURI(url.target.c_str(), 0) != 0)
        return fail_line(EXIT_USAGE, "the URL's target cannot be sent");
    // The caller's fields first: the first value of a name wins.
    for (const std::string& header : o.headers) {
        const size_t colon = header.find(':');
        if (colon == std::string::npos || colon == 0)
            return fail_line(EXIT_USAGE, "-H needs 'Name: value', got '" + header + "'");
        std::string value = header.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        if (creator.SetValue(header.substr(0, colon), value) != 0)
            return fail_line(EXIT_USAGE, "header field '" + header + "' cannot be sent");
    }
    creator.SetValue("Host", url.authority);
    creator.SetValue("Accept", "*/*");
    creator.SetValue("Connection", o.keep_alive ? "keep-alive" : "close");
    if (o.has_data) {
        creator.SetValue("Content-Type", "application/x-www-form-urlencoded");
        if (!o.data.empty())
            creator.SetContent(o.data.data(), static_cast<int>(o.data.size()));
        else
            creator.SetValue("Content-Length", "0");
    }
    int len = 0;
    const char* text = creator.GetMsg(len);
    if (!text)
        return fail_line(EXIT_USAGE, "the request cannot be built");
    request.assign(text, static_cast<size_t>(len));
    return EXIT_OK;
}

int run(int argc, char** argv) {
    Options o;
    const int parsed = parse_args(argc, argv, o);
    if (parsed == -1)
        return EXIT_OK;
    if (parsed != EXIT_OK)
        return parsed;

    if (o.verbose) {
        Mardel::setPrintLogLevel(6);
    } else if (o.quiet) {
        Mardel::setPrintLogLevel(0);
    } else {
        Mardel::setLogSink(keep_log_line);
    }

    UrlParts url;
    if (!split_url(o.url, url))
        return fail_line(EXIT_URL, "cannot parse URL '" + o.url + "'");
    Sablon::CSockAddrStorage addr;
    int path_offset = -1;
    if (CHttpDownloader::ParseURL(o.url.c_str(), addr, path_offset) < 0)
        return fail_line(EXIT_URL,
                         "cannot parse URL or resolve host '" + url.host + "'" + last_log_detail());
    char ip[64] = {};
    addr.GetIpStr(ip, sizeof(ip));
    const std::string peer = (addr.GetFamily() == 6 ? "[" + std::string(ip) + "]" : ip) + ":" +
                             std::to_string(addr.GetPort());

    const bool built = o.head || !o.method.empty() || !o.headers.empty() || o.has_data;
    std::string request;
    if (built) {
        const int status = build_request(o, url, request);
        if (status != EXIT_OK)
            return status;
    }

    FILE* out = stdout;
    if (!o.output.empty()) {
        out = std::fopen(o.output.c_str(), "wb");
        if (!out)
            return fail_line(EXIT_USAGE,
                             "cannot write '" + o.output + "': " + std::strerror(errno));
    }
    // Body pieces of up to 32 KiB go out in large writes.
    static char out_buffer[1 << 18];
    std::setvbuf(out, out_buffer, _IOFBF, sizeof(out_buffer));
    OutputSink sink(out, o.include || o.head, o.fail);

    const bool use_tls = url.https || o.tls;
    Corvio::CHttpsOption https;
    if (use_tls) {
        if (!o.insecure) {
            for (const std::string& ca : o.cacerts)
                https.AddTrustCA(ca.c_str());
            if (o.cacerts.empty() && access(kSystemCaBundle, R_OK) == 0)
                https.AddTrustCA(kSystemCaBundle);
        }
        for (const std::string& crl : o.crls)
            https.AddCRL(crl.c_str());
        https.SetVerifyCN(o.verify_cn);
        // The URL's host is always the identity to check against a trusted
        // CA; a numeric host is matched but not sent as SNI (RFC 6066 3).
        https.SetSslOption6Text(o.has_sni ? o.sni.c_str() : url.host.c_str());
    }

    Owner* owner = new Owner;
    CHttpDownloader* downloader = CHttpDownloader::Create(owner->GetID());
    if (!downloader) {
        owner->Close();
        return fail_line(EXIT_CONNECT, "cannot create a downloader");
    }
    owner->m_downloader_id = downloader->GetID();
    if (o.timeout_ms >= 0)
        downloader->SetTimeout(static_cast<unsigned long long>(o.timeout_ms) * 1000ULL);
    if (o.has_user) {
        downloader->SetAuthInfo(o.user, o.password);
        downloader->SetPasswordType(o.ha1 ? 1 : 0);
    }
    downloader->SetKeepAliveMode(o.keep_alive);
    downloader->SetBodySink(&sink);
    if (use_tls)
        downloader->SetHttpsOption(&https);

    int started;
    if (built) {
        const int len = static_cast<int>(request.size());
        started = use_tls ? downloader->InitUseSsl(addr, request.data(), len, o.cert.c_str())
                          : downloader->Init(addr, request.data(), len);
    } else {
        started = use_tls ? downloader->InitUseSsl(o.url.c_str(), o.cert.c_str())
                          : downloader->Init(o.url.c_str());
    }
    auto finish = [&](int status) {
        downloader->Close();
        owner->Close();
        if (out != stdout && std::fclose(out) != 0 && status == EXIT_OK)
            status = fail_line(EXIT_TRANSFER, "cannot write '" + o.output + "'");
        return status;
    };
    if (started < 0 && !built && url_request_length(o, url, ip) > kMaxRequest)
        return finish(fail_line(EXIT_URL, "the request for the URL is longer than " +
                                              std::to_string(kMaxRequest) + " characters"));
    if (started < 0)
        return finish(
            fail_line(EXIT_CONNECT, "cannot start the connection to " + peer + last_log_detail()));

    // The downloader's time-outs bound this wait: every started download ends
    // with one end notice.
    const auto started_at = std::chrono::steady_clock::now();
    auto progress = [&](bool final_line) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_at).count();
        draw_progress(downloader->GetCurrentContentSize64(), downloader->GetTotalContentSize64(),
                      seconds, final_line);
    };
    while (!owner->m_done.pend(100)) {
        if (o.progress)
            progress(false);
    }
    if (o.progress)
        progress(true);

    Corvio::CHttpParser* answer = downloader->GetResult();
    const CHttpDownloader::ErrorReason reason = downloader->GetErrorReason();
    if (reason == CHttpDownloader::ERROR_CONNECT)
        return finish(fail_line(EXIT_CONNECT, std::string("connect or TLS hand-shake with ") +
                                                  peer + " failed" + last_log_detail()));
    if (sink.m_write_failed)
        return finish(fail_line(
            EXIT_TRANSFER, "cannot write the body" + (o.output.empty() ? "" : " to " + o.output)));
    if (!answer || reason != CHttpDownloader::ERROR_NONE) {
        const long long arrived = downloader->GetCurrentContentSize64();
        return finish(fail_line(EXIT_TRANSFER, "no complete answer from " + peer + " (" +
                                                   std::to_string(arrived < 0 ? 0 : arrived) +
                                                   " body bytes arrived)" + last_log_detail()));
    }

    // The library answers only Digest with an HA1 (it never goes out in clear).
    const bool basic_refused = o.ha1 && answer->GetStatusCode() == 401 && basic_challenge(*answer);
    const std::string basic_text =
        "the server asks for Basic credentials; an HA1 (--ha1) answers Digest only";
    if (o.fail && basic_refused)
        return finish(fail_line(EXIT_HTTP_ERROR, basic_text));
    if (basic_refused)
        fail_line(EXIT_OK, basic_text);
    if (o.fail && answer->GetStatusCode() >= 400) {
        std::string status_line = std::to_string(answer->GetStatusCode());
        if (answer->GetStatusStr() && *answer->GetStatusStr())
            status_line += std::string(" ") + answer->GetStatusStr();
        return finish(fail_line(EXIT_HTTP_ERROR, "the server answered " + status_line));
    }
    if (std::fflush(out) != 0)
        return finish(fail_line(
            EXIT_TRANSFER, "cannot write the body" + (o.output.empty() ? "" : " to " + o.output)));
    return finish(EXIT_OK);
}

}  // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
