// Loopback server scripts and expected texts written as data (tests/data/).
//
// A [scripts] section holds one script per line: "name | step | step ...",
// each step one field:
//   head            read until the end of a header block (\r\n\r\n)
//   until BYTES     read until BYTES arrived      read N     read N bytes
//   eof             read until the client closes  send BYTES write BYTES
//   pattern N [OFF] write N pattern bytes from offset OFF
//   sleep MS, silent MS, close, reset: as the LoopbackServer steps
// An expected text matches when it equals the text; each "{*}" in it stands
// for any bytes (none included).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "support/CaseFile.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"

namespace corvio_test {

inline Step StepFromText(const std::string& text) {
    const size_t space = text.find(' ');
    const std::string verb = text.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : text.substr(space + 1);
    unsigned long long a = 0, b = 0;
    std::sscanf(arg.c_str(), "%llu %llu", &a, &b);
    if (verb == "head" || verb == "until")
        return Step::ReadUntil(verb == "head" ? "\r\n\r\n" : arg);
    if (verb == "read" || verb == "eof")
        return verb == "eof" ? Step::ReadToEof() : Step::Read(a);
    if (verb == "send" || verb == "pattern")
        return verb == "send" ? Step::Send(arg) : Step::SendPattern(a, b);
    if (verb == "sleep" || verb == "silent")
        return verb == "sleep" ? Step::Sleep(static_cast<int>(a))
                               : Step::Silent(static_cast<int>(a));
    if (verb != "close" && verb != "reset")
        ADD_FAILURE() << "unknown script step: " << text;
    return verb == "reset" ? Step::Reset() : Step::Close();
}

inline std::map<std::string, Script> LoadScripts(const std::string& file) {
    std::map<std::string, Script> scripts;
    for (const Case& c : LoadCases(file, "scripts", 1)) {
        Script& script = scripts[c[0]];
        for (size_t i = 1; i < c.fields.size(); ++i)
            script.push_back(StepFromText(c[i]));
    }
    return scripts;
}

inline bool Matches(const std::string& pattern, const std::string& text) {
    size_t star = pattern.find("{*}");
    if (star == std::string::npos)
        return pattern == text;
    if (text.compare(0, star, pattern, 0, star) != 0)
        return false;
    for (size_t p = star + 3, t = star;; p = star + 3) {
        star = pattern.find("{*}", p);
        const std::string piece = pattern.substr(p, star - p);
        if (star == std::string::npos)
            return text.size() >= t + piece.size() &&
                   text.compare(text.size() - piece.size(), piece.size(), piece) == 0;
        if ((t = text.find(piece, t)) == std::string::npos)
            return false;
        t += piece.size();
    }
}

// The server kinds of the tables: plain TCP, or TLS presenting a certificate
// of the trusted CA for 127.0.0.1 ("tls") or for corvio.test ("othername"),
// or one of an untrusted CA ("untrusted").
inline bool ServerOptions(const std::string& kind, LoopbackServer::Options& o) {
    const CertMaker& certs = CertMaker::Shared();
    const std::map<std::string, const CertMaker::Identity*> kinds = {
        {"plain", nullptr},
        {"tls", &certs.server_ip_san},
        {"othername", &certs.server_host},
        {"untrusted", &certs.server_untrusted}};
    o.io_timeout_ms = 3000;
    o.linger_ms = 50;
    if (!kinds.count(kind))
        return false;
    if ((o.tls = kinds.at(kind) != nullptr)) {
        o.cert_file = kinds.at(kind)->cert;
        o.key_file = kinds.at(kind)->key;
    }
    return true;
}

}  // namespace corvio_test
