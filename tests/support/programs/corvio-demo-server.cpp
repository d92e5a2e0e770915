// corvio-demo-server: the HTTPS server of scripts/demo and scripts/windows-check. On 127.0.0.1,
// with a CA made on the spot, it answers a first request with a 401 Digest challenge (qop auth)
// and the retry with a chunked 200, writes "port=" and "ca=" lines into the info file, then
// prints what the client sent and whether its Digest response is right (RFC 2617 3.2.2).
// Usage: corvio-demo-server --info FILE [--user U] [--pass P] [--seconds N]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "Mardel/Md5.h"
#include "support/ScriptCases.h"

using corvio_test::LoopbackServer;
using corvio_test::Step;

namespace {

volatile std::sig_atomic_t g_stop = 0;

std::string md5_hex(const std::string& text) {
    Halvex::Utils::CMd5 md5;
    char hex[33];
    md5.update(text.data(), text.size());
    return md5.hex(hex), hex;
}

int Fail(const std::string& what) {
    return std::fprintf(stderr, "demo-server: %s\n", what.c_str()), 1;
}

const char kBody[] =
    "23\r\nHello from the corvio demo server.\n\r\n"
    "3e\r\nThis body came in chunks, over TLS, after a Digest challenge.\n\r\n"
    "47\r\nLine 3: the client verified the server against a CA made a moment ago.\n\r\n"
    "11\r\nLine 4: the end.\n\r\n0\r\n\r\n";

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> opt = {
        {"--user", "demo"}, {"--pass", "corvio"}, {"--seconds", "20"}};
    for (int i = 1; i + 1 < argc; i += 2)
        opt[argv[i]] = argv[i + 1];
    const std::string info = opt["--info"], user = opt["--user"], realm = "corvio-demo";
    const int seconds = std::atoi(opt["--seconds"].c_str());
    if (info.empty() || seconds <= 0 || seconds > 600) {
        std::fputs(
            "usage: corvio-demo-server --info FILE [--user U] [--pass P] [--seconds 1..600]\n",
            stderr);
        return 2;
    }
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    const corvio_test::CertMaker& certs = corvio_test::CertMaker::Shared();
    if (!certs.Ok())
        return Fail("cannot make certificates: " + certs.Error());
    const std::string nonce = md5_hex(certs.Dir() + std::to_string(seconds));
    LoopbackServer::Options options;
    corvio_test::ServerOptions("tls", options);
    options.io_timeout_ms = seconds * 1000;
    options.linger_ms = 500;
    LoopbackServer server(
        options, {{Step::ReadUntil("\r\n\r\n"),
                   Step::Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"" +
                              realm + "\", nonce=\"" + nonce +
                              "\", qop=\"auth\", algorithm=MD5, opaque=\"5ccc069c\"\r\n"
                              "Content-Length: 0\r\nConnection: close\r\n\r\n"),
                   Step::Close()},
                  {Step::ReadUntil("\r\n\r\n"),
                   Step::Send(std::string("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-"
                                          "Encoding: chunked\r\nConnection: close\r\n\r\n") +
                              kBody),
                   Step::Close()}});
    if (!server.Ok())
        return Fail("cannot listen: " + server.Error());
    std::ofstream(info + ".part") << "port=" << server.Port() << "\nca=" << certs.ca.cert << "\n";
    if (std::rename((info + ".part").c_str(), info.c_str()) != 0)
        return Fail("cannot write " + info);
    std::printf("demo-server: https://127.0.0.1:%u/ (user '%s'), stops after %d s\n", server.Port(),
                user.c_str(), seconds);
    std::fflush(stdout);
    for (int waited = 0; !g_stop && waited < seconds * 1000 && !server.WaitDone(2, 50);)
        waited += 50;
    server.Stop();
    for (size_t i = 0; i < server.Accepted() && i < 2; ++i) {
        const corvio_test::ConnectionLog log = server.Connection(i);
        std::printf("demo-server: connection %zu: %s%s\n", i + 1,
                    log.received.substr(0, log.received.find("\r\n")).c_str(),
                    log.error.empty() ? "" : " (failed)");
        std::smatch auth;
        if (!std::regex_search(log.received, auth, std::regex("\r\nAuthorization: ([^\r]*)")))
            continue;
        const std::string value = auth[1];
        std::printf("demo-server:   Authorization: %.60s%s\n", value.c_str(),
                    value.size() > 60 ? "..." : "");
        if (value.compare(0, 7, "Digest ") != 0)
            continue;
        std::map<std::string, std::string> p;
        const std::regex pair("(\\w+)=(\"([^\"]*)\"|[^, ]*)");
        for (std::sregex_iterator it(value.begin(), value.end(), pair), end; it != end; ++it)
            p[(*it)[1]] = (*it)[3].matched ? (*it)[3].str() : (*it)[2].str();
        const std::string expect = md5_hex(md5_hex(user + ":" + realm + ":" + opt["--pass"]) + ":" +
                                           nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" +
                                           p["qop"] + ":" + md5_hex("GET:" + p["uri"]));
        const bool ok = p["username"] == user && p["realm"] == realm && p["nonce"] == nonce &&
                        p["qop"] == "auth" && p["response"] == expect;
        std::printf("demo-server:   Digest response %s\n",
                    ok ? "verified (user, realm, nonce, qop auth, MD5)" : "WRONG");
    }
    return 0;
}
