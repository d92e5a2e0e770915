#include "support/DnsFixture.h"

TEST(DnsConcurrent, Scripts) {
    corvio_test::RunScript("dns.txt", "mt");
}
