// corvio-resolve as a user runs it: names from /etc/hosts, numeric texts,
// the cache modes, --help and usage errors (tests/data/dns.txt [tool]).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/CaseFile.h"

TEST(CorvioResolve, Runs) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("dns.txt", "tool", 3)) {
        const char* dir = getenv("CORVIO_BIN_DIR");
        const std::string cmd =
            std::string(dir ? dir : ".") + "/corvio-resolve " + c[0] + " 2>/dev/null";
        const auto began = std::chrono::steady_clock::now();
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr) << c.where;
        std::string out;
        char buf[512];
        for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
            out.append(buf, n);
        const int rc = pclose(p);
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, c.num(1)) << c.where;
        // Output: exact, or with "has:" the lines that must be among it.
        if (c[2].rfind("has:", 0) != 0)
            EXPECT_EQ(out, c[2]) << c.where;
        for (size_t i = 3; i < c.fields.size(); ++i)
            EXPECT_NE(out.find(c[i]), std::string::npos) << c.where << ": " << c[i];
        // No case waits for the 5 s limit (a family without address included).
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3)) << c.where;
    }
}
