// Loopback server scripts and expected texts kept as data (tests/data/).
//
// A [scripts] section holds one script a line, "name | step | step ...":
//   head: read to the end of a header block | until BYTES | read N | eof (read
//   until the client closes) | send BYTES | pattern N [OFFSET] | sleep MS |
//   silent MS | close | reset (as the LoopbackServer steps of those names).
// An expected text matches a text equal to it, each "{*}" in it standing for
// any bytes (Matches).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/CaseFile.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"

namespace corvio_test {

// "verb argument", split at the first space (the argument is all of a lone verb).
inline std::pair<std::string, std::string> Split(const std::string& text) {
    return {text.substr(0, text.find(' ')), text.substr(text.find(' ') + 1)};
}

inline Step StepFromText(const std::string& text) {
    const auto [verb, arg] = Split(text);
    unsigned long long a = 0, b = 0;
    std::istringstream(arg) >> a >> b;
    if (verb == "head" || verb == "until")
        return Step::ReadUntil(verb == "head" ? "\r\n\r\n" : arg);
    if (verb == "read" || verb == "eof")
        return verb == "eof" ? Step::ReadToEof() : Step::Read(a);
    if (verb == "send" || verb == "pattern")
        return verb == "send" ? Step::Send(arg) : Step::SendPattern(a, b);
    if (verb == "sleep" || verb == "silent")
        return verb == "sleep" ? Step::Sleep(int(a)) : Step::Silent(int(a));
    if (verb != "close" && verb != "reset")
        ADD_FAILURE() << "unknown script step: " << text;
    return verb == "reset" ? Step::Reset() : Step::Close();
}

inline std::map<std::string, Script> LoadScripts(const std::string& file) {
    std::map<std::string, Script> scripts;
    for (const Case& c : LoadCases(file, "scripts", 1))
        for (size_t i = 1; i < c.fields.size(); ++i)
            scripts[c[0]].push_back(StepFromText(c[i]));
    return scripts;
}

inline bool Matches(const std::string& pattern, const std::string& text) {
    size_t star = pattern.find("{*}");
    if (star == std::string::npos || text.compare(0, star, pattern, 0, star) != 0)
        return pattern == text;
    for (size_t p = star + 3, t = star;; p = star + 3) {
        const std::string piece = pattern.substr(p, (star = pattern.find("{*}", p)) - p);
        if (star == std::string::npos)
            return text.size() >= t + piece.size() &&
                   text.substr(text.size() - piece.size()) == piece;
        if ((t = text.find(piece, t)) == std::string::npos)
            return false;
        t += piece.size();
    }
}

// `text` with each occurrence of a name of `vars` (in their order) replaced.
using Vars = std::vector<std::pair<std::string, std::string>>;
inline std::string Subst(std::string text, const Vars& vars) {
    for (const auto& v : vars)
        for (size_t at = text.find(v.first); at != std::string::npos;
             at = text.find(v.first, at + v.second.size()))
            text.replace(at, v.first.size(), v.second);
    return text;
}

// The server kinds of the tables: "plain" TCP, or TLS with a certificate of
// the trusted CA for 127.0.0.1 ("tls") or for corvio.test ("othername"), or
// of another CA ("untrusted"). False for any other kind.
inline bool ServerOptions(const std::string& kind, LoopbackServer::Options& o) {
    const CertMaker& certs = CertMaker::Shared();
    const CertMaker::Identity* id = kind == "tls"         ? &certs.server_ip_san
                                    : kind == "othername" ? &certs.server_host
                                    : kind == "untrusted" ? &certs.server_untrusted
                                                          : nullptr;
    o.linger_ms = 50;
    if ((o.tls = id != nullptr)) {
        o.cert_file = id->cert;
        o.key_file = id->key;
    }
    return id || kind == "plain";
}

}  // namespace corvio_test
