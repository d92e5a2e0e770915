#include "support/DnsFixture.h"

TEST(MardelBase, Scripts) {
    corvio_test::RunScript("mardel_base.txt", "base");
}
