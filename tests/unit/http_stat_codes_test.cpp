// Reason texts of status codes; the table is tests/data/stat_codes.txt.
#include <gtest/gtest.h>

#include "Corvio/CHttpStatCodes.h"
#include "support/CaseFile.h"

using Halvex::Corvio::CHttpStatCodes;
using Halvex::Corvio::HTTP_RESPONSE_STATUS_CODE;

TEST(StatCodes, TextOfEachCode) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("stat_codes.txt", "codes", 2)) {
        const auto code = static_cast<HTTP_RESPONSE_STATUS_CODE>(c.num(0));
        EXPECT_STREQ(CHttpStatCodes::GetCodeText(code), c[1].c_str()) << c.where;
    }
}
