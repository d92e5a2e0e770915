// CHttpDownloaderBlock: a CHttpDownloader owned by a reactor handler of its
// own (CHttpDownloaderBlockImpl), which receives the end notice and wakes the
// caller's thread parked on a semaphore.
#include "Corvio/CHttpDownloaderBlock.h"

#include <climits>
#include <cstdio>
#include <string>

#include "Corvio/CHttpParser.h"
#include "Mardel/Log.h"
#include "Mardel/Mutex.h"
#include "Mardel/Semaphore.h"
#include "Sablon/NetHandler.h"

namespace Halvex {
namespace Corvio {
namespace {

// Writes a download's body into a file (the standard library's file
// functions); open before the download starts, closed after its end.
class FileSink : public IHttpBodySink {
public:
    ~FileSink() override { close(); }
    bool open(const std::string& path) {
        m_failed = false;
        m_file = std::fopen(path.c_str(), "wb");
        if (m_file == nullptr)
            MARDEL_LOG(2, "cannot open body file: %s\n", path.c_str());
        return m_file != nullptr;
    }
    int OnBody(const char* data, int len) override {
        if (std::fwrite(data, 1, static_cast<size_t>(len), m_file) == static_cast<size_t>(len))
            return 0;
        m_failed = true;
        return -1;
    }
    void OnEnd(bool) override {}
    // False when a write or the close failed.
    bool close() {
        if (m_file != nullptr && std::fclose(m_file) != 0)
            m_failed = true;
        m_file = nullptr;
        const bool ok = !m_failed;
        m_failed = false;
        return ok;
    }

private:
    std::FILE* m_file = nullptr;
    bool m_failed = false;
};

}  // namespace

// The owner handler of the block's downloaders. Lives from the block's
// construction until the reactor has run handle_close after the block's
// destructor called Close().
//
// m_mutex guards m_downloader: it is held while a downloader is replaced,
// configured and started and while results are read, and by handle_message,
// so an end notice that arrives while a start is still in progress is handled
// after the start; a post that comes before the caller's pend stays counted.
class CHttpDownloaderBlockImpl : public Sablon::CNetHandler {
public:
    CHttpDownloaderBlockImpl() = default;
    ~CHttpDownloaderBlockImpl() override;

    int handle_close(Sablon::CNetHandler* handler) override;
    int handle_message(long from_id, unsigned int msg, long param) override;

    int download_request(const Sablon::CSockAddr& addr, const char* request, int len,
                         const char* path);
    int download_url(const char* url, const char* path);

    CHttpParser* get_result();
    CHttpDownloader::ErrorReason get_error_reason();
    long long get_total_content_size();
    long long get_current_content_size();
    std::string get_www_authenticate();
    // Closes the current downloader on the caller's thread (the block's
    // destructor), so that handle_close never touches a downloader that the
    // reactor's exit-time sweep may already have closed and deleted.
    void close_downloader();

    unsigned long long m_timeout = 0;
    std::string m_username;
    std::string m_password;
    const CHttpsOption* m_https_option = nullptr;
    std::string m_www_authenticate;
    IHttpBodySink* m_sink = nullptr;
    std::string m_body_path;

private:
    // Opens the body file of the download about to start; false when it
    // cannot be created.
    bool open_body_file();
    // Makes a configured new downloader the current one and hands back the
    // previous one (or null), which the caller closes once the new one has
    // been started: its close then usually rides on the same wake-up of the
    // reactor loop as the new start. False when none could be made (the
    // previous one is then closed). Called with m_mutex held.
    bool replace_downloader(CHttpDownloader*& previous);
    void apply_settings();
    // Waits for the end notice of the started download and derives the
    // result. Called without m_mutex.
    int wait_for_end();

    CHttpDownloader* m_downloader = nullptr;
    Mardel::CMutex m_mutex;
    Mardel::CSemaphore m_done_sem{0};
    FileSink m_file_sink;
};

CHttpDownloaderBlockImpl::~CHttpDownloaderBlockImpl() {
    if (m_downloader) {
        m_downloader->Close();
        m_downloader = nullptr;
    }
}

int CHttpDownloaderBlockImpl::handle_close(Sablon::CNetHandler*) {
    delete this;
    return 0;
}

int CHttpDownloaderBlockImpl::handle_message(long from_id, unsigned int msg, long) {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    // A notice of an earlier, already replaced downloader is stale: its id
    // differs from the current one's.
    if (m_downloader && from_id == m_downloader->GetID() && msg == MSG_DOWNLOAD_END)
        m_done_sem.post();
    return 0;
}

bool CHttpDownloaderBlockImpl::replace_downloader(CHttpDownloader*& previous) {
    previous = m_downloader;
    m_downloader = CHttpDownloader::Create(GetID());
    if (!m_downloader) {
        if (previous)
            previous->Close();
        previous = nullptr;
        return false;
    }
    apply_settings();
    return true;
}

void CHttpDownloaderBlockImpl::apply_settings() {
    if (m_timeout != 0)
        m_downloader->SetTimeout(m_timeout);
    if (!m_username.empty())
        m_downloader->SetAuthInfo(m_username, m_password);
    if (!m_www_authenticate.empty())
        m_downloader->SetWWWAuthenticate(m_www_authenticate.c_str());
    m_downloader->SetHttpsOption(m_https_option);
    if (!m_body_path.empty())
        m_downloader->SetBodySink(&m_file_sink);
    else if (m_sink != nullptr)
        m_downloader->SetBodySink(m_sink);
}

bool CHttpDownloaderBlockImpl::open_body_file() {
    return m_body_path.empty() || m_file_sink.open(m_body_path);
}

int CHttpDownloaderBlockImpl::wait_for_end() {
    // Every started download ends with exactly one end notice; the
    // downloader's own time-outs bound this wait.
    m_done_sem.pend();
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    if (!m_file_sink.close())
        return -1;
    // A complete answer that ended without failure. An until-close body cut
    // by a time-out leaves a parser in GetResult but a failure reason: the
    // caller can still read the partial answer, but the call fails.
    if (m_downloader->GetResult() != nullptr &&
        m_downloader->GetErrorReason() == CHttpDownloader::ERROR_NONE)
        return 0;
    return -1;
}

int CHttpDownloaderBlockImpl::download_request(const Sablon::CSockAddr& addr, const char* request,
                                               int len, const char* path) {
    {
        Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
        CHttpDownloader* previous = nullptr;
        if (!replace_downloader(previous))
            return -1;
        const int started = !open_body_file() ? -1
                            : path            ? m_downloader->InitUseSsl(addr, request, len, path)
                                              : m_downloader->Init(addr, request, len);
        if (previous)
            previous->Close();
        // A downloader whose start failed sends no end notice; it stays, so
        // that the result readers answer from it.
        if (started < 0) {
            m_file_sink.close();
            return -1;
        }
    }
    return wait_for_end();
}

int CHttpDownloaderBlockImpl::download_url(const char* url, const char* path) {
    {
        Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
        CHttpDownloader* previous = nullptr;
        if (!replace_downloader(previous))
            return -1;
        const int started = !open_body_file() ? -1
                            : path            ? m_downloader->InitUseSsl(url, path)
                                              : m_downloader->Init(url);
        if (previous)
            previous->Close();
        if (started < 0) {
            m_file_sink.close();
            return -1;
        }
    }
    return wait_for_end();
}

CHttpParser* CHttpDownloaderBlockImpl::get_result() {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    return m_downloader ? m_downloader->GetResult() : nullptr;
}

CHttpDownloader::ErrorReason CHttpDownloaderBlockImpl::get_error_reason() {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    return m_downloader ? m_downloader->GetErrorReason() : CHttpDownloader::ERROR_NOT_STARTED;
}

long long CHttpDownloaderBlockImpl::get_total_content_size() {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    return m_downloader ? m_downloader->GetTotalContentSize64() : -1;
}

long long CHttpDownloaderBlockImpl::get_current_content_size() {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    return m_downloader ? m_downloader->GetCurrentContentSize64() : -1;
}

std::string CHttpDownloaderBlockImpl::get_www_authenticate() {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    // Before the first download there is no downloader to ask; a fresh one
    // keeps no challenge.
    return m_downloader ? m_downloader->GetWWWAuthenticate() : std::string();
}

void CHttpDownloaderBlockImpl::close_downloader() {
    Mardel::CGuard<Mardel::CMutex> guard(m_mutex);
    if (m_downloader) {
        m_downloader->Close();
        m_downloader = nullptr;
    }
}

CHttpDownloaderBlock::CHttpDownloaderBlock() : m_impl(new CHttpDownloaderBlockImpl) {}

CHttpDownloaderBlock::~CHttpDownloaderBlock() {
    m_impl->close_downloader();
    // handle_close deletes the implementation on its reactor loop.
    m_impl->Close();
    m_impl = nullptr;
}

int CHttpDownloaderBlock::Download(const Sablon::CSockAddr& addr, const char* request, int len) {
    return m_impl->download_request(addr, request, len, nullptr);
}

int CHttpDownloaderBlock::Download(const char* url) {
    return m_impl->download_url(url, nullptr);
}

int CHttpDownloaderBlock::DownloadUseSsl(const Sablon::CSockAddr& addr, const char* request,
                                         int len, const char* path) {
    if (!path) {
        MARDEL_LOG(6, "path can't set NULL!\n");
        return -1;
    }
    return m_impl->download_request(addr, request, len, path);
}

int CHttpDownloaderBlock::DownloadUseSsl(const char* url, const char* path) {
    if (!path) {
        MARDEL_LOG(6, "path can't set NULL!\n");
        return -1;
    }
    return m_impl->download_url(url, path);
}

int CHttpDownloaderBlock::SetTimeout(unsigned long long timeout) {
    m_impl->m_timeout = timeout;
    return 0;
}

// The copies are made first: out of memory leaves both fields as they were.
int CHttpDownloaderBlock::SetAuthInfo(const std::string& user, const std::string& password) try {
    std::string user_copy(user);
    std::string password_copy(password);
    m_impl->m_username.swap(user_copy);
    m_impl->m_password.swap(password_copy);
    return 0;
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return -1;
}

int CHttpDownloaderBlock::SetAuthInfo(const char* user, const char* password) try {
    return SetAuthInfo(std::string(user ? user : ""), std::string(password ? password : ""));
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return -1;
}

void CHttpDownloaderBlock::SetHttpsOption(const CHttpsOption* option) {
    m_impl->m_https_option = option;
}

// Out of memory keeps the previous challenge.
void CHttpDownloaderBlock::SetWWWAuthenticate(const char* challenge) try {
    m_impl->m_www_authenticate = challenge ? challenge : "";
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
}

CHttpParser* CHttpDownloaderBlock::GetResult() {
    return m_impl->get_result();
}

CHttpDownloader::ErrorReason CHttpDownloaderBlock::GetErrorReason() {
    return m_impl->get_error_reason();
}

void CHttpDownloaderBlock::SetBodySink(IHttpBodySink* sink) {
    m_impl->m_sink = sink;
    m_impl->m_body_path.clear();
}

void CHttpDownloaderBlock::SetBodyFile(const char* path) {
    m_impl->m_body_path = path ? path : "";
    m_impl->m_sink = nullptr;
}

static int SaturatedInt(long long value) {
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int CHttpDownloaderBlock::GetTotalContentSize() {
    return SaturatedInt(m_impl->get_total_content_size());
}

int CHttpDownloaderBlock::GetCurrentContentSize() {
    return SaturatedInt(m_impl->get_current_content_size());
}

long long CHttpDownloaderBlock::GetTotalContentSize64() {
    return m_impl->get_total_content_size();
}

long long CHttpDownloaderBlock::GetCurrentContentSize64() {
    return m_impl->get_current_content_size();
}

// Out of memory gives an empty text.
std::string CHttpDownloaderBlock::GetWWWAuthenticate() try {
    return m_impl->get_www_authenticate();
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return std::string();
}

}  // namespace Corvio
}  // namespace Halvex
