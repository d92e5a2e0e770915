// A TLS client stream on OpenSSL over a connected non-blocking TCP stream.
//
// Options (SetOption(option, value, data)) before the hand-shake starts;
// each gives 0, or -1 for an unknown option, bad data or a hand-shake already
// started (the option is then left as it was):
//   OPT_TRUST_CA  (1, value 1): data is a CSslX509* holding a trusted store
//                 (SetTrustCA done); the stream keeps its own reference to
//                 the store. The server's chain is verified during the
//                 hand-shake and one that does not verify fails it. Without
//                 this option any certificate is accepted.
//   OPT_TIMEOUT   (4, value 0): data points to a uint32_t, the hand-shake's
//                 time limit in milliseconds (default 5000; 0 is refused).
//   OPT_SERVER_NAME (6, value 0): data is a NUL-terminated name of at most
//                 255 bytes. A host name is sent as SNI; a literal IPv4 or
//                 IPv6 address is not (RFC 6066 section 3). With a trusted CA
//                 the certificate must also match it, as OpenSSL's host check
//                 does: DNS subjectAltNames, or the common name when there
//                 are none; a literal address also matches an IP
//                 subjectAltName.
//
// The hand-shake (TLS 1.2 or newer) runs either in steps or at once:
//   StartHandshake(tcp) sets the stream up over `tcp` (connected,
//     non-blocking) with the options and PEM file set so far, and starts the
//     time limit: the whole hand-shake must end within it from here, however
//     many steps it takes. 0, or negative when refused (no connected stream,
//     a stream already used, a PEM file that did not load, set-up failure).
//   HandshakeStep() advances it without blocking and tells what comes next:
//     HANDSHAKE_DONE         finished; the TLS stream has taken over `tcp`
//     HANDSHAKE_WANT_INPUT   call again when the socket is readable
//     HANDSHAKE_WANT_OUTPUT  call again when the socket is writable
//     HANDSHAKE_FAILED       ended for good (also when the time limit has
//                            passed and the peer still owes bytes)
//     A waiting caller should give up waiting after HandshakeMsLeft() and
//     then call HandshakeStep() once more, which fails when the limit passed.
//   Connect(tcp) does both, blocking the caller for at most the time limit:
//     0 or negative.
// GetFailureText() says why the last set-up or hand-shake failed, in words
// meant for a log line or a user: the certificate verification's reason as
// OpenSSL names it (X509_verify_cert_error_string), the time limit, the
// client certificate file, or the TLS error.
// Ownership of the TCP stream:
//   - success: the TLS stream takes its descriptor and deletes the
//     CSockStream object at once (it must have been made with new); the
//     caller must not use or delete it afterwards. The descriptor stays the
//     same, so a reactor registration made for it carries over. It is closed
//     when the TLS stream is destroyed (after a close_notify), unless it was
//     handed out with Detach.
//   - while the steps run and after a failure: the TCP stream stays the
//     caller's (to delete, and to register with its reactor under its own
//     descriptor). Destroying a TLS stream in the middle of its steps is
//     allowed and leaves the TCP stream alone.
// StartHandshake or Connect is refused while a hand-shake runs and after one
// succeeded; after a failure the stream may be set up again.
//
// Recv drains: it keeps reading until the caller's buffer is full or OpenSSL
// needs more bytes from the socket, so a short read means nothing is left
// buffered inside OpenSSL. It gives the count, 0 when nothing can be read
// now, and a negative value at the end of the stream (close_notify, end of
// file, reset) or on failure, never 0 there. Bytes read before the end are
// handed out first; the next call is negative.
//
// Send writes at most one TLS record (16384 bytes) per call: the count
// taken, 0 when the socket takes nothing now, negative on failure. After a 0
// OpenSSL holds a record made of the leading bytes: the caller must call
// again with the same leading bytes and at least as many of them (the buffer
// may have moved); a shorter retry is refused as a failure.
#pragma once

#include <cstdint>

#include "Sablon/Export.h"
#include "Sablon/Sock.h"
#include "Sablon/SslX509.h"

namespace Halvex {
namespace Sablon {

class SABLON_API CSslStream : public CSockStream {
public:
    enum Option { OPT_TRUST_CA = 1, OPT_TIMEOUT = 4, OPT_SERVER_NAME = 6 };
    enum HandshakeState {
        HANDSHAKE_FAILED = -1,
        HANDSHAKE_DONE = 0,
        HANDSHAKE_WANT_INPUT = 1,
        HANDSHAKE_WANT_OUTPUT = 2
    };

    CSslStream();
    ~CSslStream() override;

    // A PEM file holding the client certificate (then any chain
    // certificates) and its unencrypted key, for servers that ask for one.
    // Negative when the file cannot be loaded or the key does not belong to
    // the certificate: nothing is installed and Connect is then refused
    // until a later SetPemPath succeeds. Null or "" is refused without that
    // effect.
    int SetPemPath(const char* path);
    // 0, or negative for an unknown option or bad data.
    int SetOption(int option, int value, void* data);
    // Hand-shake over `tcp` (see above).
    int StartHandshake(CSockStream* tcp);
    int HandshakeStep();
    // Milliseconds left of the hand-shake's time limit; 0 once it passed or
    // when no hand-shake is running.
    uint32_t HandshakeMsLeft() const;
    int Connect(CSockStream* tcp);
    // Why the last set-up or hand-shake failed; "" when nothing failed.
    const char* GetFailureText() const;
    int Recv(char* buf, int size) override;
    int Send(const char* data, int len) override;
    // Whether bytes received from the socket are still held inside the
    // stream (a decrypted record not yet read, or raw bytes read ahead):
    // they raise no input event on the socket, so a reader that stops before
    // a short Recv must come back for them by itself.
    bool HasPending() const;
    // The server's certificate into `cert` (which takes its own reference);
    // negative before a successful hand-shake.
    int GetPeerCert(CSslX509& cert);

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace Sablon
}  // namespace Halvex
