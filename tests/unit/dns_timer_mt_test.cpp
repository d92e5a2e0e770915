// CTimer, the DNS manager's timers: tests/data/dns.txt [timer].
#include "support/DnsFixture.h"

TEST(Timer, Scripts) {
    corvio_test::RunScript<corvio_test::DnsScript>("dns.txt", "timer");
}
