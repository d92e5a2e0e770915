// corvio-demo-server: a loopback HTTPS server for scripts/demo.
//
// Makes a CA and a server certificate for 127.0.0.1 on the spot, listens on
// 127.0.0.1 (ephemeral port) and plays two connections:
//   1. any request -> 401 with a Digest challenge (qop auth), then close;
//   2. the retried request -> 200 with a chunked body, then close.
// It writes "port=<port>" and "ca=<CA certificate path>" lines into the info
// file (complete once it exists), then waits until both connections ended,
// a signal (INT, TERM) arrives or the time limit passes. Before it exits it
// prints what the client sent and whether the Digest response of the second
// request is right for the expected user and password (RFC 2617 section
// 3.2.2). The CA file is removed at exit.
//
// Usage: corvio-demo-server --info FILE [--user U] [--pass P] [--seconds N]
#include <openssl/evp.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "support/CertMaker.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"

using corvio_test::CertMaker;
using corvio_test::LoopbackServer;
using corvio_test::Step;

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

std::string md5_hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

// The value of the request's Authorization field ("" when none).
std::string authorization(const std::string& request) {
    const std::string name = "\r\nAuthorization: ";
    const size_t at = request.find(name);
    if (at == std::string::npos)
        return "";
    const size_t start = at + name.size();
    return request.substr(start, request.find("\r\n", start) - start);
}

// k=v and k="v" pairs of a Digest credentials value.
std::map<std::string, std::string> digest_params(const std::string& value) {
    std::map<std::string, std::string> params;
    size_t i = value.find(' ');
    while (i != std::string::npos && i < value.size()) {
        while (i < value.size() && (value[i] == ' ' || value[i] == ','))
            ++i;
        const size_t eq = value.find('=', i);
        if (eq == std::string::npos)
            break;
        const std::string key = value.substr(i, eq - i);
        std::string val;
        if (eq + 1 < value.size() && value[eq + 1] == '"') {
            const size_t close = value.find('"', eq + 2);
            val = value.substr(eq + 2, close - eq - 2);
            i = close == std::string::npos ? close : close + 1;
        } else {
            const size_t comma = value.find(',', eq + 1);
            val = value.substr(eq + 1, comma == std::string::npos ? comma : comma - eq - 1);
            i = comma;
        }
        params[key] = val;
    }
    return params;
}

std::string first_line(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

}  // namespace

int main(int argc, char** argv) {
    std::string info, user = "demo", pass = "corvio", method = "GET";
    int seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--info")
            info = argv[i + 1];
        else if (opt == "--user")
            user = argv[i + 1];
        else if (opt == "--pass")
            pass = argv[i + 1];
        else if (opt == "--seconds")
            seconds = std::atoi(argv[i + 1]);
    }
    if (info.empty() || seconds <= 0 || seconds > 600) {
        std::fprintf(stderr,
                     "usage: corvio-demo-server --info FILE [--user U] [--pass P] "
                     "[--seconds 1..600]\n");
        return 2;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    CertMaker certs;
    if (!certs.Ok()) {
        std::fprintf(stderr, "demo-server: cannot make certificates: %s\n", certs.Error().c_str());
        return 1;
    }
    const std::string realm = "corvio-demo";
    const std::string nonce = md5_hex(certs.Dir() + std::to_string(seconds));
    const std::string challenge = "Digest realm=\"" + realm + "\", nonce=\"" + nonce +
                                  "\", qop=\"auth\", algorithm=MD5, opaque=\"5ccc069c\"";
    std::string body;
    const char* lines[] = {
        "Hello from the corvio demo server.\n",
        "This body came in chunks, over TLS, after a Digest challenge.\n",
        "Line 3: the client verified the server against a CA made a moment ago.\n",
        "Line 4: the end.\n"};
    for (const char* line : lines) {
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", std::strlen(line));
        body += size;
        body += line;
        body += "\r\n";
    }
    body += "0\r\n\r\n";

    LoopbackServer::Options options;
    options.tls = true;
    options.cert_file = certs.server_ip_san.cert;
    options.key_file = certs.server_ip_san.key;
    options.io_timeout_ms = seconds * 1000;
    options.linger_ms = 500;
    LoopbackServer server(
        options, {{Step::ReadUntil("\r\n\r\n"),
                   Step::Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: " + challenge +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"),
                   Step::Close()},
                  {Step::ReadUntil("\r\n\r\n"),
                   Step::Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                              "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
                              body),
                   Step::Close()}});
    if (!server.Ok()) {
        std::fprintf(stderr, "demo-server: cannot listen: %s\n", server.Error().c_str());
        return 1;
    }
    {
        const std::string partial = info + ".part";
        std::ofstream file(partial);
        file << "port=" << server.Port() << "\nca=" << certs.ca.cert << "\n";
        file.close();
        if (!file || std::rename(partial.c_str(), info.c_str()) != 0) {
            std::fprintf(stderr, "demo-server: cannot write %s\n", info.c_str());
            return 1;
        }
    }
    std::printf("demo-server: https://127.0.0.1:%u/ (user '%s'), stops after %d s\n", server.Port(),
                user.c_str(), seconds);
    std::fflush(stdout);

    for (int waited = 0; !g_stop && waited < seconds * 1000; waited += 50) {
        if (server.WaitDone(2, 50))
            break;
    }
    server.Stop();

    for (size_t i = 0; i < server.Accepted() && i < 2; ++i) {
        const corvio_test::ConnectionLog log = server.Connection(i);
        std::printf("demo-server: connection %zu: %s%s\n", i + 1, first_line(log.received).c_str(),
                    log.error.empty() ? "" : " (failed)");
        const std::string auth = authorization(log.received);
        if (auth.empty())
            continue;
        std::printf("demo-server:   Authorization: %.60s%s\n", auth.c_str(),
                    auth.size() > 60 ? "..." : "");
        if (auth.compare(0, 7, "Digest ") != 0)
            continue;
        auto p = digest_params(auth);
        const std::string ha1 = md5_hex(user + ":" + realm + ":" + pass);
        const std::string ha2 = md5_hex(method + ":" + p["uri"]);
        const std::string expect = md5_hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] +
                                           ":" + p["qop"] + ":" + ha2);
        const bool ok = p["username"] == user && p["realm"] == realm && p["nonce"] == nonce &&
                        p["qop"] == "auth" && p["response"] == expect;
        std::printf("demo-server:   Digest response %s\n",
                    ok ? "verified (user, realm, nonce, qop auth, MD5)" : "WRONG");
    }
    std::fflush(stdout);
    return 0;
}
