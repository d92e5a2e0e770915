// corvio-resolve as a user runs it: names from /etc/hosts, numeric texts,
// the cache modes, --help, and usage errors (tests/data/dns.txt).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/CaseFile.h"

namespace {

struct ToolRun {
    int status;
    std::string out;
    long long ms;
};

ToolRun runTool(const std::string& args) {
    const char* dir = getenv("CORVIO_BIN_DIR");
    std::string cmd = std::string(dir ? dir : ".") + "/corvio-resolve " + args + " 2>/dev/null";
    auto began = std::chrono::steady_clock::now();
    FILE* p = popen(cmd.c_str(), "r");
    ToolRun r{-1, "", 0};
    if (!p)
        return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        r.out.append(buf, n);
    int rc = pclose(p);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 began)
               .count();
    return r;
}

TEST(CorvioResolve, AnswersNamesNumericTextsAndUsageErrors) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("dns.txt", "tool", 3)) {
        ToolRun r = runTool(c[0]);
        EXPECT_EQ(r.status, c.num(1)) << c.where;
        EXPECT_EQ(r.out, c[2]) << c.where;
        EXPECT_LT(r.ms, 3000) << c.where;  // no case waits for the 5 s limit
    }
}

TEST(CorvioResolve, AllAddressesOfLocalhostAnswerAtOnce) {
    ToolRun r = runTool("--all localhost");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("localhost 127.0.0.1\n"), std::string::npos) << r.out;
    EXPECT_LT(r.ms, 3000);  // not the 5 s limit of a family without address
    ToolRun single = runTool("localhost");
    EXPECT_LT(single.ms, 3000);
}

TEST(CorvioResolve, HelpDocumentsEveryOption) {
    ToolRun r = runTool("--help");
    EXPECT_EQ(r.status, 0);
    for (const corvio_test::Case& c : corvio_test::LoadCases("dns.txt", "tool-help", 1))
        EXPECT_NE(r.out.find(c[0]), std::string::npos) << c.where;
}

}  // namespace
