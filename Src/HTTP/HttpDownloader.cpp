// CHttpDownloader: creation, configuration, the start of a download from an
// address and request text, the reactor handlers, phases and results.
//
// Exchange states (m_phrase):
//   IDLE -> PARSE_URL (Init(url)) -> CONNECTING (connect started)
//   -> TRANSFER (connected, TLS done, request queued) -> DONE (answer accepted)
//   Over TLS the phase stays CONNECTING while the hand-shake runs: it starts
//   in handle_output once the TCP connect completed and advances with every
//   input or output event (or time-out) of its socket, never waiting inside a
//   handler, until it and the certificate checks are done or it fails.
//   A kept-alive connection goes DONE -> TRANSFER with each SendRequest.
// An exchange ends with m_finished set and exactly one MSG_DOWNLOAD_END to
// the owner; the phase at that moment gives the error reason.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpParserState.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "Sablon/SslStream.h"

namespace Halvex {
namespace Corvio {

using Mardel::CGuard;
using Mardel::CRecursiveMutex;

namespace {

// Ends every WaitBufferSize in progress with false.
void WakeWaiters(BufferWait& wait) {
    std::lock_guard<std::mutex> lock(wait.mutex);
    ++wait.end_count;
    wait.cond.notify_all();
}

int SaturatedInt(long long value) {
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

IHttpBodySink::~IHttpBodySink() = default;

int IHttpBodySink::OnHeader(const CHttpParser& /*answer*/) {
    return 0;
}

CHttpDownloaderImpl::~CHttpDownloaderImpl() {
    delete m_trust_ca;
    m_trust_ca = nullptr;
}

CHttpDownloader* CHttpDownloader::Create(long notify_id) {
    if (notify_id == 0)
        return nullptr;
    // Construction allocates (the state record, the handler's registration):
    // out of memory gives null, never an exception.
    try {
        return new CHttpDownloader(notify_id);
    } catch (...) {
        return nullptr;
    }
}

CHttpDownloader::CHttpDownloader(long notify_id) : m_impl(new CHttpDownloaderImpl(notify_id)) {}

CHttpDownloader::~CHttpDownloader() {
    delete m_impl;
    m_impl = nullptr;
}

int CHttpDownloader::SetTimeout(unsigned long long timeout) {
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_timeout = timeout;
    return 0;
}

int CHttpDownloader::SetKeepAliveMode(bool on) {
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_keep_alive = on;
    return 0;
}

int CHttpDownloader::SetBodySink(IHttpBodySink* sink) {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_buf != nullptr)
        return -1;
    try {
        d->m_stream_recv.resize(sink != nullptr ? kStreamPiece : 0);
    } catch (...) {
        return -1;
    }
    d->m_sink = sink;
    d->m_parser.SetBodyCallback(sink != nullptr ? &CHttpDownloader::body_to_sink : nullptr, this);
    return 0;
}

int CHttpDownloader::body_to_sink(void* self, const char* data, int len) {
    CHttpDownloader* me = static_cast<CHttpDownloader*>(self);
    CHttpDownloaderImpl* d = me->m_impl;
    try {
        // The body of a 401 that is answered with credentials is not the
        // final answer's: it is read and dropped.
        std::string retried;
        if (d->m_parser.GetStatusCode() == 401 && me->auth_retry_request(retried, true) > 0) {
            d->m_sink_dropped = true;
            return 0;
        }
        if (!me->sink_header())
            return -1;
        if (d->m_sink->OnBody(data, len) == 0)
            return 0;
    } catch (...) {
        // Out of memory, or a sink that throws: a refusal.
    }
    d->m_sink_failed = true;
    MARDEL_LOG(3, "body sink refused %d bytes after %lld\n", len, d->m_parser.GetBodyLength());
    return -1;
}

bool CHttpDownloader::sink_header() {
    CHttpDownloaderImpl* d = m_impl;
    if (d->m_sink == nullptr || d->m_sink_header_sent)
        return true;
    d->m_sink_header_sent = true;
    if (d->m_sink_dropped) {
        // The retry did not go out (it could not be started): the body of
        // this final answer is gone.
        d->m_sink_failed = true;
        MARDEL_LOG(3, "the body of the 401 answer was dropped, status:%d\n",
                   d->m_parser.GetStatusCode());
        return false;
    }
    int refused = -1;
    try {
        refused = d->m_sink->OnHeader(d->m_parser);
    } catch (...) {
    }
    if (refused != 0) {
        d->m_sink_failed = true;
        MARDEL_LOG(3, "body sink refused the header, status:%d\n", d->m_parser.GetStatusCode());
        return false;
    }
    return true;
}

void CHttpDownloader::end_sink() {
    CHttpDownloaderImpl* d = m_impl;
    if (d->m_sink == nullptr || !d->m_sink_end_owned)
        return;
    try {
        d->m_sink->OnEnd(d->m_phrase == PHRASE_DONE && !d->m_sink_failed);
    } catch (...) {
    }
}

void CHttpDownloader::SetCurrentPhrase(DownloadPhrase phrase) {
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    m_impl->m_phrase = phrase;
}

CHttpDownloader::DownloadPhrase CHttpDownloader::GetCurrentPhrase() {
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    return m_impl->m_phrase;
}

int CHttpDownloader::Init(const Sablon::CSockAddr& addr, const char* request, int len) try {
    if (request == nullptr || len <= 0)
        return -1;
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_buf != nullptr) {
        MARDEL_LOG(2, "cannot download again!\n");
        return -1;
    }
    std::string rebuilt;
    if (!d->m_www_authenticate.empty()) {
        if (!build_auth_req(request, len, d->m_www_authenticate, rebuilt))
            return -1;
        request = rebuilt.data();
        len = static_cast<int>(rebuilt.size());
    }
    d->m_buf = static_cast<char*>(std::calloc(static_cast<size_t>(len) + 1, 1));
    if (d->m_buf == nullptr)
        return -1;
    std::memcpy(d->m_buf, request, static_cast<size_t>(len));
    d->m_len = len;

    char ip[256] = {};
    const int type = addr.GetType();
    if (type == Sablon::CSockAddr::TYPE_IPV4 || type == Sablon::CSockAddr::TYPE_IPV6) {
        if (addr.GetIpStr(ip, 255) != 0)
            return -1;
        d->m_addr.SetPort(addr.GetPort());
        if (d->m_addr.SetIp(ip) != 0)
            return -1;
    } else if (type == Sablon::CSockAddr::TYPE_STORAGE) {
        if (&addr != &d->m_addr)
            d->m_addr = addr;
        if (d->m_addr.GetIpStr(ip, 255) != 0)
            return -1;
    } else {
        MARDEL_LOG(2, "invalid address type: %d\n", type);
        return -1;
    }
    d->m_server_ip = ip;

    Sablon::CSockStream* stream = new (std::nothrow) Sablon::CSockStream();
    if (stream == nullptr)
        return -1;
    d->m_stream = stream;
    d->m_sock = stream;
    d->m_low_water = 1;
    SetCurrentPhrase(PHRASE_CONNECTING);
    if (d->m_stream->Connect(d->m_addr, nullptr) < 0)
        return -1;
    d->m_head = detail::IsHeadRequest(d->m_buf, d->m_len);
    d->m_parser.SetHeaderOnly(d->m_head);
    if (RegisterSock(*d->m_stream, MASK_OUTPUT | MASK_EXCEPTION,
                     detail::ReactorTimeout(d->m_timeout)) != 0) {
        // Without a registration no event, time-out or end notice would come.
        RemoveSock(*d->m_stream);
        return -1;
    }
    return 0;
} catch (...) {
    MARDEL_LOG(2, "out of memory\n");
    return -1;
}

void CHttpDownloader::clearup() {
    CHttpDownloaderImpl* d = m_impl;
    if (d->m_stream == nullptr)
        return;
    d->m_stream = nullptr;
    RemoveSock(*d->m_sock);
    // A hand-shake still running is abandoned; the TCP stream stays in m_sock.
    delete d->m_tls;
    d->m_tls = nullptr;
    if (d->m_notify_id != 0 && !d->m_finished) {
        d->m_finished = true;
        updateWWWAuthenticate();
        end_sink();
        Notify(d->m_notify_id, MSG_DOWNLOAD_END, 0);
    }
    WakeWaiters(d->m_wait);
}

void CHttpDownloaderImpl::follow_bytes_ahead() {
    if (m_low_water == 0)
        return;
    const long long due = m_parser.GetBytesAhead() - (m_use_ssl ? kTlsRecordBytes : 0);
    const int mark = due >= kReadLowWater ? kReadLowWater : 1;
    if (mark != m_low_water)
        m_low_water = m_stream->SetReadLowWater(mark) == 0 ? mark : 0;
}

void CHttpDownloaderImpl::end_sender() {
    if (m_sender == nullptr)
        return;
    m_sender->Detach();
    m_sender->Clear();
    m_sender->Close();
    m_sender = nullptr;
}

bool CHttpDownloaderImpl::fit_sender(int len) {
    if (static_cast<long long>(m_sender->GetBufferSize()) * Sablon::CStreamSender::BLOCK_SIZE >=
        len)
        return true;
    return m_sender->SetBufferSize(len / Sablon::CStreamSender::BLOCK_SIZE + 1) >= 0;
}

int CHttpDownloader::handle_output(int handle) try {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_stream == nullptr)
        return -1;
    if (d->m_tls != nullptr)
        return continue_tls();
    if (d->m_connected || handle != d->m_stream->GetHandle()) {
        return d->m_sender != nullptr ? d->m_sender->handle_output(handle) : 0;
    }
    const int status = d->m_stream->GetConnectStatus();
    if (status == Sablon::CSockStream::CONNECT_IN_PROGRESS) {
        MARDEL_LOG(6, "connecting...!\n");
        return 0;
    }
    if (status == Sablon::CSockStream::CONNECT_FAILED) {
        if (Mardel::getPrintLogLevel() >= 3) {
            char reason[1024] = {};
            d->m_stream->GetErrorText(reason, sizeof(reason));
            MARDEL_LOG(3, "cannot connect to dst Ip:Port! errno reason:%s\n", reason);
        }
        clearup();
        return -1;
    }
    if (d->m_use_ssl) {
        // The hand-shake starts here and goes on with the events of its
        // socket: this handler returns as soon as the peer owes bytes.
        if (!SSLConnect()) {
            MARDEL_LOG(3, "ssl connect error!\n");
            clearup();
            return -1;
        }
        return continue_tls();
    }
    SetCurrentPhrase(PHRASE_TRANSFER);
    return start_transfer();
} catch (...) {
    return end_on_exception();
}

// Advances the running TLS hand-shake; once it and the certificate checks
// are done the exchange moves on to the transfer. m_mutex held.
int CHttpDownloader::continue_tls() {
    const int state = ssl_step();
    if (state > 0)
        return 0;
    if (state < 0) {
        MARDEL_LOG(3, "ssl connect error!\n");
        clearup();
        return -1;
    }
    SetCurrentPhrase(PHRASE_TRANSFER);
    return start_transfer();
}

// Connected (and hand-shaken): the sender is made and the request queued,
// the stream waits for the answer. m_mutex held.
int CHttpDownloader::start_transfer() {
    CHttpDownloaderImpl* d = m_impl;
    // Input interest is added before output interest is dropped: with
    // exception interest alone in between, the reactor would switch the
    // socket to its exception watch and back.
    if (RegisterSock(*d->m_stream, MASK_INPUT | MASK_EXCEPTION,
                     detail::ReactorTimeout(d->m_timeout)) != 0) {
        MARDEL_LOG(2, "RegisterSock failed!\n");
        clearup();
        return -1;
    }
    UnregisterSock(*d->m_stream, MASK_OUTPUT);

    d->m_sender = Sablon::CStreamSender::Create();
    if (d->m_sender == nullptr) {
        MARDEL_LOG(2, "CStreamSender::Create failed!\n");
        clearup();
        return -1;
    }
    d->m_sender->WaitException(GetID());
    if (d->m_sender->Attach(this, d->m_stream) != 0) {
        MARDEL_LOG(2, "m_sender->Attach failed!\n");
        clearup();
        return -1;
    }
    d->m_connected = true;
    {
        std::lock_guard<std::mutex> wait_lock(d->m_wait.mutex);
        d->m_wait.sender_ready = true;
        d->m_wait.cond.notify_all();
    }
    if (!d->fit_sender(d->m_len)) {
        MARDEL_LOG(2, "m_sender->SetBufferSize failed, m_len: %d\n", d->m_len);
        clearup();
        return -1;
    }
    if (d->m_sender->Put(d->m_buf, d->m_len) < 0) {
        MARDEL_LOG(3, "m_sender->Put failed, should not happend. m_len:%d\n", d->m_len);
        clearup();
        return -1;
    }
    return 0;
}

// A complete interim answer (1xx other than 101 Switching Protocols, RFC 9110
// section 15.2) is not the result: the bytes after it start the next answer.
// Any number of them is dropped, as long as their headers together stay
// within kMaxInterimBytes (`interim_bytes` counts them for the exchange);
// beyond that the exchange fails as a parse error, with the parser reset so
// that no interim answer becomes the result. Returns the parser status after
// every interim answer was dropped.
static parse_status_t SkipInterimAnswers(CHttpParser& parser, bool head, int& interim_bytes) {
    parse_status_t status = parser.GetStatus();
    while (status == HTTP_PARSE_COMPLETE) {
        const int code = parser.GetStatusCode();
        if (code < 100 || code > 199 || code == 101)
            break;
        interim_bytes += http_parser_access::header_length(parser);
        if (interim_bytes > kMaxInterimBytes) {
            MARDEL_LOG(3, "interim answers too long, len: %d\n", interim_bytes);
            parser.Reset();
            return HTTP_PARSE_ERROR;
        }
        std::string rest;
        if (parser.GetExtraLength() > 0 && parser.GetExtraBuffer() != nullptr) {
            rest.assign(reinterpret_cast<const char*>(parser.GetExtraBuffer()),
                        static_cast<size_t>(parser.GetExtraLength()));
        }
        parser.Reset();
        parser.SetHeaderOnly(head);
        status = rest.empty() ? parser.GetStatus()
                              : parser.Append(rest.data(), static_cast<int>(rest.size()));
    }
    return status;
}

int CHttpDownloader::handle_input(int /*handle*/) try {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_stream == nullptr)
        return -1;
    if (d->m_tls != nullptr)
        return continue_tls();
    // Each round reads one piece; a full piece is followed by another read.
    char* const recv_buf = d->m_sink != nullptr ? d->m_stream_recv.data() : d->m_recv;
    const int piece = d->m_sink != nullptr ? kStreamPiece : kRecvPiece;
    const int pieces_per_event = kPiecesPerEvent * kRecvPiece / piece;
    int full_pieces = 0;
    for (;;) {
        const int got = d->m_stream->Recv(recv_buf, piece);
        if (got == 0)
            return 0;
        parse_status_t status = d->m_parser.GetStatus();
        // A read below 1 is the parser's end of input; a close after an answer
        // that is already complete has nothing to add. Bytes after an answer
        // that was reported were never asked for: they end the connection
        // below and are not parsed.
        if (got > 0 ? !d->m_finished
                    : status != HTTP_PARSE_COMPLETE && status != HTTP_PARSE_ERROR) {
            status = d->m_parser.Append(recv_buf, got);
        }
        if (got > 0 && !d->m_finished) {
            d->m_retry_unanswered = false;
            status = SkipInterimAnswers(d->m_parser, d->m_head, d->m_interim_bytes);
            d->follow_bytes_ahead();
        }

        if (got < 0) {
            // The peer closed or the stream failed: the connection is gone,
            // so a retry can only go over a new one.
            d->m_keep_alive = false;
            if (resend_on_new_connection())
                return 0;
            if (status == HTTP_PARSE_COMPLETE && !d->m_finished) {
                if (retry_with_auth())
                    return 0;
                if (d->m_finished)
                    return 0;
                if (sink_header())
                    SetCurrentPhrase(PHRASE_DONE);
            }
            clearup();
            return 0;
        }
        if (status == HTTP_PARSE_COMPLETE) {
            if (!d->m_finished) {
                if (retry_with_auth())
                    return 0;
                // The exchange may have ended inside the retry (a failed
                // SendRequest): its phase stands.
                if (d->m_finished)
                    return 0;
                if (!sink_header()) {
                    clearup();
                    return 0;
                }
                SetCurrentPhrase(PHRASE_DONE);
            }
            if (!d->m_keep_alive) {
                clearup();
                return 0;
            }
            const char* connection = d->m_parser.Value("Connection");
            // Bytes after the answer were never asked for (no request is
            // pipelined): the connection is out of step, so it is not kept.
            if (d->m_parser.GetExtraLength() > 0 ||
                (connection != nullptr && !text::equal_nocase(connection, "keep-alive"))) {
                d->m_keep_alive = false;
                clearup();
                return 0;
            }
            if (!d->m_finished) {
                d->m_finished = true;
                updateWWWAuthenticate();
                end_sink();
                Notify(d->m_notify_id, MSG_DOWNLOAD_END, 0);
                WakeWaiters(d->m_wait);
                return 0;
            }
            // Bytes after a reported answer that nobody asked for.
            d->m_keep_alive = false;
            clearup();
            return 0;
        }
        // INIT: only interim answers so far, the final one is still to come.
        if (status == HTTP_PARSE_INCOMPLETE || status == HTTP_PARSE_UNTIL_CLOSE ||
            status == HTTP_PARSE_INIT) {
            // A full piece means more may be waiting. One event takes at
            // most the bytes of kPiecesPerEvent pieces, so that the owner's
            // readers and the other handlers of this loop get their turn.
            // Over TCP the level-triggered input event comes back for the
            // rest; over TLS bytes already inside the TLS stream raise no
            // event, so the downloader posts itself a message that reads on
            // after the loop's other ready events.
            if (got != piece)
                return 0;
            if (++full_pieces < pieces_per_event)
                continue;
            if (d->m_use_ssl && d->m_connected &&
                static_cast<Sablon::CSslStream*>(d->m_stream)->HasPending())
                Notify(GetID(), kMsgReadOn, 0);
            return 0;
        }
        MARDEL_LOG(3, "parse error, status:%d\n", static_cast<int>(status));
        clearup();
        return 0;
    }
} catch (...) {
    return end_on_exception();
}

// An event handler met an exception (out of memory): the exchange ends as a
// failure of its current phase, with a level 2 line; nothing reaches the
// reactor.
int CHttpDownloader::end_on_exception() {
    MARDEL_LOG(2, "out of memory, the download ends\n");
    try {
        CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
        clearup();
    } catch (...) {
    }
    return -1;
}

int CHttpDownloader::handle_exception(int /*handle*/) try {
    MARDEL_LOG(3, "CHttpDownloader::handle_exception\n");
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    clearup();
    return 0;
} catch (...) {
    return end_on_exception();
}

// During the TLS hand-shake a time-out of its socket goes to the hand-shake,
// which fails once its own deadline has passed ("ssl connect error!").
int CHttpDownloader::handle_input_timeout(int /*handle*/) try {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_tls != nullptr)
        return continue_tls();
    // A raised low-water mark holds input events back until that much is
    // queued, so a peer that went slow looks silent. Bytes that did arrive
    // count as input, as they would without the mark: with the mark down
    // their event comes at once, and the mark stays down on this stream.
    if (d->m_low_water > 1 && d->m_stream != nullptr) {
        d->m_stream->SetReadLowWater(1);
        d->m_low_water = 0;
        if (d->m_stream->GetQueuedInput() != 0)
            return 0;
    }
    MARDEL_LOG(3, "CHttpDownloader::handle_input_timeout\n");
    clearup();
    return 0;
} catch (...) {
    return end_on_exception();
}

int CHttpDownloader::handle_output_timeout(int /*handle*/) try {
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    if (m_impl->m_tls != nullptr)
        return continue_tls();
    MARDEL_LOG(3, "CHttpDownloader handle_output_timeout\n");
    clearup();
    return 0;
} catch (...) {
    return end_on_exception();
}

int CHttpDownloader::handle_message(long from_id, unsigned int msg, long /*param*/) try {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_retry_downloader != nullptr) {
        // While the retry runs only its end notice ends this exchange.
        if (from_id != d->m_retry_downloader->GetID())
            return 0;
        MARDEL_LOG(6, "m_retry_downloader return\n");
        SetCurrentPhrase(d->m_retry_downloader->GetCurrentPhrase());
        clearup();
        return 0;
    }
    if (msg == kMsgReadOn && from_id == GetID()) {
        // Reading on over TLS after an input event that stopped at its share.
        if (d->m_stream != nullptr && d->m_connected)
            handle_input(d->m_stream->GetHandle());
    } else if (msg == Sablon::CStreamSender::MSG_SOCKET_EXCEPTION) {
        MARDEL_LOG(3, "socket exception!\n");
        if (!resend_on_new_connection())
            clearup();
    } else if (msg == Sablon::CStreamSender::MSG_BUFFER_SIZE) {
        MARDEL_LOG(4, "CHttpDownloder::handle_message MSG_BUFFER_SIZE recieved.\n");
        std::lock_guard<std::mutex> wait_lock(d->m_wait.mutex);
        ++d->m_wait.posts;
        d->m_wait.cond.notify_all();
    } else {
        MARDEL_LOG(3, "CHttpDownloder::handle_message unexpect message recieved, type:%d.\n",
                   static_cast<int>(msg));
    }
    return 0;
} catch (...) {
    return end_on_exception();
}

int CHttpDownloader::handle_close(Sablon::CNetHandler* /*handler*/) {
    CHttpDownloaderImpl* d = m_impl;
    {
        // No thread may still wait on this object when it is deleted.
        std::unique_lock<std::mutex> wait_lock(d->m_wait.mutex);
        d->m_wait.closing = true;
        d->m_wait.cond.notify_all();
        d->m_wait.cond.wait(wait_lock, [d] { return d->m_wait.waiters == 0; });
    }
    {
        CGuard<CRecursiveMutex> lock(d->m_mutex);
        d->end_sender();
        delete d->m_tls;
        d->m_tls = nullptr;
        if (d->m_stream != nullptr) {
            RemoveSock(*d->m_stream);
            d->m_stream = nullptr;
        }
        if (d->m_sock != nullptr) {
            RemoveSock(*d->m_sock);
            delete d->m_sock;
            d->m_sock = nullptr;
        }
        std::free(d->m_buf);
        d->m_buf = nullptr;
        if (d->m_retry_downloader != nullptr) {
            d->m_retry_downloader->Close();
            d->m_retry_downloader = nullptr;
        }
    }
    delete this;
    return 0;
}

int CHttpDownloader::SendRequest(const char* request, int len) {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (!d->m_keep_alive || d->m_stream == nullptr || d->m_sender == nullptr ||
        request == nullptr || len <= 0) {
        return -1;
    }
    // Fallible steps first: a refusal here leaves the previous exchange as it
    // was reported.
    char* copy = static_cast<char*>(std::calloc(static_cast<size_t>(len) + 1, 1));
    if (copy == nullptr)
        return -1;
    std::memcpy(copy, request, static_cast<size_t>(len));
    if (!d->fit_sender(len)) {
        MARDEL_LOG(2, "m_sender->SetBufferSize failed, m_len: %d\n", len);
        std::free(copy);
        return -1;
    }
    const bool head = detail::IsHeadRequest(copy, len);

    std::free(d->m_buf);
    d->m_buf = copy;
    d->m_len = len;
    d->m_finished = false;
    d->m_sink_header_sent = false;
    d->m_sink_failed = false;
    d->m_sink_dropped = false;
    d->m_interim_bytes = 0;
    d->m_parser.Reset();
    d->m_head = head;
    d->m_parser.SetHeaderOnly(head);
    // A new exchange: its failures are transfer failures.
    SetCurrentPhrase(PHRASE_TRANSFER);
    if (d->m_sender->Put(d->m_buf, d->m_len) < 0) {
        MARDEL_LOG(3, "Put failed, should not happend. m_len:%d\n", d->m_len);
        // The connection of an authenticated retry is gone already.
        if (resend_on_new_connection())
            return 0;
        clearup();
        return -1;
    }
    if (RegisterSock(*d->m_stream, MASK_INPUT, detail::ReactorTimeout(d->m_timeout)) != 0) {
        MARDEL_LOG(2, "RegisterSock failed!\n");
        clearup();
        return -1;
    }
    return 0;
}

bool CHttpDownloader::WaitBufferSize(unsigned int size) {
    CHttpDownloaderImpl* d = m_impl;
    BufferWait& w = d->m_wait;
    uint64_t end_count;
    {
        // Exchanges end under m_mutex: taken first, the end count read here
        // belongs to the exchange that is still running. One that has already
        // ended reports no free space any more.
        CGuard<CRecursiveMutex> lock(d->m_mutex);
        if (d->m_finished)
            return false;
        std::lock_guard<std::mutex> wait_lock(w.mutex);
        if (w.closing)
            return false;
        ++w.waiters;
        end_count = w.end_count;
        // A report left over from an earlier, abandoned wait is stale.
        if (w.waiters == 1)
            w.posts = 0;
    }
    auto leave = [&w](bool result) {
        std::lock_guard<std::mutex> wait_lock(w.mutex);
        --w.waiters;
        w.cond.notify_all();
        return result;
    };
    {
        std::unique_lock<std::mutex> wait_lock(w.mutex);
        w.cond.wait(wait_lock,
                    [&] { return w.sender_ready || w.closing || w.end_count != end_count; });
        if (!w.sender_ready || w.closing || w.end_count != end_count) {
            --w.waiters;
            w.cond.notify_all();
            return false;
        }
    }
    {
        CGuard<CRecursiveMutex> lock(d->m_mutex);
        if (d->m_sender == nullptr || d->m_stream == nullptr)
            return leave(false);
        if (d->m_sender->WaitBufferSize(GetID(), size) < 0)
            return leave(false);
    }
    std::unique_lock<std::mutex> wait_lock(w.mutex);
    w.cond.wait(wait_lock, [&] { return w.posts > 0 || w.closing || w.end_count != end_count; });
    bool result = false;
    if (w.posts > 0) {
        --w.posts;
        result = true;
    }
    --w.waiters;
    w.cond.notify_all();
    return result;
}

int CHttpDownloader::DetachSock() {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_stream == nullptr)
        return -1;
    // The sender lets go of the descriptor before it is handed out.
    d->end_sender();
    RemoveSock(*d->m_stream);
    const int fd = d->m_stream->Detach();
    d->m_stream = nullptr;
    WakeWaiters(d->m_wait);
    return fd;
}

CHttpParser* CHttpDownloader::GetResult() {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_retry_downloader != nullptr)
        return d->m_retry_downloader->GetResult();
    const parse_status_t status = d->m_parser.GetStatus();
    if (status == HTTP_PARSE_COMPLETE || status == HTTP_PARSE_UNTIL_CLOSE)
        return &d->m_parser;
    return nullptr;
}

CHttpDownloader::ErrorReason CHttpDownloader::GetErrorReason() {
    CGuard<CRecursiveMutex> lock(m_impl->m_mutex);
    if (!m_impl->m_finished)
        return ERROR_NONE;
    const DownloadPhrase phrase = GetCurrentPhrase();
    switch (phrase) {
        case PHRASE_IDLE:
            return ERROR_NOT_STARTED;
        case PHRASE_PARSE_URL:
            return ERROR_PARSE_URL;
        case PHRASE_CONNECTING:
            return ERROR_CONNECT;
        case PHRASE_TRANSFER:
            return ERROR_TRANSFER;
        case PHRASE_DONE:
            return ERROR_NONE;
    }
    MARDEL_LOG(2, "invalid phrase: %d\n", static_cast<int>(phrase));
    return ERROR_NONE;
}

int CHttpDownloader::GetTotalContentSize() {
    return SaturatedInt(GetTotalContentSize64());
}

int CHttpDownloader::GetCurrentContentSize() {
    return SaturatedInt(GetCurrentContentSize64());
}

long long CHttpDownloader::GetTotalContentSize64() {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_retry_downloader != nullptr)
        return d->m_retry_downloader->GetTotalContentSize64();
    const char* length = d->m_parser.Value("Content-Length");
    if (length != nullptr)
        return std::strtoll(length, nullptr, 10);
    const parse_status_t status = d->m_parser.GetStatus();
    if (status == HTTP_PARSE_COMPLETE || status == HTTP_PARSE_UNTIL_CLOSE)
        return d->m_parser.GetBodyLength();
    return -1;
}

long long CHttpDownloader::GetCurrentContentSize64() {
    CHttpDownloaderImpl* d = m_impl;
    CGuard<CRecursiveMutex> lock(d->m_mutex);
    if (d->m_retry_downloader != nullptr)
        return d->m_retry_downloader->GetCurrentContentSize64();
    return d->m_parser.GetBodyLength();
}

}  // namespace Corvio
}  // namespace Halvex
