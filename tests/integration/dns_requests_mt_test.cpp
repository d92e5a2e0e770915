// DNS request slots under concurrent callers: tests/data/dns.txt [mt].
#include "support/DnsFixture.h"

TEST(DnsConcurrent, Scripts) {
    corvio_test::RunScript<corvio_test::DnsScript>("dns.txt", "mt");
}
