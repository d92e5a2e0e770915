// Base services (log, last error, MD5, Base64, byte search, word scanning):
// tests/data/mardel_base.txt.
#include "support/DnsFixture.h"

TEST(MardelBase, Scripts) {
    corvio_test::RunScript<corvio_test::DnsScript>("mardel_base.txt", "base");
}
