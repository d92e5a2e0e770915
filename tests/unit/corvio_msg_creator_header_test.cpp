// The header compiles on its own: it is included first and alone.
#include "Corvio/CHttpMsgCreator.h"

#include <gtest/gtest.h>

#include <type_traits>

using Halvex::Corvio::CHttpMsgCreator;

static_assert(!std::is_copy_constructible<CHttpMsgCreator>::value, "a copy would share state");
static_assert(!std::is_copy_assignable<CHttpMsgCreator>::value, "a copy would share state");
static_assert(
    std::is_same<std::underlying_type<Halvex::Corvio::HTTP_METHOD_TYPE>::type, int>::value,
    "any int passes through");
static_assert(std::is_same<std::underlying_type<CHttpMsgCreator::HttpMsgType>::type, int>::value,
              "any int passes through");

TEST(MsgCreatorHeader, StandsAlone) {
    CHttpMsgCreator creator;
    int len = -1;
    EXPECT_NE(creator.GetMsg(len), nullptr);
    EXPECT_EQ(len, 18);
}
