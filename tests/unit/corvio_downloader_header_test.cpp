// The downloader's header compiles on its own and keeps its fixed values.
#include "Corvio/CHttpDownloader.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

using Halvex::Corvio::CHttpDownloader;
using Halvex::Corvio::CHttpsOption;

namespace {

static_assert(Halvex::Corvio::MSG_DOWNLOAD_END == 0x4300, "end notice value");
static_assert(CHttpDownloader::PHRASE_IDLE == 0 && CHttpDownloader::PHRASE_PARSE_URL == 1 &&
                  CHttpDownloader::PHRASE_CONNECTING == 2 &&
                  CHttpDownloader::PHRASE_TRANSFER == 3 && CHttpDownloader::PHRASE_DONE == 4,
              "phase values");
static_assert(CHttpDownloader::ERROR_NONE == 0 && CHttpDownloader::ERROR_PARSE_URL == 1 &&
                  CHttpDownloader::ERROR_CONNECT == 2 && CHttpDownloader::ERROR_TRANSFER == 3 &&
                  CHttpDownloader::ERROR_NOT_STARTED == 4,
              "error reason values");
static_assert(sizeof(CHttpDownloader::DownloadPhrase) == 4 &&
                  sizeof(CHttpDownloader::ErrorReason) == 4,
              "32-bit enumerations");
static_assert(!std::is_copy_constructible<CHttpsOption>::value &&
                  !std::is_copy_assignable<CHttpsOption>::value,
              "one record per option object");

TEST(CHttpsOption, SetsAreOrderedAndNullsIgnored) {
    CHttpsOption option;
    ASSERT_NE(option.GetData(), nullptr);
    EXPECT_FALSE(option.GetData()->verify_cn);
    option.SetVerifyCN(true);
    option.AddTrustCA("b.pem");
    option.AddTrustCA("a.pem");
    option.AddTrustCA("b.pem");
    option.AddTrustCA(nullptr);
    option.AddCRL("z.crl");
    option.AddCRL(nullptr);
    option.SetSslOption6Text("host.test");
    option.SetSslOption6Text(nullptr);
    const auto* data = option.GetData();
    EXPECT_TRUE(data->verify_cn);
    EXPECT_EQ(std::vector<std::string>(data->trust_ca_files.begin(), data->trust_ca_files.end()),
              (std::vector<std::string>{"a.pem", "b.pem"}));
    EXPECT_EQ(data->crl_files.size(), 1u);
    EXPECT_EQ(data->ssl_option6_text, "host.test");
}

TEST(CHttpDownloader, CreateRefusesIdZero) {
    EXPECT_EQ(CHttpDownloader::Create(0), nullptr);
}

}  // namespace
