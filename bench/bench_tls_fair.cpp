// Fairness of the reactor over TLS, against nginx on loopback (started by
// this program with a generated configuration; scripts/bootstrap installs it):
//  1. N concurrent downloads of a 1 KiB file (N = 48 and 500), HTTPS and
//     HTTP, alone and while K = 4 downloads wait on peers that accept the TCP
//     connection and never answer the TLS hand-shake. Target: beside them,
//     the time until all N have ended is within 10 % (or 100 ms, whichever
//     is larger) of the time alone.
//  2. Hand-shakes per second: downloads of the 1 KiB file, each on a new
//     HTTPS connection (full hand-shake, no session resumption), 48 in
//     flight, this library against curl's multi interface on the same server
//     in the same run. Target: ratio >= 1.0.
//  3. One 100 MiB HTTPS download (a firehose) and 48 small HTTPS downloads on
//     the same loops: the small ones end within 100 ms of their time alone.
//     The firehose comes from a second nginx. For reference the same beside a
//     firehose that curl reads on a thread of its own, off the reactor: what
//     the two shared CPU cores cost.
// Rounds alternate the compared cases; medians are printed.
// Options: --rounds R (default 5), --silent-ms T (time-out of the downloads
// on silent peers, default 8000; as their hand-shake limit it must outlast
// one round), --nginx PATH (default /usr/sbin/nginx).
#include <curl/curl.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "Sablon/NetHandler.h"
#include "support/CertMaker.h"
#include "support/TcpListener.h"

extern char** environ;

using namespace Halvex;
using Corvio::CHttpDownloader;
using corvio_test::CertMaker;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSilent = 4;
constexpr int kSmall = 1024;
constexpr size_t kFirehose = 100u << 20;
constexpr int kHandshakes = 1000;
constexpr int kInFlight = 48;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// ------------------------------------------------------------------ nginx ---

struct Nginx {
    pid_t pid = 0;
    unsigned short http = 0, https = 0;

    bool Start(const std::string& binary, const std::string& name) {
        const CertMaker& certs = CertMaker::Shared();
        const std::string dir = certs.Dir() + "/" + name;
        if (std::system(("mkdir -p '" + dir + "/www'").c_str()) != 0)
            return false;
        if (certs.WriteFile(name + "/www/small.bin", std::string(kSmall, 's')).empty())
            return false;
        FILE* big = std::fopen((dir + "/www/big.bin").c_str(), "wb");
        std::vector<char> block(1 << 20, 'b');
        for (size_t i = 0; big && i < kFirehose / block.size(); ++i)
            std::fwrite(block.data(), 1, block.size(), big);
        if (!big || std::fclose(big) != 0)
            return false;
        http = corvio_test::TcpListener::ClosedPort(4);
        https = corvio_test::TcpListener::ClosedPort(4);
        const std::string conf =
            "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir +
            "/nginx.pid;\nerror_log " + dir + "/error.log;\nevents { worker_connections 8192; }\n" +
            "http {\n  access_log off;\n  client_body_temp_path " + dir + "/body;\n" +
            "  proxy_temp_path " + dir + "/proxy;\n  fastcgi_temp_path " + dir + "/fcgi;\n" +
            "  uwsgi_temp_path " + dir + "/uwsgi;\n  scgi_temp_path " + dir + "/scgi;\n" +
            "  keepalive_timeout 0;\n  server {\n    listen 127.0.0.1:" + std::to_string(http) +
            " backlog=4096;\n    listen 127.0.0.1:" + std::to_string(https) +
            " ssl backlog=4096;\n    ssl_certificate " + certs.server_ip_san.cert +
            ";\n    ssl_certificate_key " + certs.server_ip_san.key + ";\n    root " + dir +
            "/www;\n  }\n}\n";
        const std::string conf_path = certs.WriteFile(name + "/nginx.conf", conf);
        const std::string err_log = dir + "/error.log";
        const std::string prefix = dir + "/";
        const char* argv[] = {binary.c_str(), "-e", err_log.c_str(),   "-p",
                              prefix.c_str(), "-c", conf_path.c_str(), nullptr};
        if (conf_path.empty() || posix_spawn(&pid, binary.c_str(), nullptr, nullptr,
                                             const_cast<char**>(argv), environ) != 0) {
            pid = 0;
            return false;
        }
        return corvio_test::WaitUntil(
            [&] {
                const int fd = corvio_test::TcpConnect(4, https);
                if (fd >= 0)
                    close(fd);
                return fd >= 0;
            },
            5000);
    }
    ~Nginx() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    std::string Url(bool tls, const char* path) const {
        return "http://127.0.0.1:" + std::to_string(tls ? https : http) + path;
    }
};

// -------------------------------------------------------------- downloads ---

// Owner of many downloaders: the ids of ended downloads, in order.
class Owner : public Sablon::CNetHandler {
public:
    int handle_message(long from_id, unsigned int msg, long) override {
        if (msg == Corvio::MSG_DOWNLOAD_END) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended.push_back(from_id);
            m_cond.notify_all();
        }
        return 0;
    }
    // The next ended id, or 0 after 60 s.
    long Next() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cond.wait_for(lock, std::chrono::seconds(60), [&] { return !m_ended.empty(); }))
            return 0;
        const long id = m_ended.front();
        m_ended.pop_front();
        return id;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<long> m_ended;
};

Owner* g_owner = nullptr;
Corvio::CHttpsOption* g_trust = nullptr;

CHttpDownloader* start(const std::string& url, bool tls, unsigned long long timeout_us) {
    CHttpDownloader* d = CHttpDownloader::Create(g_owner->GetID());
    if (d == nullptr)
        return nullptr;
    d->SetTimeout(timeout_us);
    if (tls)
        d->SetHttpsOption(g_trust);
    if ((tls ? d->InitUseSsl(url.c_str(), "") : d->Init(url.c_str())) != 0) {
        d->Close();
        return nullptr;
    }
    return d;
}

bool small_ok(CHttpDownloader* d) {
    Corvio::CHttpParser* p = d->GetResult();
    if (p != nullptr && p->GetStatusCode() == 200 && p->GetContentLength() == kSmall)
        return true;
    std::fprintf(stderr, "download failed: reason %d, status %d, %d bytes\n",
                 static_cast<int>(d->GetErrorReason()), p ? p->GetStatusCode() : -1,
                 p ? p->GetContentLength() : -1);
    return false;
}

// Seconds until all of `n` downloads started at once have ended; -1 when one
// failed. The owner must have no other download running.
double batch(const std::string& url, bool tls, int n) {
    std::map<long, CHttpDownloader*> running;
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        CHttpDownloader* d = start(url, tls, 30000000);
        if (d == nullptr)
            return -1;
        running[d->GetID()] = d;
    }
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        const long id = g_owner->Next();
        auto it = running.find(id);
        if (it == running.end()) {
            ok = false;
            break;
        }
        ok = ok && small_ok(it->second);
        it->second->Close();
        running.erase(it);
    }
    const double took = since(t0);
    for (auto& kv : running)
        kv.second->Close();
    return ok ? took : -1;
}

// Downloads per second with kInFlight running until kHandshakes have ended.
double corvio_rate(const std::string& url) {
    std::map<long, CHttpDownloader*> running;
    int started = 0, done = 0;
    bool ok = true;
    const auto t0 = Clock::now();
    for (; started < kInFlight; ++started) {
        CHttpDownloader* d = start(url, true, 30000000);
        if (d == nullptr)
            return -1;
        running[d->GetID()] = d;
    }
    while (done < kHandshakes && ok) {
        auto it = running.find(g_owner->Next());
        if (it == running.end())
            break;
        ok = small_ok(it->second);
        it->second->Close();
        running.erase(it);
        ++done;
        if (started < kHandshakes) {
            CHttpDownloader* d = start(url, true, 30000000);
            ok = ok && d != nullptr;
            if (d != nullptr)
                running[d->GetID()] = d;
            ++started;
        }
    }
    const double took = since(t0);
    for (auto& kv : running)
        kv.second->Close();
    return ok && done == kHandshakes ? kHandshakes / took : -1;
}

size_t count_body(char*, size_t size, size_t n, void* user) {
    *static_cast<size_t*>(user) += size * n;
    return size * n;
}

int curl_progress(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
    static_cast<std::atomic<size_t>*>(user)->store(static_cast<size_t>(now));
    return 0;
}

// The same with curl's multi interface: fresh connection, no session cache.
double curl_rate(const std::string& url) {
    CURLM* multi = curl_multi_init();
    std::vector<size_t> got(kInFlight, 0);
    std::map<CURL*, size_t> slot;
    int started = 0, done = 0;
    bool ok = true;
    for (int i = 0; i < kInFlight; ++i) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, ("https" + url.substr(4)).c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, count_body);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &got[static_cast<size_t>(i)]);
        curl_easy_setopt(easy, CURLOPT_CAINFO, CertMaker::Shared().ca.cert.c_str());
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        slot[easy] = static_cast<size_t>(i);
        curl_multi_add_handle(multi, easy);
        ++started;
    }
    const auto t0 = Clock::now();
    // Each finished transfer is checked and its handle started again on a
    // new connection until kHandshakes have finished.
    auto finish = [&](CURLMsg* m) {
        size_t& body = got[slot[m->easy_handle]];
        ok = ok && m->data.result == CURLE_OK && body == static_cast<size_t>(kSmall);
        ++done;
        CURL* easy = m->easy_handle;
        curl_multi_remove_handle(multi, easy);
        if (started >= kHandshakes)
            return;
        body = 0;
        curl_multi_add_handle(multi, easy);
        ++started;
    };
    for (int running = 0, queued = 0; done < kHandshakes && ok;) {
        curl_multi_perform(multi, &running);
        for (CURLMsg* m; (m = curl_multi_info_read(multi, &queued)) != nullptr;)
            if (m->msg == CURLMSG_DONE)
                finish(m);
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    const double took = since(t0);
    for (auto& kv : slot) {
        curl_multi_remove_handle(multi, kv.first);
        curl_easy_cleanup(kv.first);
    }
    curl_multi_cleanup(multi);
    return ok ? kHandshakes / took : -1;
}

// K downloads waiting on a listener that never accepts: the kernel completes
// their TCP connects, and their hand-shakes are never answered.
// Their end notices go to an owner of their own.
struct SilentPeers {
    corvio_test::TcpListener listener;
    Owner* owner = new Owner;
    std::vector<CHttpDownloader*> waiting;
    explicit SilentPeers(unsigned long long timeout_us) {
        const std::string url = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/";
        for (int i = 0; i < kSilent; ++i) {
            CHttpDownloader* d = CHttpDownloader::Create(owner->GetID());
            d->SetTimeout(timeout_us);
            if (d->InitUseSsl(url.c_str(), "") == 0)
                waiting.push_back(d);
            else
                d->Close();
        }
        // Until their hand-shakes have started.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~SilentPeers() {
        for (CHttpDownloader* d : waiting)
            d->Close();
        owner->Close();
    }
};

bool within(double beside, double alone) {
    return beside >= 0 && alone >= 0 && beside <= alone + std::max(0.1 * alone, 0.1);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    unsigned long long silent_ms = 8000;
    std::string nginx_path = "/usr/sbin/nginx";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--silent-ms") == 0)
            silent_ms = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--nginx") == 0)
            nginx_path = argv[i + 1];
    }
    const CertMaker& certs = CertMaker::Shared();
    if (!certs.Ok()) {
        std::fprintf(stderr, "certificates: %s\n", certs.Error().c_str());
        return 1;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    // The firehose comes from a server of its own, so that the small
    // downloads' server is not busy with it.
    Nginx nginx, hose_server;
    if (!nginx.Start(nginx_path, "bench-nginx") || !hose_server.Start(nginx_path, "bench-hose")) {
        std::fprintf(stderr, "cannot start %s\n", nginx_path.c_str());
        return 1;
    }
    g_owner = new Owner;
    Corvio::CHttpsOption trust;
    trust.AddTrustCA(certs.ca.cert.c_str());
    g_trust = &trust;
    bool all_met = true;

    std::printf(
        "1. N concurrent 1 KiB downloads, alone and beside %d silent TLS peers "
        "(seconds until all ended, median of %d)\n",
        kSilent, rounds);
    for (int n : {48, 500}) {
        for (bool tls : {true, false}) {
            const std::string url = nginx.Url(tls, "/small.bin");
            std::vector<double> alone, beside;
            for (int r = 0; r < rounds; ++r) {
                alone.push_back(batch(url, tls, n));
                SilentPeers silent(silent_ms * 1000ULL);
                beside.push_back(batch(url, tls, n));
            }
            const double a = median(alone), b = median(beside);
            const bool met = within(b, a);
            all_met = all_met && met;
            std::printf("   %-5s N=%-3d alone %.3f s  beside %.3f s  (%+.0f ms)  %s\n",
                        tls ? "HTTPS" : "HTTP", n, a, b, (b - a) * 1000, met ? "met" : "NOT MET");
        }
    }

    std::printf("2. new HTTPS connections per second (%d in flight, %d each, median of %d)\n",
                kInFlight, kHandshakes, rounds);
    {
        const std::string url = nginx.Url(true, "/small.bin");
        std::vector<double> ours, theirs;
        for (int r = 0; r < rounds; ++r) {
            ours.push_back(corvio_rate(url));
            theirs.push_back(curl_rate(url));
        }
        const double o = median(ours), t = median(theirs);
        const bool met = o > 0 && t > 0 && o / t >= 1.0;
        all_met = all_met && met;
        std::printf("   corviomd %.0f/s  curl multi %.0f/s  ratio %.2f  %s\n", o, t,
                    t > 0 ? o / t : 0.0, met ? "met" : "NOT MET");
    }

    std::printf(
        "3. %d small HTTPS downloads alone and beside a 100 MiB HTTPS firehose "
        "(median of %d)\n",
        kInFlight, rounds);
    {
        const std::string small = nginx.Url(true, "/small.bin");
        const std::string big = hose_server.Url(true, "/big.bin");
        std::vector<double> alone, beside, beside_curl;
        int overlapped = 0;
        for (int r = 0; r < rounds; ++r) {
            alone.push_back(batch(small, true, kInFlight));
            Owner* hose_owner = new Owner;
            CHttpDownloader* hose = CHttpDownloader::Create(hose_owner->GetID());
            hose->SetTimeout(30000000);
            hose->SetHttpsOption(&trust);
            hose->InitUseSsl(big.c_str(), "");
            // Until the body is flowing.
            for (int w = 0; w < 2000 && hose->GetCurrentContentSize() < (8 << 20); ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            beside.push_back(batch(small, true, kInFlight));
            overlapped += hose->GetCurrentContentSize() < static_cast<int>(kFirehose) ? 1 : 0;
            hose_owner->Next();
            if (hose->GetCurrentContentSize() != static_cast<int>(kFirehose))
                std::printf("   firehose incomplete: %d bytes\n", hose->GetCurrentContentSize());
            hose->Close();
            hose_owner->Close();

            std::atomic<size_t> curl_got{0};
            std::thread curl_hose([&] {
                size_t got = 0;
                CURL* easy = curl_easy_init();
                curl_easy_setopt(easy, CURLOPT_URL, ("https" + big.substr(4)).c_str());
                curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, count_body);
                curl_easy_setopt(easy, CURLOPT_WRITEDATA, &got);
                curl_easy_setopt(easy, CURLOPT_CAINFO, certs.ca.cert.c_str());
                curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
                curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, curl_progress);
                curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &curl_got);
                curl_easy_perform(easy);
                curl_easy_cleanup(easy);
            });
            for (int w = 0; w < 2000 && curl_got.load() < (8u << 20); ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            beside_curl.push_back(batch(small, true, kInFlight));
            curl_hose.join();
        }
        const double a = median(alone), b = median(beside), c = median(beside_curl);
        const bool met = b >= 0 && a >= 0 && b <= a + 0.1;
        all_met = all_met && met;
        std::printf(
            "   alone %.3f s  beside the firehose %.3f s  (%+.0f ms; firehose still "
            "running at the end in %d of %d rounds)  %s\n",
            a, b, (b - a) * 1000, overlapped, rounds, met ? "met" : "NOT MET");
        std::printf(
            "   reference: beside a firehose read by curl off the reactor %.3f s "
            "(%+.0f ms)\n",
            c, (c - a) * 1000);
    }
    std::printf("%s\n", all_met ? "all targets met" : "some targets NOT MET");
    curl_global_cleanup();
    return 0;
}
