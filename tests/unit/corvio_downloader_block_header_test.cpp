// The blocking downloader's header compiles on its own; an object owns its
// handler and cannot be copied.
#include "Corvio/CHttpDownloaderBlock.h"

#include <gtest/gtest.h>

#include <type_traits>

using Halvex::Corvio::CHttpDownloaderBlock;

namespace {

static_assert(!std::is_copy_constructible<CHttpDownloaderBlock>::value &&
                  !std::is_copy_assignable<CHttpDownloaderBlock>::value,
              "two block objects must never end the same handler");

TEST(CHttpDownloaderBlock, ManyObjectsComeAndGo) {
    // Each destruction ends its handler on the reactor; none leaks or blocks.
    for (int i = 0; i < 200; ++i) {
        CHttpDownloaderBlock block;
        EXPECT_EQ(block.SetTimeout(1000), 0);
    }
}

}  // namespace
