// One downloader with its owner (counting end notices) and a streaming sink.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "Sablon/NetHandler.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"

namespace dltest {

using corvio_test::LoopbackServer;
using corvio_test::Script;
using corvio_test::Step;
using Halvex::Corvio::CHttpDownloader;
using Halvex::Corvio::CHttpParser;

class Owner : public Halvex::Sablon::CNetHandler {
public:
    int handle_message(long from_id, unsigned int msg, long) override {
        if (msg == Halvex::Corvio::MSG_DOWNLOAD_END)
            ++(from_id == m_expected_from ? m_ends : m_foreign);
        return 0;
    }
    int handle_close(Halvex::Sablon::CNetHandler*) override { return m_closed = true, 0; }
    bool WaitEnds(int count, int timeout_ms = 5000) {
        return corvio_test::WaitUntil([&] { return m_ends >= count; }, timeout_ms);
    }
    int Ends(bool foreign = false) { return foreign ? m_foreign : m_ends; }
    void Shutdown() {
        Close();
        corvio_test::WaitUntil([&] { return m_closed.load(); }, 5000);
    }
    long m_expected_from = 0;

private:
    std::atomic<int> m_ends{0}, m_foreign{0};
    std::atomic<bool> m_closed{false};
};

// OpenSSL's exit clean-up registered before any loop thread (no false leaks).
inline const bool kOpenSslBeforeReactor = (corvio_test::CertMaker::Shared(), true);

inline void Settle(int ms = 60) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline std::string HostPort(const LoopbackServer& server) {
    const std::string host = server.Host();
    return (host == "::1" ? "[::1]" : host) + ":" + std::to_string(server.Port());
}

inline LoopbackServer::Options ServerOptions(bool tls, bool repeat_last = false) {
    LoopbackServer::Options opts;
    opts.tls = tls;
    opts.repeat_last = repeat_last;
    opts.io_timeout_ms = 3000;
    opts.linger_ms = 500;
    opts.cert_file = corvio_test::CertMaker::Shared().server_ip_san.cert;
    opts.key_file = corvio_test::CertMaker::Shared().server_ip_san.key;
    return opts;
}

// Keeps kKeep bytes, counts all, checks the pattern; refuses past `stop_after`.
struct Sink : Halvex::Corvio::IHttpBodySink {
    static constexpr size_t kKeep = 1 << 20;
    int OnHeader(const CHttpParser& answer) override {
        ++headers;
        status = answer.GetStatusCode();
        return 0;
    }
    int OnBody(const char* data, int len) override {
        EXPECT_EQ(headers, 1 + ends) << "OnBody before OnHeader";
        if (stop_after >= 0 && static_cast<long long>(count) + len > stop_after)
            return -1;
        pattern = pattern && LoopbackServer::CheckPattern(data, static_cast<size_t>(len), count);
        body.append(data, std::min(static_cast<size_t>(len), kKeep - std::min(kKeep, body.size())));
        count += static_cast<unsigned long long>(len);
        return 0;
    }
    void OnEnd(bool whole) override {
        ++ends;
        complete = whole;
    }
    long long stop_after = -1;
    int headers = 0, status = -1, ends = 0;
    bool complete = false, pattern = true;
    unsigned long long count = 0;
    std::string body;
};

class Session {
public:
    explicit Session(bool stream = false)
        : owner(new Owner()), dl(CHttpDownloader::Create(owner->GetID())) {
        owner->m_expected_from = dl->GetID();
        if (stream)
            EXPECT_EQ(dl->SetBodySink(&sink), 0);
    }
    ~Session() {
        dl->Close();
        Settle(20);
        owner->Shutdown();
        delete owner;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int Start(const LoopbackServer& server, const std::string& path, bool tls) {
        const std::string url = "http://" + HostPort(server) + path;
        return tls ? dl->InitUseSsl(url.c_str(), "") : dl->Init(url.c_str());
    }
    std::string Body() {
        CHttpParser* p = dl->GetResult();
        return p && p->GetContent() ? std::string(p->GetContent(), p->GetContentLength()) : "";
    }

    Owner* owner;
    CHttpDownloader* dl;
    Sink sink;
};

}  // namespace dltest
