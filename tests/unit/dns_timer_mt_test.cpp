#include "support/DnsFixture.h"

TEST(Timer, Scripts) {
    corvio_test::RunScript("dns.txt", "timer");
}
