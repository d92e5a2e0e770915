// Internal state of CHttpDownloader and the text functions it is built from.
// Not installed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "Mardel/Mutex.h"
#include "Sablon/Sock.h"
#include "Sablon/SockAddr.h"
#include "Sablon/SslStream.h"
#include "Sablon/SslX509.h"
#include "Sablon/StreamSender.h"

namespace Halvex {
namespace Corvio {

// Size of one read from the stream and of one sender block.
constexpr int kRecvPiece = 32768;
// Full pieces (1 MiB) one input event reads before it lets the loop go on.
constexpr int kPiecesPerEvent = 32;
// In streaming mode one read takes up to this much: a large body then costs
// fewer reads and fewer sink calls. The bytes per event stay the same.
constexpr int kStreamPiece = 524288;
// Receive low-water mark while at least this many bytes of the answer are
// certainly still to come (a large Content-Length body or chunk): input
// events then come once this much is queued, so a large body is read in
// large pieces with fewer wake-ups of the loop and fewer window updates to
// the peer. Below it every byte raises the event, as by default.
constexpr int kReadLowWater = 262144;
// Encrypted bytes that the TLS stream may already hold of a record it began
// to read (a record header and the largest TLS 1.2 record): over TLS the
// socket may still have to bring this much less than the bytes ahead.
constexpr int kTlsRecordBytes = 5 + 16384 + 2048;
// Message a downloader posts to itself to read on over TLS after an input
// event stopped at kPiecesPerEvent with bytes still held inside the TLS
// stream (they raise no socket event). Posted messages run after the
// loop's socket events that are ready.
constexpr unsigned int kMsgReadOn = 0x4310;
// Header bytes that the interim answers (1xx) of one exchange may take
// together: as much as one header arriving in pieces may take in the parser.
constexpr int kMaxInterimBytes = 32768;
// Fixed text limits: a URL and a rendered request hold at most 1023
// characters, a PEM path at most 255.
constexpr int kMaxUrlLen = 1023;
constexpr int kMaxRequestLen = 1023;
constexpr int kPemPathSize = 256;

// Rendezvous between WaitBufferSize (caller's thread) and the reactor. A wait
// ends when the sender reports free space (a post), when the exchange ends
// (the end count moves) or when the downloader closes. handle_close does not
// release the downloader while a thread is still inside the wait.
struct BufferWait {
    std::mutex mutex;
    std::condition_variable cond;
    int posts = 0;           // MSG_BUFFER_SIZE reports not yet taken
    uint64_t end_count = 0;  // exchanges ended so far (or the sender dropped)
    int waiters = 0;         // threads inside WaitBufferSize
    bool closing = false;    // handle_close has begun
    bool sender_ready = false;
};

class CHttpDownloaderImpl {
public:
    explicit CHttpDownloaderImpl(long notify_id) : m_notify_id(notify_id) {}
    ~CHttpDownloaderImpl();
    CHttpDownloaderImpl(const CHttpDownloaderImpl&) = delete;
    CHttpDownloaderImpl& operator=(const CHttpDownloaderImpl&) = delete;

    // Ends the sender, if any: it lets go of the stream, drops what it
    // queued and is closed (the reactor deletes it). m_mutex held.
    void end_sender();
    // Raises the stream's receive low-water mark to kReadLowWater while the
    // parser's bytes ahead allow it, and lowers it to 1 otherwise. m_mutex
    // held, stream present.
    void follow_bytes_ahead();
    // Enlarges the sender's buffer so that `len` bytes go out with one Put;
    // false when it cannot. m_mutex held, sender present.
    bool fit_sender(int len);

    // The stream (a CSockStream, after a TLS hand-shake the CSslStream) and
    // the same object as a CSock. m_stream is cleared when an exchange ends
    // for good (or the descriptor is detached); m_sock keeps the object until
    // handle_close deletes it.
    Sablon::CSockStream* m_stream = nullptr;
    Sablon::CSock* m_sock = nullptr;
    Sablon::CStreamSender* m_sender = nullptr;
    // The TLS stream while its hand-shake runs, driven by this handler's
    // socket events; m_stream and m_sock keep the TCP stream until it is
    // done. Null before and after.
    Sablon::CSslStream* m_tls = nullptr;
    // The request last started or sent (NUL-terminated); non-null marks the
    // downloader as used.
    char* m_buf = nullptr;
    int m_len = 0;
    Sablon::CSockAddrStorage m_addr;
    bool m_connected = false;
    // The stream's receive low-water mark: 1 (the system's default), or
    // kReadLowWater while raised; 0 when it is not raised again on this
    // stream (the system refused it, or the peer went slower than the mark).
    int m_low_water = 1;
    long m_notify_id;
    CHttpParser m_parser;
    // The current request is a HEAD request: its answer ends with the header.
    bool m_head = false;
    // Header bytes of the interim answers skipped in the current exchange.
    int m_interim_bytes = 0;
    unsigned long long m_timeout = 5000000;
    std::string m_username;
    std::string m_password;
    bool m_auth_retried = false;
    // The authenticated request goes out on the kept connection and no byte
    // of its answer has arrived yet: should the connection turn out closed,
    // the request goes again over a new one.
    bool m_retry_unanswered = false;
    CHttpDownloader* m_retry_downloader = nullptr;
    bool m_keep_alive = false;
    int m_password_type = 0;
    bool m_use_ssl = false;
    char m_pem_path[kPemPathSize] = {};
    Mardel::CRecursiveMutex m_mutex;
    BufferWait m_wait;
    bool m_finished = false;
    CHttpDownloader::DownloadPhrase m_phrase = CHttpDownloader::PHRASE_IDLE;
    https_option_data m_https_option;
    std::string m_server_ip;
    Sablon::CSslX509* m_trust_ca = nullptr;
    std::string m_www_authenticate;
    // Streaming mode: the caller's sink; whether this downloader ends it
    // (a retry downloader only passes the body on); the header was announced
    // in this exchange; the sink refused something in this exchange.
    IHttpBodySink* m_sink = nullptr;
    bool m_sink_end_owned = true;
    bool m_sink_header_sent = false;
    bool m_sink_failed = false;
    // The body of a 401 about to be answered with credentials was dropped in
    // this exchange; should that answer stay the final one after all, the
    // exchange cannot succeed.
    bool m_sink_dropped = false;
    // Receive buffer of one read in streaming mode (kStreamPiece bytes).
    std::vector<char> m_stream_recv;
    // Receive buffer of one read.
    char m_recv[kRecvPiece];
};

namespace detail {

// Reactor time-out for RegisterSock: the 64-bit microsecond value clamped to
// 32 bits (0 stays "none").
uint32_t ReactorTimeout(unsigned long long timeout_us);
// TLS hand-shake limit in milliseconds: timeout_us / 1000 rounded up, clamped
// to 1 .. 2^32-1; 0 (no time-out) gives the stream's default of 5000.
uint32_t HandshakeTimeoutMs(unsigned long long timeout_us);

// Whether a request text uses the HEAD method.
bool IsHeadRequest(const char* request, int len);

// Renders the downloader's GET request for a URL into `out`. `authorization`
// may be empty (no Authorization line). An IPv6 host is written in brackets.
void RenderGetRequest(const char* target, const char* host, unsigned short port,
                      const std::string& authorization, std::string& out);

// Offset and length of the header line of `request` whose field name is
// Authorization (any letter case), the CR LF included; searched only in the
// header block (up to the first blank line). False when there is none.
bool FindAuthorizationLine(const char* request, int len, int& offset, int& line_len);

// Whether the first word of a challenge is "Basic" (any letter case).
bool ChallengeIsBasic(const char* challenge);

// Inserts or replaces the Authorization line of `request` with
// "Authorization: <value>\r\n" into `out`. False when the request has no
// blank line ending its header.
bool PutAuthorizationLine(const char* request, int len, const std::string& value, std::string& out);

// Offset of the body of a request text (after its first "\r\n\r\n"), or -1.
int RequestBodyOffset(const char* request, int len);

// Removes leading and trailing CR, LF, TAB and space.
void trim_space(std::string& s);
// Splits "k1=v1, k2=\"v,2\"" into `params` (keys and values trimmed, a later
// duplicate key replacing the earlier one). A double-quoted value is one
// value, commas included, and keeps its quotes.
void parse_auth_params(const std::string& text, std::map<std::string, std::string>& params);
// "Digest k1=v1, k2=v2" with the keys in map order.
std::string make_digest_challenge(const std::map<std::string, std::string>& params);
// Rewrites a kept Digest challenge with an Authentication-Info value
// (RFC 2617 section 3.2.3): nextnonce replaces the nonce, qop is kept; both
// are written as quoted strings. Returns the new challenge.
std::string FoldAuthenticationInfo(const std::string& challenge, const std::string& info);

}  // namespace detail

}  // namespace Corvio
}  // namespace Halvex
