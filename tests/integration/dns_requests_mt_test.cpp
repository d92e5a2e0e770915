// Request slots under concurrent callers, waits, and the manager's life
// racing with its own threads, scripted in tests/data/dns.txt [mt].
#include <gtest/gtest.h>

#include "support/DnsFixture.h"

TEST(DnsConcurrent, Scripts) {
    corvio_test::RunScript<corvio_test::DnsScript>("dns.txt", "mt");
}
