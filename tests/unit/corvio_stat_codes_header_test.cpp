// The header compiles on its own: it is included first and alone.
#include "Corvio/CHttpStatCodes.h"

#include <gtest/gtest.h>

TEST(StatCodesHeader, StandsAlone) {
    EXPECT_STREQ(Halvex::Corvio::CHttpStatCodes::GetCodeText(Halvex::Corvio::HTTP_STATUS_OK), "OK");
}
