#include "Sablon/SslStream.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "Mardel/Log.h"
#include "SockIo.h"

namespace Halvex {
namespace Sablon {
namespace {

// Plain text handed to one SSL_write at most: a single record, so that after
// a blocked write OpenSSL holds exactly these bytes and a retry must repeat
// exactly them (the multi-record write paths are never taken).
const int kWriteChunk = 16384;

// ---- a socket BIO that never raises SIGPIPE --------------------------------
//
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE on a
// connection the peer has reset; a library must not change the process's
// signal disposition, so the stream writes with send(MSG_NOSIGNAL) instead.
// The BIO keeps the descriptor number only; it never closes it.

struct SockBio {
    int fd;
    bool eof;
};

int sock_bio_write(BIO* bio, const char* data, int len) {
    SockBio* sb = static_cast<SockBio*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = sock_io::send_some(sb->fd, data, static_cast<size_t>(len));
    if (n >= 0)
        return static_cast<int>(n);
    if (sock_io::would_block(sock_io::last_error()))
        BIO_set_retry_write(bio);
    return -1;
}

int sock_bio_read(BIO* bio, char* buf, int size) {
    SockBio* sb = static_cast<SockBio*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = sock_io::recv_some(sb->fd, buf, static_cast<size_t>(size));
    if (n > 0)
        return static_cast<int>(n);
    if (n == 0) {
        sb->eof = true;
        return 0;
    }
    if (sock_io::would_block(sock_io::last_error()))
        BIO_set_retry_read(bio);
    return -1;
}

int sock_bio_puts(BIO* bio, const char* text) {
    return sock_bio_write(bio, text, static_cast<int>(strlen(text)));
}

long sock_bio_ctrl(BIO* bio, int cmd, long, void* ptr) {
    SockBio* sb = static_cast<SockBio*>(BIO_get_data(bio));
    switch (cmd) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            return sb && sb->eof ? 1 : 0;
        case BIO_C_GET_FD:
            if (!sb)
                return -1;
            if (ptr)
                *static_cast<int*>(ptr) = sb->fd;
            return sb->fd;
        default:
            return 0;
    }
}

int sock_bio_create(BIO* bio) {
    BIO_set_data(bio, nullptr);
    BIO_set_init(bio, 0);
    return 1;
}

int sock_bio_destroy(BIO* bio) {
    delete static_cast<SockBio*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

BIO_METHOD* sock_bio_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Sablon socket");
        if (m) {
            BIO_meth_set_write(m, sock_bio_write);
            BIO_meth_set_read(m, sock_bio_read);
            BIO_meth_set_puts(m, sock_bio_puts);
            BIO_meth_set_ctrl(m, sock_bio_ctrl);
            BIO_meth_set_create(m, sock_bio_create);
            BIO_meth_set_destroy(m, sock_bio_destroy);
        }
        return m;
    }();
    return method;
}

// The text of a socket error after a failed call; 0 means the peer closed.
std::string socket_error_text(int err) {
    if (err == 0)
        return "connection closed by peer";
    char text[256];
    sock_io::error_text(err, text, sizeof(text));
    return text;
}

BIO* new_sock_bio(int fd) {
    BIO_METHOD* method = sock_bio_method();
    if (!method)
        return nullptr;
    BIO* bio = BIO_new(method);
    if (!bio)
        return nullptr;
    BIO_set_data(bio, new SockBio{fd, false});
    BIO_set_init(bio, 1);
    return bio;
}

// ---- helpers ----------------------------------------------------------------

int no_password(char*, int, int, void*) {
    return 0;
}

// The first queued OpenSSL error as text (and the queue emptied).
std::string ssl_error_text() {
    unsigned long code = ERR_get_error();
    std::string text;
    if (code != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof(buf));
        text = buf;
    }
    ERR_clear_error();
    return text.empty() ? "unknown error" : text;
}

bool is_ip_literal(const std::string& name) {
    unsigned char addr[16];
    return inet_pton(AF_INET, name.c_str(), addr) == 1 ||
           inet_pton(AF_INET6, name.c_str(), addr) == 1;
}

// Index of the ex-data slot that carries the expected server name to the
// verify callback.
int name_index() {
    static int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Chain verification result first; then, for the server's own certificate,
// the expected name: an IP literal matches an IP subjectAltName, and also a
// name as OpenSSL's host check sees it (DNS subjectAltNames, or the common
// name when there are none); any other text goes through the host check.
int verify_callback(int preverify_ok, X509_STORE_CTX* store) {
    if (!preverify_ok)
        return 0;
    if (X509_STORE_CTX_get_error_depth(store) != 0)
        return 1;
    SSL* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const std::string* name =
        ssl ? static_cast<const std::string*>(SSL_get_ex_data(ssl, name_index())) : nullptr;
    if (!name || name->empty())
        return 1;
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    bool match = X509_check_host(cert, name->c_str(), name->size(), 0, nullptr) == 1;
    if (!match && is_ip_literal(*name))
        match = X509_check_ip_asc(cert, name->c_str(), 0) == 1;
    if (match)
        return 1;
    X509_STORE_CTX_set_error(store, is_ip_literal(*name) ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                                         : X509_V_ERR_HOSTNAME_MISMATCH);
    return 0;
}

using Clock = std::chrono::steady_clock;

}  // namespace

// One client context for every stream of the process: making a context costs
// far more than a connection's own state (OpenSSL 3 fetches its algorithms
// per context). Everything that differs between streams (trusted store,
// verification, client identity, server name) is set on the connection.
// Made on first use; never changed afterwards, so it may be shared by threads.
SSL_CTX* shared_client_ctx() {
    static SSL_CTX* const ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (!c)
            return c;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Read whole socket buffers at once; Recv's drain loop makes sure no
        // decrypted byte stays behind.
        SSL_CTX_set_read_ahead(c, 1);
        SSL_CTX_set_default_passwd_cb(c, no_password);
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        return c;
    }();
    return ctx;
}

struct CSslStream::Impl {
    SSL* ssl = nullptr;
    X509_STORE* trust = nullptr;  // one reference, or null
    uint32_t timeout_ms = 5000;
    std::string server_name;
    // Client identity from SetPemPath, or null.
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    STACK_OF(X509) * chain = nullptr;
    bool pem_failed = false;  // a PEM path was set and could not be loaded
    std::string failure;      // why the last set-up or hand-shake failed
    // The hand-shake in steps: the TCP stream it runs over (the caller's
    // until it is done) and its deadline.
    CSockStream* tcp = nullptr;
    Clock::time_point deadline;
    bool connected = false;
    bool closed = false;    // end of stream or failure seen: every read/write is negative
    bool fatal = false;     // a fatal TLS error: no close_notify may be sent
    int write_pending = 0;  // bytes of a blocked SSL_write the caller must repeat

    void drop_identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
        sk_X509_pop_free(chain, X509_free);
        cert = nullptr;
        key = nullptr;
        chain = nullptr;
    }
};

CSslStream::CSslStream() : m_impl(new Impl) {}

CSslStream::~CSslStream() {
    if (m_impl->ssl) {
        // close_notify once, without waiting for the peer's (RFC 8446
        // section 6.1); never on a descriptor handed out with Detach, nor
        // after a fatal error.
        if (m_impl->connected && !m_impl->fatal && m_handle >= 0)
            SSL_shutdown(m_impl->ssl);
        SSL_free(m_impl->ssl);
    }
    X509_STORE_free(m_impl->trust);
    m_impl->drop_identity();
    ERR_clear_error();
    delete m_impl;
    // The descriptor (if still held) is closed by CSock.
}

int CSslStream::SetPemPath(const char* path) {
    if (!path || !*path)
        return -1;
    if (m_impl->connected) {
        m_impl->pem_failed = true;
        return -1;
    }
    // Everything is read and checked before anything is kept, so that a
    // failure leaves no half-set identity; the failure is then sticky: the
    // hand-shake refuses to run without the certificate the caller asked for.
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    STACK_OF(X509)* chain = sk_X509_new_null();
    BIO* bio = BIO_new_file(path, "rb");
    const char* why = nullptr;
    if (!bio || !chain) {
        why = "cannot open the file";
    } else if (!(cert = PEM_read_bio_X509(bio, nullptr, no_password, nullptr))) {
        why = "no certificate";
    } else {
        while (X509* extra = PEM_read_bio_X509(bio, nullptr, no_password, nullptr))
            sk_X509_push(chain, extra);
        ERR_clear_error();
        if (BIO_reset(bio) != 0 ||
            !(key = PEM_read_bio_PrivateKey(bio, nullptr, no_password, nullptr))) {
            why = "no readable private key";
        } else if (X509_check_private_key(cert, key) != 1) {
            why = "the key does not belong to the certificate";
        }
    }
    BIO_free(bio);
    m_impl->drop_identity();
    if (why) {
        X509_free(cert);
        EVP_PKEY_free(key);
        sk_X509_pop_free(chain, X509_free);
        ERR_clear_error();
        m_impl->pem_failed = true;
        m_impl->failure = std::string("client certificate not loadable from ") + path + ": " + why;
        MARDEL_LOG(4, "cannot load PEM file %s: %s\n", path, why);
        return -1;
    }
    m_impl->cert = cert;
    m_impl->key = key;
    m_impl->chain = chain;
    m_impl->pem_failed = false;
    return 0;
}

int CSslStream::SetOption(int option, int value, void* data) {
    if (m_impl->connected || m_impl->ssl)
        return -1;
    switch (option) {
        case OPT_TRUST_CA: {
            CSslX509* ca = static_cast<CSslX509*>(data);
            X509_STORE* store = ca ? static_cast<X509_STORE*>(ca->GetStore()) : nullptr;
            if (value != 1 || !store)
                return -1;
            X509_STORE_up_ref(store);
            X509_STORE_free(m_impl->trust);
            m_impl->trust = store;
            return 0;
        }
        case OPT_TIMEOUT: {
            const uint32_t* ms = static_cast<const uint32_t*>(data);
            if (!ms || *ms == 0)
                return -1;
            m_impl->timeout_ms = *ms;
            return 0;
        }
        case OPT_SERVER_NAME: {
            const char* name = static_cast<const char*>(data);
            // RFC 6066 section 3: a host name of at most 255 bytes.
            if (!name || !*name || strlen(name) > 255)
                return -1;
            m_impl->server_name = name;
            return 0;
        }
        default:
            return -1;
    }
}

int CSslStream::StartHandshake(CSockStream* tcp) {
    Impl& im = *m_impl;
    SSL_CTX* ctx = shared_client_ctx();
    if (!tcp || tcp == this || tcp->GetHandle() < 0 || !ctx || im.connected || im.ssl) {
        MARDEL_LOG(4, "TLS connect refused: no connected stream or stream already used\n");
        if (!im.ssl)
            im.failure = "no connected stream, or the stream was already used";
        return -1;
    }
    if (im.pem_failed) {
        // failure still names the file and why it did not load.
        MARDEL_LOG(4, "TLS connect refused: the client certificate could not be loaded\n");
        return -1;
    }
    im.failure.clear();
    SSL* ssl = SSL_new(ctx);
    BIO* bio = ssl ? new_sock_bio(tcp->GetHandle()) : nullptr;
    if (!bio) {
        im.failure = "TLS set-up failed: " + ssl_error_text();
        MARDEL_LOG(2, "%s\n", im.failure.c_str());
        SSL_free(ssl);
        return -1;
    }
    SSL_set_bio(ssl, bio, bio);
    if (im.cert && (SSL_use_certificate(ssl, im.cert) != 1 ||
                    SSL_use_PrivateKey(ssl, im.key) != 1 || SSL_set1_chain(ssl, im.chain) != 1)) {
        im.failure = "client certificate refused: " + ssl_error_text();
        MARDEL_LOG(2, "TLS %s\n", im.failure.c_str());
        SSL_free(ssl);
        return -1;
    }
    bool ip_name = !im.server_name.empty() && is_ip_literal(im.server_name);
    // RFC 6066 section 3: a literal address is never sent as a server name.
    if (!im.server_name.empty() && !ip_name)
        SSL_set_tlsext_host_name(ssl, im.server_name.c_str());
    if (im.trust) {
        SSL_set1_verify_cert_store(ssl, im.trust);
        SSL_set_ex_data(ssl, name_index(), &im.server_name);
        SSL_set_verify(ssl, SSL_VERIFY_PEER, verify_callback);
    } else {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    }
    im.ssl = ssl;
    im.tcp = tcp;
    im.deadline = Clock::now() + std::chrono::milliseconds(im.timeout_ms);
    return 0;
}

uint32_t CSslStream::HandshakeMsLeft() const {
    const Impl& im = *m_impl;
    if (!im.tcp)
        return 0;
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(im.deadline - Clock::now()).count();
    // Rounded up, so that a waiter never wakes just before the deadline.
    return left < 0 ? 0 : static_cast<uint32_t>(left >= UINT32_MAX ? UINT32_MAX : left + 1);
}

int CSslStream::HandshakeStep() {
    Impl& im = *m_impl;
    if (im.connected)
        return HANDSHAKE_DONE;
    if (!im.tcp)
        return HANDSHAKE_FAILED;
    SSL* ssl = im.ssl;
    ERR_clear_error();
    const int rc = SSL_connect(ssl);
    if (rc == 1) {
        // Success: the TLS stream takes over the descriptor and releases the
        // TCP stream object, exactly once, here.
        im.connected = true;
        m_handle = im.tcp->Detach();
        delete im.tcp;
        im.tcp = nullptr;
        MARDEL_LOG(6, "TLS connected: %s, %s\n", SSL_get_version(ssl), SSL_get_cipher_name(ssl));
        return HANDSHAKE_DONE;
    }
    const int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        if (Clock::now() < im.deadline)
            return err == SSL_ERROR_WANT_READ ? HANDSHAKE_WANT_INPUT : HANDSHAKE_WANT_OUTPUT;
        im.failure = "hand-shake timed out after " + std::to_string(im.timeout_ms) + " ms";
    } else {
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            im.failure =
                std::string("certificate not verified: ") + X509_verify_cert_error_string(verify);
        } else if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
            im.failure = "hand-shake failed: " + socket_error_text(sock_io::last_error());
        } else {
            im.failure = "hand-shake failed: " + ssl_error_text();
        }
    }
    // The TCP stream stays the caller's, untouched.
    ERR_clear_error();
    SSL_free(ssl);
    im.ssl = nullptr;
    im.tcp = nullptr;
    MARDEL_LOG(4, "TLS connect failed: %s\n", im.failure.c_str());
    return HANDSHAKE_FAILED;
}

int CSslStream::Connect(CSockStream* tcp) {
    if (StartHandshake(tcp) < 0)
        return -1;
    const int fd = tcp->GetHandle();
    for (;;) {
        const int state = HandshakeStep();
        if (state == HANDSHAKE_DONE)
            return 0;
        if (state == HANDSHAKE_FAILED)
            return -1;
        // A limit of up to 2^32-1 ms does not fit poll's int: wait in steps;
        // the step after the deadline fails.
        const uint32_t left = HandshakeMsLeft();
        if (sock_io::poll_one(fd, state == HANDSHAKE_WANT_INPUT ? POLLIN : POLLOUT,
                              left > INT_MAX ? INT_MAX : static_cast<int>(left), nullptr) < 0) {
            m_impl->failure = "poll failed: " + socket_error_text(sock_io::last_error());
            MARDEL_LOG(4, "TLS connect failed: %s\n", m_impl->failure.c_str());
            SSL_free(m_impl->ssl);
            m_impl->ssl = nullptr;
            m_impl->tcp = nullptr;
            return -1;
        }
    }
}

const char* CSslStream::GetFailureText() const {
    return m_impl->failure.c_str();
}

int CSslStream::Recv(char* buf, int size) {
    Impl& im = *m_impl;
    if (!buf || size < 0 || !im.connected || m_handle < 0)
        return -1;
    if (im.closed)
        return -1;
    if (size == 0)
        return 0;
    int total = 0;
    // Drain: stop only with the buffer full or when OpenSSL has asked the
    // socket and found nothing; a short read therefore means nothing stays
    // buffered inside OpenSSL where no input event would fetch it.
    while (total < size) {
        ERR_clear_error();
        int n = SSL_read(im.ssl, buf + total, size - total);
        if (n > 0) {
            total += n;
            continue;
        }
        int err = SSL_get_error(im.ssl, n);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
            break;
        // close_notify, end of file or failure: hand out what was read; the
        // next call reports the end (never 0 at end of stream).
        im.closed = true;
        if (err != SSL_ERROR_ZERO_RETURN) {
            im.fatal = true;
            m_last_error = err == SSL_ERROR_SYSCALL ? sock_io::last_error() : 0;
        }
        ERR_clear_error();
        return total > 0 ? total : -1;
    }
    return total;
}

int CSslStream::Send(const char* data, int len) {
    Impl& im = *m_impl;
    if (!data || len < 0 || !im.connected || m_handle < 0 || im.closed)
        return -1;
    if (len == 0)
        return 0;
    int chunk = len < kWriteChunk ? len : kWriteChunk;
    if (im.write_pending > 0) {
        // A retry after 0: OpenSSL holds a record made of the first
        // write_pending bytes and must see them again, no fewer.
        if (len < im.write_pending) {
            MARDEL_LOG(4, "TLS send retry with %d bytes, %d expected\n", len, im.write_pending);
            im.closed = im.fatal = true;
            return -1;
        }
        chunk = im.write_pending;
    }
    ERR_clear_error();
    int n = SSL_write(im.ssl, data, chunk);
    if (n > 0) {
        im.write_pending = 0;
        return n;
    }
    int err = SSL_get_error(im.ssl, n);
    if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) {
        im.write_pending = chunk;
        return 0;
    }
    im.closed = im.fatal = true;
    m_last_error = err == SSL_ERROR_SYSCALL ? sock_io::last_error() : 0;
    ERR_clear_error();
    return -1;
}

bool CSslStream::HasPending() const {
    const Impl& im = *m_impl;
    return im.connected && !im.closed && (SSL_pending(im.ssl) > 0 || SSL_has_pending(im.ssl) == 1);
}

int CSslStream::GetPeerCert(CSslX509& cert) {
    if (!m_impl->connected)
        return -1;
    X509* peer = SSL_get1_peer_certificate(m_impl->ssl);
    if (!peer)
        return -1;
    cert.SetCert(peer);
    X509_free(peer);
    return 0;
}

}  // namespace Sablon
}  // namespace Halvex
