// Downloads against libcurl in the same run, from the same loopback server
// (a fast server of this program: worker threads that answer from one static
// buffer, plain TCP or TLS):
//  - one 100 MiB body over HTTP and over HTTPS (TLS 1.3, the server checked
//    against a CA by both clients). Both hold the body in memory: the
//    downloader in its 32768-byte blocks, curl in a growing std::string.
//    Target: throughput ratio >= 1.0. The same streamed: the downloader's
//    body sink against curl's write callback, both only counting the bytes.
//  - 2,000 downloads of a 1 KiB body, each on a new connection: 50 in flight
//    (asynchronous downloaders vs curl multi) and one after another (blocking
//    downloader vs one curl easy handle). Target: the downloader's faster
//    mode >= curl's faster mode.
//  - peak resident memory added by one 100 MiB download, before and after
//    GetContent gathers the body into one buffer. Target: <= 2.2 x the body.
// Prints medians of several runs and the ratios (this library / curl). The
// 100 MiB runs go in pairs, the first of each pair alternating between the
// two clients; beside the ratio of the medians they print the median of the
// pairs' own ratios and how many pairs the downloader won.
// Options: --quick (one run of each), --small (the small-body runs only),
// --runs N (N runs of each small-body case), --big-runs N (N pairs of each
// 100 MiB case, 5 by default), --case K (only the 100 MiB case K: 0 HTTP,
// 1 HTTPS, 2 HTTP into a sink, 3 HTTPS into a sink).
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpDownloaderBlock.h"
#include "Corvio/CHttpParser.h"
#include "Mardel/Log.h"
#include "Mardel/Semaphore.h"
#include "Sablon/NetHandler.h"
#include "support/CertMaker.h"
#include "support/TcpListener.h"

using namespace Halvex;
using Corvio::CHttpDownloader;
using Corvio::CHttpDownloaderBlock;
using corvio_test::CertMaker;

namespace {

constexpr size_t kBig = 100u << 20;
constexpr size_t kSmall = 1024;
constexpr int kSmallCount = 2000;
constexpr int kInFlight = 50;

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// ---------------------------------------------------------------- server ---

class Server {
public:
    Server(bool tls, int workers) : m_listener(4, 1024) {
        static std::vector<char> body(1 << 20, 'x');
        m_body = &body;
        if (tls) {
            const CertMaker& certs = CertMaker::Shared();
            m_ctx = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_file(m_ctx, certs.server_ip_san.cert.c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(m_ctx, certs.server_ip_san.key.c_str(), SSL_FILETYPE_PEM);
        }
        for (int i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { serve(); });
    }
    ~Server() {
        m_stop = true;
        shutdown(m_listener.Handle(), SHUT_RDWR);
        for (auto& t : m_threads)
            t.join();
        if (m_ctx)
            SSL_CTX_free(m_ctx);
    }
    unsigned short Port() const { return m_listener.Port(); }

private:
    void serve() {
        while (!m_stop) {
            const int fd = accept(m_listener.Handle(), nullptr, nullptr);
            if (fd < 0) {
                if (m_stop)
                    return;
                continue;
            }
            SSL* ssl = nullptr;
            if (m_ctx) {
                ssl = SSL_new(m_ctx);
                SSL_set_fd(ssl, fd);
                if (SSL_accept(ssl) != 1) {
                    SSL_free(ssl);
                    close(fd);
                    continue;
                }
            }
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int n = ssl ? SSL_read(ssl, buf, sizeof(buf))
                                  : static_cast<int>(read(fd, buf, sizeof(buf)));
                if (n <= 0)
                    break;
                request.append(buf, static_cast<size_t>(n));
            }
            const size_t size = request.compare(0, 9, "GET /big ") == 0 ? kBig : kSmall;
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                                     "\r\nConnection: close\r\n\r\n";
            bool ok = write_all(fd, ssl, head.data(), head.size());
            for (size_t left = size; ok && left > 0;) {
                const size_t n = std::min(left, m_body->size());
                ok = write_all(fd, ssl, m_body->data(), n);
                left -= n;
            }
            if (ssl) {
                SSL_shutdown(ssl);
                SSL_free(ssl);
            }
            close(fd);
        }
    }
    static bool write_all(int fd, SSL* ssl, const char* data, size_t len) {
        while (len > 0) {
            const long n = ssl ? SSL_write(ssl, data, static_cast<int>(len))
                               : static_cast<long>(send(fd, data, len, MSG_NOSIGNAL));
            if (n <= 0)
                return false;
            data += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }

    corvio_test::TcpListener m_listener;
    const std::vector<char>* m_body = nullptr;
    SSL_CTX* m_ctx = nullptr;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

// ------------------------------------------------------------ one big body ---

// Counts the streamed body.
struct CountingSink : Corvio::IHttpBodySink {
    int OnBody(const char*, int len) override {
        bytes += static_cast<size_t>(len);
        return 0;
    }
    void OnEnd(bool) override {}
    size_t bytes = 0;
};

// Seconds for one download of `url` (stored, or streamed into a sink), or -1
// on failure.
double corvio_big(const std::string& url, bool tls, bool stream) {
    Corvio::CHttpsOption option;
    option.AddTrustCA(CertMaker::Shared().ca.cert.c_str());
    CountingSink sink;
    CHttpDownloaderBlock block;
    block.SetTimeout(30000000);
    block.SetHttpsOption(&option);
    if (stream)
        block.SetBodySink(&sink);
    const double start = now_s();
    const int rc = tls ? block.DownloadUseSsl(url.c_str(), "") : block.Download(url.c_str());
    const double took = now_s() - start;
    if (rc != 0 || block.GetCurrentContentSize() != static_cast<int>(kBig) ||
        (stream && sink.bytes != kBig))
        return -1;
    return took;
}

size_t curl_append(char* data, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(data, size * n);
    return size * n;
}

size_t curl_count(char*, size_t size, size_t n, void* user) {
    *static_cast<size_t*>(user) += size * n;
    return size * n;
}

double curl_big(const std::string& url, bool stream) {
    std::string body;
    size_t counted = 0;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    if (stream) {
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, curl_count);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &counted);
    } else {
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, curl_append);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    }
    curl_easy_setopt(easy, CURLOPT_CAINFO, CertMaker::Shared().ca.cert.c_str());
    // curl's largest receive buffer: its fastest setting for a large body.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024L);
    const double start = now_s();
    const CURLcode rc = curl_easy_perform(easy);
    const double took = now_s() - start;
    curl_easy_cleanup(easy);
    return rc == CURLE_OK && (stream ? counted : body.size()) == kBig ? took : -1;
}

// ------------------------------------------------------ many small bodies ---

class Owner : public Sablon::CNetHandler {
public:
    int handle_message(long from_id, unsigned int msg, long) override {
        if (msg != Corvio::MSG_DOWNLOAD_END)
            return 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended.push_back(from_id);
        }
        m_sem.post();
        return 0;
    }
    long next_ended() {
        m_sem.pend();
        std::lock_guard<std::mutex> lock(m_mutex);
        const long id = m_ended.front();
        m_ended.pop_front();
        return id;
    }

private:
    std::mutex m_mutex;
    std::deque<long> m_ended;
    Mardel::CSemaphore m_sem{0};
};

// Downloads per second; -1 when one failed.
double corvio_small_parallel(const std::string& url) {
    Owner* owner = new Owner;
    std::map<long, CHttpDownloader*> running;
    int started = 0, done = 0, failed = 0;
    auto start_one = [&] {
        CHttpDownloader* d = CHttpDownloader::Create(owner->GetID());
        if (!d || d->Init(url.c_str()) != 0) {
            ++failed;
            if (d)
                d->Close();
            return;
        }
        running[d->GetID()] = d;
        ++started;
    };
    const double t0 = now_s();
    while (started < kInFlight)
        start_one();
    while (done < kSmallCount && failed == 0) {
        const long id = owner->next_ended();
        CHttpDownloader* d = running[id];
        running.erase(id);
        if (!d->GetResult() || d->GetResult()->GetContentLength() != static_cast<int>(kSmall))
            ++failed;
        d->Close();
        ++done;
        if (started < kSmallCount)
            start_one();
    }
    const double took = now_s() - t0;
    for (auto& kv : running)
        kv.second->Close();
    owner->Close();  // its handle_close is the base one: the object stays
    return failed ? -1 : kSmallCount / took;
}

double corvio_small_serial(const std::string& url) {
    CHttpDownloaderBlock block;
    const double t0 = now_s();
    for (int i = 0; i < kSmallCount; ++i) {
        if (block.Download(url.c_str()) != 0 ||
            block.GetCurrentContentSize() != static_cast<int>(kSmall))
            return -1;
    }
    return kSmallCount / (now_s() - t0);
}

CURL* curl_small_handle(const std::string& url, std::string* body) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, curl_append);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    return easy;
}

double curl_small_serial(const std::string& url) {
    std::string body;
    CURL* easy = curl_small_handle(url, &body);
    const double t0 = now_s();
    bool ok = true;
    for (int i = 0; i < kSmallCount && ok; ++i) {
        body.clear();
        ok = curl_easy_perform(easy) == CURLE_OK && body.size() == kSmall;
    }
    const double took = now_s() - t0;
    curl_easy_cleanup(easy);
    return ok ? kSmallCount / took : -1;
}

double curl_small_multi(const std::string& url) {
    CURLM* multi = curl_multi_init();
    std::vector<std::string> bodies(kInFlight);
    std::vector<CURL*> handles;
    std::map<CURL*, int> slot;
    for (int i = 0; i < kInFlight; ++i) {
        CURL* easy = curl_small_handle(url, &bodies[static_cast<size_t>(i)]);
        handles.push_back(easy);
        slot[easy] = i;
    }
    const double t0 = now_s();
    int started = 0, done = 0;
    bool ok = true;
    for (CURL* easy : handles) {
        curl_multi_add_handle(multi, easy);
        ++started;
    }
    while (done < kSmallCount && ok) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
            if (m->msg != CURLMSG_DONE)
                continue;
            CURL* easy = m->easy_handle;
            const CURLcode rc = m->data.result;
            std::string& body = bodies[static_cast<size_t>(slot[easy])];
            ok = ok && rc == CURLE_OK && body.size() == kSmall;
            ++done;
            curl_multi_remove_handle(multi, easy);
            if (started < kSmallCount) {
                body.clear();
                curl_multi_add_handle(multi, easy);
                ++started;
            }
        }
        if (done < kSmallCount)
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    const double took = now_s() - t0;
    for (CURL* easy : handles) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    curl_multi_cleanup(multi);
    return ok ? kSmallCount / took : -1;
}

// ------------------------------------------------------------------ memory ---

long status_kib(const char* field) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(field);
    while (std::getline(f, line))
        if (line.compare(0, n, field) == 0)
            return std::atol(line.c_str() + n + 1);
    return -1;
}

bool reset_peak() {
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.close();
    return static_cast<bool>(f);
}

void memory(const std::string& url) {
    const long base = status_kib("VmRSS");
    if (!reset_peak()) {
        std::printf("peak memory: /proc/self/clear_refs not writable, skipped\n");
        return;
    }
    CHttpDownloaderBlock block;
    block.SetTimeout(30000000);
    if (block.Download(url.c_str()) != 0) {
        std::printf("peak memory: download failed\n");
        return;
    }
    const long after_download = status_kib("VmHWM");
    const char* body = block.GetResult()->GetContent();
    const long after_gather = status_kib("VmHWM");
    const double mib = kBig / 1048576.0;
    std::printf(
        "peak memory, one 100 MiB download over HTTP: +%.1f MiB (%.2f x body) until "
        "the end notice, +%.1f MiB (%.2f x body) with GetContent%s; target <= 2.2 x\n",
        (after_download - base) / 1024.0, (after_download - base) / 1024.0 / mib,
        (after_gather - base) / 1024.0, (after_gather - base) / 1024.0 / mib,
        body ? "" : " (failed)");
    // The curl side for comparison.
    block.Download("http://127.0.0.1:1/");  // releases the 100 MiB downloader
    const long base2 = status_kib("VmRSS");
    reset_peak();
    curl_big(url, false);
    const long curl_peak = status_kib("VmHWM");
    std::printf("peak memory, curl into a growing buffer: +%.1f MiB (%.2f x body)\n",
                (curl_peak - base2) / 1024.0, (curl_peak - base2) / 1024.0 / mib);
    // Streamed into a sink: constant, whatever the body size.
    const long base3 = status_kib("VmRSS");
    reset_peak();
    CountingSink sink;
    block.SetBodySink(&sink);
    const int streamed = block.Download(url.c_str());
    std::printf("peak memory, one 100 MiB download streamed into a sink: +%.1f MiB%s\n",
                (status_kib("VmHWM") - base3) / 1024.0, streamed == 0 ? "" : " (failed)");
}

void report(const char* what, const char* unit, double ours, double curl) {
    std::printf("%-44s corvio %9.1f %s   curl %9.1f %s   ratio %.2f\n", what, ours, unit, curl,
                unit, curl > 0 ? ours / curl : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    int big_runs = 5, small_runs = 3, only_case = -1;
    bool small_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            big_runs = small_runs = 1;
        else if (std::strcmp(argv[i], "--small") == 0)
            small_only = true;
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            small_runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--big-runs") == 0 && i + 1 < argc)
            big_runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--case") == 0 && i + 1 < argc)
            only_case = std::atoi(argv[++i]);
    }
    Mardel::setPrintLogLevel(2);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (!CertMaker::Shared().Ok()) {
        std::fprintf(stderr, "certificates: %s\n", CertMaker::Shared().Error().c_str());
        return 1;
    }
    Server plain(false, 8);
    Server tls(true, 2);
    const std::string http_big = "http://127.0.0.1:" + std::to_string(plain.Port()) + "/big";
    const std::string https_big = "https://127.0.0.1:" + std::to_string(tls.Port()) + "/big";
    const std::string http_small = "http://127.0.0.1:" + std::to_string(plain.Port()) + "/small";

    if (!small_only && only_case < 0)
        memory(http_big);

    const double mib = kBig / 1048576.0;
    static const char* const kBigNames[] = {
        "100 MiB over HTTP (median MiB/s)", "100 MiB over HTTPS (median MiB/s)",
        "100 MiB over HTTP, sink vs write callback", "100 MiB over HTTPS, sink vs write callback"};
    for (int t = 0; t < (small_only ? 0 : 4); ++t) {
        if (only_case >= 0 && t != only_case)
            continue;
        const bool use_tls = t & 1;
        const bool stream = t & 2;
        const std::string& url = use_tls ? https_big : http_big;
        std::vector<double> ours, theirs, pairs;
        int won = 0;
        for (int i = 0; i < big_runs; ++i) {
            double a, b;
            if (i % 2 == 0) {
                a = corvio_big(url, use_tls, stream);
                b = curl_big(url, stream);
            } else {
                b = curl_big(url, stream);
                a = corvio_big(url, use_tls, stream);
            }
            if (a <= 0 || b <= 0) {
                std::fprintf(stderr, "a 100 MiB download failed (corvio %.3f, curl %.3f)\n", a, b);
                return 1;
            }
            ours.push_back(mib / a);
            theirs.push_back(mib / b);
            pairs.push_back(b / a);
            won += a <= b;
        }
        report(kBigNames[t], "MiB/s", median(ours), median(theirs));
        std::printf("%-44s paired ratio %.2f, downloader faster in %d of %d pairs\n", "",
                    median(pairs), won, big_runs);
    }
    if (only_case >= 0) {
        std::fflush(stdout);
        std::_Exit(0);
    }

    std::vector<double> op, os, cm, cs;
    for (int i = 0; i < small_runs; ++i) {
        op.push_back(corvio_small_parallel(http_small));
        cm.push_back(curl_small_multi(http_small));
        os.push_back(corvio_small_serial(http_small));
        cs.push_back(curl_small_serial(http_small));
    }
    for (double v : {median(op), median(os), median(cm), median(cs)}) {
        if (v <= 0) {
            std::fprintf(stderr, "a small download failed\n");
            return 1;
        }
    }
    report("2,000 x 1 KiB, 50 in flight (downloads/s)", "/s", median(op), median(cm));
    report("2,000 x 1 KiB, one after another (downloads/s)", "/s", median(os), median(cs));
    const double best_ours = std::max(median(op), median(os));
    const double best_curl = std::max(median(cm), median(cs));
    report("2,000 x 1 KiB, faster mode of each", "/s", best_ours, best_curl);
    curl_global_cleanup();
    std::fflush(stdout);
    // The reactor's exit-time sweep is skipped: see the note in the report.
    std::_Exit(0);
}
