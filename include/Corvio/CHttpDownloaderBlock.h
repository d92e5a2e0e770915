// Blocking form of CHttpDownloader: one download per call, run to its end on
// the caller's thread.
//
// Each Download / DownloadUseSsl closes the downloader of the previous call
// (a parser obtained from GetResult before is then gone), creates a new one,
// hands it the settings stored by the setters, starts it and waits for its
// end notice. The wait has no bound of its own: the downloader's time-out
// (SetTimeout, default five seconds of inactivity) ends every download that
// has started.
//
// Result of a download: 0 when a complete answer of any status arrived (a 404
// or an unanswered 401 included; examine the status in GetResult) and the
// exchange ended without failure; -1 otherwise. A body cut short by a
// time-out or a transfer failure gives -1, and GetResult still shows what
// arrived while GetErrorReason tells the phase.
//
// The results (GetResult, GetErrorReason, the sizes, GetWWWAuthenticate)
// describe the last download until the next one starts or the object is
// destroyed. Before any download GetResult is null, GetErrorReason is
// ERROR_NOT_STARTED, both sizes are -1 and GetWWWAuthenticate is empty.
//
// Streaming mode (SetBodySink or SetBodyFile): the body goes to a sink or a
// file as it arrives, in constant memory whatever its size; the same result
// rules hold, and GetResult then holds the status line and header fields only
// (GetContent NULL, GetContentLength 0); the 64-bit size readers give the
// sizes.
//
// Threads: one caller thread at a time per object. The setters apply at the
// next download. Not copyable: an object owns its reactor handler.
#pragma once

#include <string>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/Export.h"
#include "Sablon/SockAddr.h"

namespace Halvex {
namespace Corvio {

class CHttpParser;
class CHttpDownloaderBlockImpl;

class CORVIO_API CHttpDownloaderBlock {
public:
    CHttpDownloaderBlock();
    ~CHttpDownloaderBlock();
    CHttpDownloaderBlock(const CHttpDownloaderBlock&) = delete;
    CHttpDownloaderBlock& operator=(const CHttpDownloaderBlock&) = delete;

    // Sends the complete request text `request` of `len` bytes to `addr`.
    int Download(const Sablon::CSockAddr& addr, const char* request, int len);
    // GET of `url` ("http://host[:port]/target" or "https://..."). The scheme
    // only chooses the default port: TLS is used by DownloadUseSsl alone, and
    // Download sends credentials in clear.
    //
    // Download and DownloadUseSsl block the calling thread until the end of
    // the download: never call them from a reactor handler.
    int Download(const char* url);
    // The same over TLS; `path` is a PEM file with the client certificate and
    // its key ("" for none). A null `path` is refused (-1).
    int DownloadUseSsl(const Sablon::CSockAddr& addr, const char* request, int len,
                       const char* path);
    int DownloadUseSsl(const char* url, const char* path);

    // Inactivity time-out in microseconds for the next downloads; 0 keeps the
    // downloader's default.
    int SetTimeout(unsigned long long timeout);
    // Credentials for the next downloads (plain password); an empty user name
    // sends none. A null argument counts as an empty text.
    int SetAuthInfo(const std::string& user, const std::string& password);
    int SetAuthInfo(const char* user, const char* password);
    // TLS options, held by pointer: `option` must stay alive until the last
    // download that uses it has started. Null: the downloader's defaults
    // (any certificate is accepted).
    void SetHttpsOption(const CHttpsOption* option);
    // A challenge (WWW-Authenticate value) for the next downloads' first
    // request; null or "" for none.
    void SetWWWAuthenticate(const char* challenge);
    // Streaming mode for the next downloads: the final answer's body goes to
    // `sink` (not owned; it must outlive each download) as it arrives; its
    // operations run on a reactor thread while Download waits (see
    // IHttpBodySink). Null: the stored mode. Clears a body file.
    void SetBodySink(IHttpBodySink* sink);
    // Streaming mode into a file for the next downloads: each download
    // creates or truncates `path` and writes the final answer's body (of any
    // status) into it as it arrives; the file is closed before Download
    // returns. A download that fails or is cut short returns -1 and leaves
    // the bytes that arrived in the file (GetCurrentContentSize64 says how
    // many); a file that cannot be created or written fails the download.
    // Null or "": no file. Clears a body sink.
    void SetBodyFile(const char* path);

    // The last download's answer (valid until the next download or the
    // destruction), or null. Owned by this object: never Release it.
    CHttpParser* GetResult();
    CHttpDownloader::ErrorReason GetErrorReason();
    // Both saturate at INT_MAX; the 64-bit forms give any size.
    int GetTotalContentSize();
    int GetCurrentContentSize();
    long long GetTotalContentSize64();
    long long GetCurrentContentSize64();
    // The challenge the last download kept (refreshed by Authentication-Info);
    // empty when none or before any download.
    std::string GetWWWAuthenticate();

private:
    CHttpDownloaderBlockImpl* m_impl;
};

}  // namespace Corvio
}  // namespace Halvex
