// The built corvio-get (CORVIO_BIN_DIR), run through the shell against the
// scripted loopback servers: one run per row of tests/data/corvio_get.txt.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <memory>

#include "support/ScriptCases.h"
#include "support/TcpListener.h"

using namespace corvio_test;

namespace {

std::string Quote(const std::string& arg) {
    return "'" + Subst(arg, {{"'", "'\\''"}}) + "'";
}

// The field with its @NAMEs replaced, "c{N}" as N times c.
std::string Expand(std::string text, const Vars& vars) {
    const size_t open = text.find('{');
    if (open > 0 && open != std::string::npos && text.back() == '}' && text[open + 1] != '*')
        text = text.substr(0, open - 1) +
               std::string(std::stoul(text.substr(open + 1)), text[open - 1]);
    return Subst(text, vars);
}

TEST(CorvioGet, Table) {
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    const char* bin = std::getenv("CORVIO_BIN_DIR");
    ASSERT_NE(bin, nullptr) << "CORVIO_BIN_DIR is not set";
    const std::map<std::string, Script> scripts = LoadScripts("corvio_get.txt");
    const std::string out = certs.Dir() + "/get.out", err = certs.Dir() + "/get.err";
    for (const Case& c : LoadCases("corvio_get.txt", "cases", 9)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        LoopbackServer::Options o;
        std::unique_ptr<LoopbackServer> server;
        unsigned short port = TcpListener::ClosedPort();
        if (ServerOptions(c[1], o)) {
            server.reset(new LoopbackServer(o, {scripts.at(c[2])}));
            ASSERT_TRUE(server->Ok()) << server->Error();
            port = server->Port();
        }
        const Vars vars = {{"@URL", (o.tls ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                                        std::to_string(port) + "/x"},
                           {"@PORT", std::to_string(port)},
                           {"@CA", certs.ca.cert},
                           {"@DIR", certs.Dir()}};
        std::string cmd = "timeout 20 " + Quote(std::string(bin) + "/corvio-get");
        for (size_t i = 8; i < c.fields.size(); ++i)
            cmd += " " + Quote(Expand(c[i], vars));
        const int raw =
            std::system((cmd + " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null").c_str());
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), c.num(3));
        const std::string got[] = {
            CertMaker::ReadFile(out), CertMaker::ReadFile(err),
            server && server->WaitDone(1, 3000) ? server->Connection(0).received : "",
            CertMaker::ReadFile(certs.Dir() + "/body.bin")};
        for (size_t i = 4; i < 8; ++i) {
            if (!c.str(i))
                continue;
            const std::string want =
                i == 7 ? LoopbackServer::Pattern(0, c.unum(7)) : Expand(c[i], vars);
            EXPECT_TRUE(Matches(want, got[i - 4])) << "column " << i << ": " << got[i - 4];
        }
    }
}

}  // namespace
