// The parser's public header compiles on its own and declares what callers
// rely on.
#include "Corvio/CHttpParser.h"

#include <gtest/gtest.h>

#include <type_traits>

TEST(ParserHeaderAlone, DeclaresTheInterface) {
    using Halvex::Corvio::CHttpParser;
    static_assert(std::is_polymorphic<CHttpParser>::value, "virtual destructor");
    static_assert(
        std::is_same<std::underlying_type<Halvex::Corvio::parse_status_t>::type, int>::value,
        "int underlying type");
    static_assert(
        Halvex::Corvio::HTTP_PARSE_COMPLETE == 0 && Halvex::Corvio::HTTP_PARSE_INCOMPLETE == 1 &&
            Halvex::Corvio::HTTP_PARSE_ERROR == 2 && Halvex::Corvio::HTTP_PARSE_INIT == 3 &&
            Halvex::Corvio::HTTP_PARSE_UNTIL_CLOSE == 4 &&
            Halvex::Corvio::HTTP_PARSER_BUFFER_FULL == 5,
        "status values");
    CHttpParser parser;
    EXPECT_EQ(Halvex::Corvio::HTTP_PARSE_INIT, parser.GetStatus());
}
