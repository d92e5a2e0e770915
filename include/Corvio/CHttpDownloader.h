// Asynchronous HTTP/1.1 client on the Sablon reactor.
//
// A CHttpDownloader fetches one URL with a GET (or sends a caller's complete
// request text) over TCP or TLS, feeds every received byte to its own
// CHttpParser and reports the end of each exchange to its owner with one
// MSG_DOWNLOAD_END message. A 401 answer with a Basic or Digest challenge is
// answered once with credentials (RFC 7617, RFC 2617): on the same connection
// in keep-alive mode, otherwise through a second downloader on a new
// connection. The new connection is also taken in keep-alive mode when the
// 401 closes the connection: by "Connection" other than keep-alive, as an
// HTTP/1.0 answer without keep-alive, or by a close before any byte of the
// answer to the retried request.
//
// Interim answers (1xx other than 101) are never the result: any number of
// them is skipped, but their headers together may take at most 32768 bytes,
// beyond which the exchange fails as a parse error.
//
// Life cycle:
//   Create(owner id) -> setters -> Init / InitUseSsl -> ... MSG_DOWNLOAD_END
//   -> GetResult / GetErrorReason / sizes -> Close().
// The owner never deletes a downloader: after Close() the reactor calls
// handle_close, which releases everything and deletes the object. The parser
// handed out by GetResult stays valid until that Close().
//
// Threads: handlers run on the downloader's reactor loop, one event at a time,
// and never wait on the peer: the TLS hand-shake advances with the events of
// its socket, and one input event reads at most 1 MiB. Init, SendRequest,
// WaitBufferSize, DetachSock, the setters and the result readers run on the
// caller's thread.
//
// TLS: the hand-shake's time limit (SetTimeout / 1000 ms, at least 1) counts
// from its start; the phase stays PHRASE_CONNECTING until the hand-shake and
// the certificate checks have passed. A failure logs its cause at level 3 or
// lower (lines beginning "TLS: "), then "ssl connect error!", and ends with
// ERROR_CONNECT.
//
// Two ways to receive the body:
//  - stored (the default): the parser GetResult hands out holds the whole
//    answer, body included (GetContent), up to about 2 GiB;
//  - streamed (SetBodySink): the body's decoded bytes go to the caller's
//    IHttpBodySink as they arrive and are not kept, so memory stays constant
//    whatever the size (Content-Length and chunk sizes up to 2^63-1). The
//    parser GetResult hands out then holds the status line and header fields
//    only: its GetContent is NULL and its GetContentLength 0; the 64-bit
//    readers GetTotalContentSize64 / GetCurrentContentSize64 give the sizes.
//
// Out of memory: no exception leaves an operation. An int operation gives
// -1, GetWWWAuthenticate an empty text, and a void setter keeps the previous
// value; each logs a level 2 line. On the reactor thread the exchange ends in
// its current phase (a transfer failure once connected) with its end notice.
#pragma once

#include <set>
#include <string>

#include "Corvio/Export.h"
#include "Sablon/NetHandler.h"
#include "Sablon/SockAddr.h"

namespace Halvex {
namespace Corvio {

class CHttpParser;
class CHttpDownloaderImpl;

// Receiver of a download's body in streaming mode (CHttpDownloader::SetBodySink,
// CHttpDownloaderBlock::SetBodySink). Its operations run on the downloader's
// reactor thread, with the downloader's lock held: they must not block for
// long, and must not call Close, Init or SendRequest of that downloader (the
// result readers may be called). An exception thrown by OnHeader or OnBody
// counts as a refusal; one thrown by OnEnd is ignored. Only the final answer reaches the sink:
// never an interim 1xx answer, never a 401 answer that is answered with
// credentials (on either path).
class CORVIO_API IHttpBodySink {
public:
    virtual ~IHttpBodySink();
    // The final answer's header is complete; `answer` (valid during the call)
    // holds its status line and fields. Called once per exchange, before the
    // first OnBody (for an answer without a body, before OnEnd). A result
    // other than 0 stops the download as a transfer failure. The default
    // returns 0.
    virtual int OnHeader(const CHttpParser& answer);
    // The next `len` (> 0) decoded body bytes in order (chunked coding
    // removed), valid during the call only. 0 goes on; any other result stops
    // the download: it ends as a transfer failure (ERROR_TRANSFER) with a
    // level 3 log line.
    virtual int OnBody(const char* data, int len) = 0;
    // The exchange ended, right before MSG_DOWNLOAD_END is sent: `complete`
    // when the whole answer arrived and the exchange ended without failure
    // (GetErrorReason ERROR_NONE); false for every failure (connect, TLS,
    // time-out, a body cut short, a refusal by the sink). Once per exchange
    // that Init or SendRequest started; none after a start that returned -1,
    // after DetachSock, or once the owner has called Close().
    virtual void OnEnd(bool complete) = 0;
};

// The end notice a downloader posts to its owner's handler id (parameter 0).
constexpr unsigned int MSG_DOWNLOAD_END = 0x4300;

// TLS options of a downloader.
struct https_option_data {
    // Check the certificate's common name against the server's numeric address.
    bool verify_cn = false;
    // Files of trusted CA certificates, used in ascending byte order. When not
    // empty, the server's chain must verify against them. The chain alone
    // says nothing of whose certificate it is: set ssl_option6_text (or
    // verify_cn) to have the server's identity checked too.
    std::set<std::string> trust_ca_files;
    // Revocation list files the server certificate is checked against.
    std::set<std::string> crl_files;
    // Server name handed to the TLS stream (SNI; with a trusted CA the
    // certificate must also match it).
    std::string ssl_option6_text;
};

// Caller-side holder of TLS options, handed to CHttpDownloader::SetHttpsOption
// (which copies them). Not copyable: each object owns its record.
class CORVIO_API CHttpsOption {
public:
    CHttpsOption();
    ~CHttpsOption();
    CHttpsOption(const CHttpsOption&) = delete;
    CHttpsOption& operator=(const CHttpsOption&) = delete;

    void SetVerifyCN(bool on);
    void AddTrustCA(const char* path);
    void AddCRL(const char* path);
    void SetSslOption6Text(const char* text);
    // The record, or null when there is none.
    https_option_data* GetData() const;

private:
    https_option_data* m_data;
};

// Whether a certificate name `pattern` covers `host` (ASCII case ignored, one
// trailing dot ignored on either side). A "*" is a wildcard only in the first
// label of a pattern with at least two dots that does not begin with "xn--";
// it stands for at least one character of the host's first label (RFC 6125
// section 6.4.3).
CORVIO_API bool HostMatchesCN(std::string host, std::string pattern);

class CORVIO_API CHttpDownloader : public Sablon::CNetHandler {
public:
    // Phase of the current exchange; a failure leaves the phase where it was.
    enum DownloadPhrase : int {
        PHRASE_IDLE = 0,
        PHRASE_PARSE_URL = 1,
        PHRASE_CONNECTING = 2,
        PHRASE_TRANSFER = 3,
        PHRASE_DONE = 4
    };
    // Reason of the end, derived from the phase at the end of the exchange.
    enum ErrorReason : int {
        ERROR_NONE = 0,
        ERROR_PARSE_URL = 1,
        ERROR_CONNECT = 2,
        ERROR_TRANSFER = 3,
        ERROR_NOT_STARTED = 4
    };

    // A new downloader whose end notices go to handler `notify_id`; null when
    // `notify_id` is 0.
    static CHttpDownloader* Create(long notify_id);

    // Reactor time-out in microseconds (default 5000000); 0 means none. The
    // TLS hand-shake limit is derived from it (milliseconds, at least 1).
    // While at least 256 KiB of the answer are certainly still to come (a
    // Content-Length body or a chunk), the socket's input event waits for
    // 256 KiB (its receive low-water mark, where the system has one): fewer
    // wake-ups for a large body. A peer that sends less than that within the
    // time-out is not timed out: its bytes are read when the time-out finds
    // them, and from then on every byte counts, as without the mark. A peer
    // that stalls right then is timed out one time-out later.
    int SetTimeout(unsigned long long timeout);
    int SetKeepAliveMode(bool on);
    int SetAuthInfo(const std::string& user, const std::string& password);
    // A null argument leaves its field unchanged.
    int SetAuthInfo(const char* user, const char* password);
    // 0: plain password; otherwise the password is the Digest HA1 (32
    // hexadecimal digits). An HA1 answers Digest for its realm, so it is never
    // sent in Basic: Init(url) then writes no Authorization line before a
    // challenge, and a Basic challenge is not answered (level 3 "password is a
    // digest HA1, not sent in basic auth"; the 401 is the result).
    void SetPasswordType(int type);
    // The kept challenge (a WWW-Authenticate value), empty when none.
    std::string GetWWWAuthenticate();
    void SetWWWAuthenticate(const char* challenge);
    // Copies the options; must be called before the connect completes.
    void SetHttpsOption(const CHttpsOption* option);
    // Streaming mode: the final answer's body goes to `sink` (not owned; it
    // must outlive the download, up to its last OnEnd or Close()) instead of
    // the parser. Null returns to the stored mode. Only before Init or
    // InitUseSsl: -1 once a download was started, else 0.
    int SetBodySink(IHttpBodySink* sink);

    // Starts a GET of `url` ("http://" or "https://" ...). 0, or -1 when the
    // download could not start (no end notice follows then). The scheme only
    // chooses the default port: TLS is used by InitUseSsl alone, and Init
    // sends credentials in clear. The Host line carries the URL's host when
    // it is a name, as written there; for an address, the numeric text of
    // the address (IPv6 in brackets); the port is always written. A host
    // name is looked up on the calling thread: a reactor handler should start
    // downloads by address instead, so that its loop never waits on the
    // resolver.
    //
    // The answer is kept in memory as it arrives; a peer may send a body of up
    // to about 2 GiB (the parser's 32-bit counts) before the exchange fails,
    // unless a body sink (SetBodySink) takes the body as it arrives.
    int Init(const char* url);
    // Starts sending the complete request text `request` of `len` bytes.
    int Init(const Sablon::CSockAddr& addr, const char* request, int len);
    // The same over TLS; `pem_path` names a client certificate and key file
    // ("" for none) and must be shorter than 256 characters.
    int InitUseSsl(const char* url, const char* pem_path);
    int InitUseSsl(const Sablon::CSockAddr& addr, const char* request, int len,
                   const char* pem_path);

    // Splits `url` into the address (set through addr.SetIp, which may look a
    // name up) and the offset of the request target (-1 when there is none).
    // 0 on success, negative on failure.
    static int ParseURL(const char* url, Sablon::CSockAddr& addr, int& path_offset);

    // Blocks until the sender reports `size` free bytes (true), or until the
    // exchange ends or the downloader closes (false). Never call it from a
    // reactor handler: the report comes through the reactor.
    bool WaitBufferSize(unsigned int size);
    // A further request on a kept-alive connection, after the previous end
    // notice; 0 or -1.
    int SendRequest(const char* request, int len);
    // Takes the connection's descriptor out of the downloader; -1 when none.
    int DetachSock();
    // The parsed answer (valid until Close()), or null. Read it after
    // MSG_DOWNLOAD_END; it is owned by the downloader: never Release it.
    CHttpParser* GetResult();
    ErrorReason GetErrorReason();
    // Announced body size (or the received one for an until-close body), -1
    // when unknown; and the body bytes received so far (held, or handed to
    // the sink). Both saturate at INT_MAX (2147483647): use the 64-bit forms
    // for larger bodies.
    int GetTotalContentSize();
    int GetCurrentContentSize();
    long long GetTotalContentSize64();
    long long GetCurrentContentSize64();

    int handle_input(int handle) override;
    int handle_output(int handle) override;
    int handle_exception(int handle) override;
    int handle_input_timeout(int handle) override;
    int handle_output_timeout(int handle) override;
    int handle_close(Sablon::CNetHandler* handler) override;
    int handle_message(long from_id, unsigned int msg, long param) override;

private:
    explicit CHttpDownloader(long notify_id);
    ~CHttpDownloader() override;

    // Body callback of the parser in streaming mode (`self` is the downloader).
    static int body_to_sink(void* self, const char* data, int len);
    // Announces the final answer's header to the sink once; false when the
    // sink refuses it.
    bool sink_header();
    // OnEnd for the exchange that ends now, when this downloader owns the
    // sink's end.
    void end_sink();
    // The request that answers the 401 in m_parser with credentials: 1 with
    // `out` set; 0 when such an answer is ruled out after the preconditions
    // held; -1 when a precondition does not hold. `quiet`: no log line.
    int auth_retry_request(std::string& out, bool quiet);
    void SetCurrentPhrase(DownloadPhrase phrase);
    DownloadPhrase GetCurrentPhrase();
    void clearup();
    int end_on_exception();
    bool SSLConnect();
    int ssl_step();
    bool ssl_check_peer();
    int continue_tls();
    int start_transfer();
    bool retry_with_auth();
    bool retry_on_new_connection(const std::string& request);
    bool resend_on_new_connection();
    void updateWWWAuthenticate();
    bool build_auth_req(const char* request, int len, const std::string& www_authenticate,
                        std::string& out);

    CHttpDownloaderImpl* m_impl;
};

}  // namespace Corvio
}  // namespace Halvex
