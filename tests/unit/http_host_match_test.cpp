// The certificate name rule of the downloader's TLS checks; the table is
// tests/data/host_match.txt.
#include <gtest/gtest.h>

#include "Corvio/CHttpDownloader.h"
#include "support/CaseFile.h"

TEST(HostMatchesCN, Table) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("host_match.txt", "names", 3))
        EXPECT_EQ(Halvex::Corvio::HostMatchesCN(c.str(0), c.str(1)), c.yes(2)) << c.where;
}
