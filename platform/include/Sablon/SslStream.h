// A TLS client stream on OpenSSL over a connected non-blocking TCP stream.
//
// Options (SetOption(option, value, data)) before Connect:
//   OPT_TRUST_CA  (1, value 1): data is a CSslX509* whose store verifies the
//                 server's chain during the hand-shake; a chain that does not
//                 verify fails it. Without it any certificate is accepted.
//   OPT_TIMEOUT   (4, value 0): data points to a uint32_t, the hand-shake's
//                 time limit in milliseconds (default 5000).
//   OPT_SERVER_NAME (6, value 0): data is a NUL-terminated host name, sent as
//                 SNI; with a trusted CA the certificate must also match it.
//
// Connect runs the whole hand-shake, blocking the caller for at most the
// time limit. On success the TLS stream takes over the TCP stream: it takes
// its descriptor and deletes the CSockStream object (which must have been
// made with new); the caller must not use it afterwards. On failure the TCP
// stream is untouched and stays the caller's.
//
// Recv drains: it keeps reading until the caller's buffer is full or OpenSSL
// needs more bytes from the socket, so a short read means nothing is left
// buffered inside OpenSSL.
#pragma once

#include "Sablon/Export.h"
#include "Sablon/Sock.h"
#include "Sablon/SslX509.h"

namespace Halvex {
namespace Sablon {

class SABLON_API CSslStream : public CSockStream {
public:
    enum Option { OPT_TRUST_CA = 1, OPT_TIMEOUT = 4, OPT_SERVER_NAME = 6 };

    CSslStream();
    ~CSslStream() override;

    // A PEM file holding the client certificate and its key, for servers that
    // ask for one; negative when the file cannot be loaded (the hand-shake
    // must then not proceed).
    int SetPemPath(const char* path);
    // 0, or negative for an unknown option or bad data.
    int SetOption(int option, int value, void* data);
    // Hand-shake over `tcp` (see above); 0 or negative.
    int Connect(CSockStream* tcp);
    int Recv(char* buf, int size) override;
    int Send(const char* data, int len) override;
    // The server's certificate into `cert`; negative when there is none.
    int GetPeerCert(CSslX509& cert);

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace Sablon
}  // namespace Halvex
