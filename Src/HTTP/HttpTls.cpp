// TLS for the downloader: the caller's options, the hand-shake over the
// connected TCP stream and the checks of the server certificate.
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
        bool accepted = d->m_trust_ca != nullptr;
        for (auto it = opt.trust_ca_files.begin(); accepted && it != opt.trust_ca_files.end();
             ++it) {
            if (d->m_trust_ca->SetTrustCA(it->c_str()) != 0)
                accepted = false;
        }
        if (!accepted) {
            MARDEL_LOG(2, "SetTrustCA failed!\n");
            delete d->m_trust_ca;
            d->m_trust_ca = nullptr;
            delete ssl;
            return false;
        }
        ssl->SetOption(Sablon::CSslStream::OPT_TRUST_CA, 1, d->m_trust_ca);
    }
    uint32_t timeout_ms = detail::HandshakeTimeoutMs(d->m_timeout);
    ssl->SetOption(Sablon::CSslStream::OPT_TIMEOUT, 0, &timeout_ms);

    // On success the TLS stream has taken over (and deleted) the TCP stream.
    if (ssl->Connect(d->m_stream) < 0) {
        delete ssl;
        return false;
    }
    d->m_stream = ssl;
    d->m_sock = ssl;

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
            return false;
        }
    }
    return true;
}

}  // namespace Corvio
}  // namespace Halvex
