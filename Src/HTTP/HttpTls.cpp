// TLS for the downloader: the caller's options, the hand-shake over the
// connected TCP stream (in steps, driven by the downloader's socket events,
// so that a slow or silent peer never holds its reactor loop) and the checks
// of the server certificate.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "Corvio/CHttpDownloader.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "Sablon/SslStream.h"
#include "Sablon/SslX509.h"

namespace Halvex {
namespace Corvio {

CHttpsOption::CHttpsOption() : m_data(new (std::nothrow) https_option_data()) {}

CHttpsOption::~CHttpsOption() {
    delete m_data;
    m_data = nullptr;
}

void CHttpsOption::SetVerifyCN(bool on) {
    if (m_data != nullptr)
        m_data->verify_cn = on;
}

// Out of memory leaves the record as it was, with a level 2 line.
void CHttpsOption::AddTrustCA(const char* path) try {
    if (m_data != nullptr && path != nullptr)
        m_data->trust_ca_files.insert(path);
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
}

void CHttpsOption::AddCRL(const char* path) try {
    if (m_data != nullptr && path != nullptr)
        m_data->crl_files.insert(path);
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
}

void CHttpsOption::SetSslOption6Text(const char* text) try {
    if (m_data != nullptr && text != nullptr)
        m_data->ssl_option6_text = text;
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
}

https_option_data* CHttpsOption::GetData() const {
    return m_data;
}

void CHttpDownloader::SetHttpsOption(const CHttpsOption* option) {
    if (option == nullptr || option->GetData() == nullptr)
        return;
    // Copied first: out of memory keeps the previous options.
    https_option_data copy;
    try {
        copy = *option->GetData();
    } catch (...) {
        MARDEL_LOG(2, "out of memory\n");
        return;
    }
    Mardel::CGuard<Mardel::CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_https_option = std::move(copy);
}

namespace {

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool HostMatchesCN(std::string host, std::string pattern) {
    host = text::to_lower(std::move(host));
    pattern = text::to_lower(std::move(pattern));
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    if (!pattern.empty() && pattern.back() == '.')
        pattern.pop_back();

    const size_t star = pattern.find('*');
    if (star == std::string::npos)
        return pattern == host;
    const size_t dot = pattern.find('.');
    if (dot == std::string::npos || pattern.find('.', dot + 1) == std::string::npos || star > dot ||
        StartsWith(pattern, "xn--")) {
        return pattern == host;
    }
    const size_t host_dot = host.find('.');
    if (host_dot == std::string::npos)
        return false;
    if (pattern.compare(dot, std::string::npos, host, host_dot, std::string::npos) != 0) {
        return false;
    }
    // The "*" stands for at least one character.
    if (host_dot < dot)
        return false;
    const std::string label = host.substr(0, host_dot);
    const std::string prefix = pattern.substr(0, star);
    const std::string suffix = pattern.substr(star + 1, dot - star - 1);
    return StartsWith(label, prefix) && EndsWith(label, suffix);
}

// Makes the TLS stream with the caller's options and starts its hand-shake
// over the connected TCP stream; the hand-shake itself advances in ssl_step.
// m_mutex held. False (the cause logged) when the download must end.
bool CHttpDownloader::SSLConnect() {
    CHttpDownloaderImpl* d = m_impl;
    Sablon::CSslStream* ssl = new (std::nothrow) Sablon::CSslStream();
    if (ssl == nullptr) {
        MARDEL_LOG(6, "new CSslStream error!\n");
        return false;
    }
    // A client certificate that was asked for and cannot be loaded stops the
    // hand-shake: going on without it would present another identity.
    if (d->m_pem_path[0] != '\0' && ssl->SetPemPath(d->m_pem_path) < 0) {
        MARDEL_LOG(2, "SetPemPath failed, path: %s\n", d->m_pem_path);
        MARDEL_LOG(3, "TLS: %s\n", ssl->GetFailureText());
        delete ssl;
        return false;
    }
    const https_option_data& opt = d->m_https_option;
    if (!opt.ssl_option6_text.empty()) {
        ssl->SetOption(Sablon::CSslStream::OPT_SERVER_NAME, 0,
                       const_cast<char*>(opt.ssl_option6_text.c_str()));
    }
    if (!opt.trust_ca_files.empty()) {
        if (d->m_trust_ca == nullptr)
            d->m_trust_ca = new (std::nothrow) Sablon::CSslX509();
        const char* refused = nullptr;
        for (auto it = opt.trust_ca_files.begin();
             d->m_trust_ca != nullptr && refused == nullptr && it != opt.trust_ca_files.end();
             ++it) {
            if (d->m_trust_ca->SetTrustCA(it->c_str()) != 0)
                refused = it->c_str();
        }
        if (d->m_trust_ca == nullptr || refused != nullptr) {
            MARDEL_LOG(2, "SetTrustCA failed!\n");
            if (refused != nullptr)
                MARDEL_LOG(3, "TLS: CA file not accepted: %s\n", refused);
            delete d->m_trust_ca;
            d->m_trust_ca = nullptr;
            delete ssl;
            return false;
        }
        ssl->SetOption(Sablon::CSslStream::OPT_TRUST_CA, 1, d->m_trust_ca);
    }
    uint32_t timeout_ms = detail::HandshakeTimeoutMs(d->m_timeout);
    ssl->SetOption(Sablon::CSslStream::OPT_TIMEOUT, 0, &timeout_ms);

    // The time limit counts from here, for the whole hand-shake.
    if (ssl->StartHandshake(d->m_stream) < 0) {
        MARDEL_LOG(3, "TLS: %s\n", ssl->GetFailureText());
        delete ssl;
        return false;
    }
    d->m_tls = ssl;
    return true;
}

// One step of the running hand-shake (an event or a time-out of its
// socket). 1: it waits for the direction now registered, with the time left
// as the time-out; 0: done and every check passed, the TLS stream in
// m_stream and m_sock; -1: failed (the cause logged). m_mutex held.
int CHttpDownloader::ssl_step() {
    CHttpDownloaderImpl* d = m_impl;
    Sablon::CSslStream* ssl = d->m_tls;
    const int state = ssl->HandshakeStep();
    if (state == Sablon::CSslStream::HANDSHAKE_WANT_INPUT ||
        state == Sablon::CSslStream::HANDSHAKE_WANT_OUTPUT) {
        const bool input = state == Sablon::CSslStream::HANDSHAKE_WANT_INPUT;
        // Each registration restarts the reactor's time-out: it is given the
        // time left, never the whole limit. A time-out before the deadline
        // (the reactor's limit is shorter) only leads to another step.
        const unsigned long long left_us = ssl->HandshakeMsLeft() * 1000ULL;
        const uint32_t timeout_us = left_us == 0           ? 1
                                    : left_us > UINT32_MAX ? UINT32_MAX
                                                           : static_cast<uint32_t>(left_us);
        if (RegisterSock(*d->m_stream, input ? MASK_INPUT : MASK_OUTPUT, timeout_us) != 0) {
            MARDEL_LOG(2, "RegisterSock failed!\n");
            return -1;
        }
        UnregisterSock(*d->m_stream, input ? MASK_OUTPUT : MASK_INPUT);
        return 1;
    }
    if (state != Sablon::CSslStream::HANDSHAKE_DONE) {
        MARDEL_LOG(3, "TLS: %s\n", ssl->GetFailureText());
        d->m_tls = nullptr;
        delete ssl;
        return -1;
    }
    // The TLS stream has taken over (and deleted) the TCP stream; the
    // descriptor and with it the reactor's registration stay the same.
    d->m_tls = nullptr;
    d->m_stream = ssl;
    d->m_sock = ssl;
    return ssl_check_peer() ? 0 : -1;
}

// The checks of the server certificate after the hand-shake: common name,
// then revocation lists. m_mutex held.
bool CHttpDownloader::ssl_check_peer() {
    CHttpDownloaderImpl* d = m_impl;
    Sablon::CSslStream* ssl = static_cast<Sablon::CSslStream*>(d->m_stream);
    const https_option_data& opt = d->m_https_option;
    if (opt.verify_cn) {
        Sablon::CSslX509 cert;
        if (ssl->GetPeerCert(cert) < 0) {
            MARDEL_LOG(2, "GetPeerCert failed!\n");
            return false;
        }
        Sablon::CertSubjectMsg subject;
        std::memset(&subject, 0, sizeof(subject));
        if (cert.GetCertSubjectMsg(subject) < 0) {
            MARDEL_LOG(2, "GetCertSubjectMsg failed!\n");
            return false;
        }
        subject.common_name[sizeof(subject.common_name) - 1] = '\0';
        if (!HostMatchesCN(d->m_server_ip, subject.common_name)) {
            MARDEL_LOG(3, "cert's CN verify failed!\n");
            MARDEL_LOG(3,
                       "TLS: certificate common name '%s' does not match the server address %s\n",
                       subject.common_name, d->m_server_ip.c_str());
            return false;
        }
    }
    if (opt.crl_files.empty())
        return true;
    Sablon::CSslX509 cert;
    if (ssl->GetPeerCert(cert) < 0) {
        MARDEL_LOG(2, "GetPeerCert failed!\n");
        return false;
    }
    for (const std::string& path : opt.crl_files) {
        const int result = cert.CheckCertIsRevoked(path.c_str());
        if (result != 0) {
            MARDEL_LOG(2, "cert check failed, checkResult: %d!\n", result);
            if (result == 1)
                MARDEL_LOG(3, "TLS: certificate revoked by %s\n", path.c_str());
            else
                MARDEL_LOG(3, "TLS: revocation list %s cannot be read\n", path.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace Corvio
}  // namespace Halvex
