#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>

#include "support/CaseFile.h"

TEST(CorvioResolve, Runs) {
    const std::string dir = getenv("CORVIO_BIN_DIR") ? getenv("CORVIO_BIN_DIR") : ".";
    for (const corvio_test::Case& c : corvio_test::LoadCases("dns.txt", "tool", 3)) {
        const auto began = std::chrono::steady_clock::now();
        FILE* p = popen((dir + "/corvio-resolve " + c[0] + " 2>/dev/null").c_str(), "r");
        ASSERT_NE(p, nullptr) << c.where;
        char buf[8192];
        const std::string out(buf, fread(buf, 1, sizeof(buf), p));
        const int rc = pclose(p);
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, c.num(1)) << c.where;
        EXPECT_EQ(c[2] == "has:" ? c[2] : out, c[2]) << c.where;
        for (size_t i = 3; i < c.fields.size(); ++i)
            EXPECT_NE(out.find(c[i]), std::string::npos) << c.where << ": " << c[i];
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(3)) << c.where;
    }
}
