// Shared pieces of the downloader's integration tests: an owner handler that
// records end notices, a scope that runs one downloader against a scripted
// loopback server (plain or TLS), and a checker for Digest answers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "Mardel/Md5.h"
#include "Sablon/NetHandler.h"
#include "Sablon/SockAddr.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"

namespace dltest {

using corvio_test::LoopbackServer;
using corvio_test::Script;
using corvio_test::Step;
using Halvex::Corvio::CHttpDownloader;
using Halvex::Corvio::CHttpParser;
using Halvex::Corvio::CHttpsOption;
using Halvex::Corvio::MSG_DOWNLOAD_END;

// The downloader's owner: counts MSG_DOWNLOAD_END arrivals.
class Owner : public Halvex::Sablon::CNetHandler {
public:
    int handle_message(long from_id, unsigned int msg, long /*param*/) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (msg == MSG_DOWNLOAD_END) {
            ++m_ends;
            m_from.push_back(from_id);
        } else {
            ++m_others;
        }
        m_cond.notify_all();
        return 0;
    }
    int handle_close(Halvex::Sablon::CNetHandler* /*handler*/) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_cond.notify_all();
        return 0;
    }
    // Waits (bounded) until `count` end notices have arrived.
    bool WaitEnds(int count, int timeout_ms = 5000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return m_ends >= count; });
    }
    int Ends() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ends;
    }
    std::vector<long> From() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_from;
    }
    // Closes and waits for handle_close, after which deleting is safe.
    void Shutdown() {
        Close();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait_for(lock, std::chrono::seconds(5), [&] { return m_closed; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_ends = 0;
    int m_others = 0;
    bool m_closed = false;
    std::vector<long> m_from;
};

// OpenSSL registers its exit clean-up when it is first used. When that
// happens after the reactor's loops started, the clean-up runs before the
// loops stop, and the per-thread state of the loop threads is reported as
// leaked. Using it once before any handler exists keeps the order.
inline const bool kOpenSslBeforeReactor = (corvio_test::CertMaker::Shared(), true);

inline void Settle(int ms = 60) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// TLS server options with the shared test certificates.
inline LoopbackServer::Options ServerOptions(bool tls, int family = 4,
                                             const corvio_test::CertMaker::Identity* id = nullptr) {
    LoopbackServer::Options opts;
    opts.family = family;
    opts.tls = tls;
    opts.io_timeout_ms = 3000;
    opts.linger_ms = 500;
    if (tls) {
        const auto& certs = corvio_test::CertMaker::Shared();
        if (id == nullptr)
            id = &certs.server_ip_san;
        opts.cert_file = id->cert;
        opts.key_file = id->key;
    }
    return opts;
}

// A body sink that records what it is handed; it refuses the body piece
// that would take it past `stop_after` bytes (-1: never).
class RecordingSink : public Halvex::Corvio::IHttpBodySink {
public:
    int OnHeader(const CHttpParser& answer) override {
        ++headers;
        status = answer.GetStatusCode();
        return 0;
    }
    int OnBody(const char* data, int len) override {
        EXPECT_EQ(headers, 1 + ends) << "OnBody before OnHeader";
        if (stop_after >= 0 && static_cast<long long>(body.size()) + len > stop_after)
            return -1;
        body.append(data, static_cast<size_t>(len));
        return 0;
    }
    void OnEnd(bool whole) override {
        ++ends;
        complete = whole;
    }
    long long stop_after = -1;
    int headers = 0;
    int status = -1;
    std::string body;
    int ends = 0;
    bool complete = false;
};

// One downloader with its owner. The destructor closes both. A streaming
// session hands the body to `sink`; its checks then run at each end notice.
class Session {
public:
    explicit Session(bool streaming = false)
        : owner(new Owner()), dl(CHttpDownloader::Create(owner->GetID())), stream(streaming) {
        if (stream)
            EXPECT_EQ(dl->SetBodySink(&sink), 0);
    }
    ~Session() {
        if (dl != nullptr)
            dl->Close();
        Settle(20);
        owner->Shutdown();
        delete owner;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string Url(const LoopbackServer& server, const std::string& path) const {
        const std::string host = server.Host();
        const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        return "http://" + h + ":" + std::to_string(server.Port()) + path;
    }
    int Start(const LoopbackServer& server, const std::string& path, bool tls,
              const char* pem = "") {
        const std::string url = Url(server, path);
        return tls ? dl->InitUseSsl(url.c_str(), pem) : dl->Init(url.c_str());
    }
    int StartRequest(const LoopbackServer& server, const std::string& request, bool tls,
                     const char* pem = "") {
        Halvex::Sablon::CSockAddrStorage addr;
        addr.SetPort(server.Port());
        addr.SetIp(server.Host());
        return tls ? dl->InitUseSsl(addr, request.data(), static_cast<int>(request.size()), pem)
                   : dl->Init(addr, request.data(), static_cast<int>(request.size()));
    }
    // Waits for `count` end notices, then a little longer so that a surplus
    // notice would show.
    // In streaming mode: one OnEnd per end notice, complete exactly when the
    // exchange succeeded; the parser keeps no body.
    bool WaitEnds(int count, int timeout_ms = 5000) {
        const bool ok = owner->WaitEnds(count, timeout_ms);
        Settle();
        if (stream) {
            EXPECT_EQ(sink.ends, owner->Ends());
            EXPECT_EQ(sink.complete, dl->GetErrorReason() == CHttpDownloader::ERROR_NONE);
            CHttpParser* p = dl->GetResult();
            EXPECT_TRUE(p == nullptr || (p->GetContent() == nullptr && p->GetContentLength() == 0));
        }
        return ok;
    }
    // The body of the last exchange (streamed: what the sink received since
    // the previous end).
    std::string Body() {
        if (stream)
            return sink.body.substr(body_mark);
        CHttpParser* p = dl->GetResult();
        if (p == nullptr || p->GetContent() == nullptr)
            return std::string();
        return std::string(p->GetContent(), static_cast<size_t>(p->GetContentLength()));
    }
    // Streaming: later Body() calls show only what arrives from now on.
    void NextBody() { body_mark = sink.body.size(); }
    int Status() {
        CHttpParser* p = dl->GetResult();
        return p == nullptr ? -1 : p->GetStatusCode();
    }

    Owner* owner;
    CHttpDownloader* dl;
    bool stream;
    RecordingSink sink;
    size_t body_mark = 0;
};

inline std::string HostLine(const LoopbackServer& server) {
    const std::string host = server.Host();
    const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "Host: " + h + ":" + std::to_string(server.Port()) + "\r\n";
}

inline std::string GetRequest(const LoopbackServer& server, const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nAccept: */*\r\n" + HostLine(server) +
           "Connection: close\r\n\r\n";
}

inline std::string Md5Hex(const std::string& text) {
    Halvex::Utils::CMd5 md5;
    md5.init();
    md5.update(text.data(), text.size());
    char out[33] = {};
    md5.hex(out);
    return out;
}

inline std::string Unquote(const std::string& v) {
    return v.size() >= 2 && v.front() == '"' && v.back() == '"' ? v.substr(1, v.size() - 2) : v;
}

// The value of the Authorization line in the header block of `request`.
inline std::string AuthorizationOf(const std::string& request) {
    int offset = 0;
    int len = 0;
    if (!Halvex::Corvio::detail::FindAuthorizationLine(
            request.data(), static_cast<int>(request.size()), offset, len)) {
        return std::string();
    }
    const std::string line = request.substr(static_cast<size_t>(offset), static_cast<size_t>(len));
    const size_t colon = line.find(':');
    std::string value = line.substr(colon + 1);
    Halvex::Corvio::detail::trim_space(value);
    return value;
}

// Checks a Digest Authorization value against RFC 2617 section 3.2.2 for the
// given credentials, challenge values, method, target and body. Empty when
// it holds, otherwise what is wrong.
inline std::string CheckDigest(const std::string& value, const std::string& user,
                               const std::string& password, const std::string& realm,
                               const std::string& nonce, const std::string& qop,
                               const std::string& algorithm, const std::string& method,
                               const std::string& uri, const std::string& body) {
    if (value.compare(0, 7, "Digest ") != 0)
        return "not Digest: " + value;
    std::map<std::string, std::string> p;
    Halvex::Corvio::detail::parse_auth_params(value.substr(7), p);
    if (Unquote(p["username"]) != user)
        return "username: " + p["username"];
    if (Unquote(p["realm"]) != realm)
        return "realm: " + p["realm"];
    if (Unquote(p["nonce"]) != nonce)
        return "nonce: " + p["nonce"];
    if (Unquote(p["uri"]) != uri)
        return "uri: " + p["uri"];
    if (Unquote(p["qop"]) != qop)
        return "qop: " + p["qop"];
    const std::string cnonce = Unquote(p["cnonce"]);
    const std::string nc = Unquote(p["nc"]);
    std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
    if (algorithm == "MD5-sess")
        ha1 = Md5Hex(ha1 + ":" + nonce + ":" + cnonce);
    std::string a2 = method + ":" + uri;
    if (qop == "auth-int")
        a2 += ":" + Md5Hex(body);
    const std::string ha2 = Md5Hex(a2);
    const std::string expected =
        qop.empty() ? Md5Hex(ha1 + ":" + nonce + ":" + ha2)
                    : Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);
    if (Unquote(p["response"]) != expected)
        return "response mismatch in " + value;
    return std::string();
}

}  // namespace dltest
