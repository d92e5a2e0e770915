// corvio-resolve as a user runs it: names from /etc/hosts, numeric texts,
// the cache modes, --help, and usage errors.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

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

TEST(CorvioResolve, AnswersNamesAndNumericTexts) {
    struct Case {
        const char* args;
        int status;
        const char* out;
    } cases[] = {
        {"localhost", 0, "localhost 127.0.0.1\n"},
        // ::1 is no IPv4 text; the cache holds nothing for it.
        {"--mode cache 127.0.0.1 ::1", 1, "127.0.0.1 127.0.0.1\n"},
        {"-6 ::1", 0, "::1 ::1\n"},
        {"--all 127.0.0.1 ::1", 0, "127.0.0.1 127.0.0.1\n::1 ::1\n"},
        {"--mode cache localhost", 1, ""},
        {"--mode cache-first --repeat 2 localhost", 0,
         "localhost 127.0.0.1\nlocalhost 127.0.0.1\n"},
        {"--mode net-first --timeout 0 localhost", 0, "localhost 127.0.0.1\n"},
        {"-q --mode cache nothing.test", 1, ""},
        // Numeric text of the other family is answered at once, not looked up.
        {"-6 127.0.0.1", 1, ""},
        {"::1", 1, ""},
        // Lost output is a failure.
        {"localhost >/dev/full", 1, ""},
    };
    for (const Case& c : cases) {
        std::string args = c.args;
        ToolRun r = runTool(args);
        EXPECT_EQ(r.status, c.status) << args;
        EXPECT_EQ(r.out, c.out) << args;
        EXPECT_LT(r.ms, 3000) << args;  // no case waits for the 5 s limit
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
    for (const char* word :
         {"--all", "-6", "--mode", "net", "cache", "net-first", "cache-first", "--timeout",
          "--repeat", "-v", "-q", "Exit status", "not an IPv4 address"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(CorvioResolve, UsageErrorsExitWithTwo) {
    for (const char* args :
         {"", "--mode", "--mode dns localhost", "--timeout x localhost", "--timeout -1 localhost",
          "--repeat 0 localhost", "--bogus localhost", "-4 localhost", "''"}) {
        ToolRun r = runTool(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
    }
}

}  // namespace
