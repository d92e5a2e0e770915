// Fixed values and ownership rules of the exported interface (the values are
// part of the ABI), and the few behaviours of the exported classes that no
// other test reaches. That each header compiles alone is checked by the
// build (corvio_header_alone in tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpDownloaderBlock.h"
#include "Corvio/CHttpMsgCreator.h"
#include "Corvio/CHttpParser.h"
#include "Corvio/IDNSManager.h"

using namespace Halvex::Corvio;

namespace {

template <typename T>
constexpr bool kNoCopy =
    !std::is_copy_constructible<T>::value && !std::is_copy_assignable<T>::value;

static_assert(DNSModeNetOnly == 1 && DNSModeCacheOnly == 2 && DNSModeNetFirst == 3 &&
                  DNSModeCacheFirst == 4 && kDNSManagerNotProvided == 0x10030010u,
              "DNS modes and error value");
static_assert(std::is_polymorphic<IDNSManager>::value &&
                  std::is_base_of<Halvex::Component::IUnknown, IDNSManager>::value &&
                  std::is_base_of<Halvex::Component::IFactoryUnknown, IDNSManager::IFactory>::value,
              "DNS manager is a component");
static_assert(MSG_DOWNLOAD_END == 0x4300, "end notice value");
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
static_assert(std::is_polymorphic<CHttpParser>::value, "virtual destructor");
static_assert(
    std::is_same<std::underlying_type<parse_status_t>::type, int>::value &&
        std::is_same<std::underlying_type<HTTP_METHOD_TYPE>::type, int>::value &&
        std::is_same<std::underlying_type<CHttpMsgCreator::HttpMsgType>::type, int>::value,
    "any int passes through");
static_assert(HTTP_PARSE_COMPLETE == 0 && HTTP_PARSE_INCOMPLETE == 1 && HTTP_PARSE_ERROR == 2 &&
                  HTTP_PARSE_INIT == 3 && HTTP_PARSE_UNTIL_CLOSE == 4 &&
                  HTTP_PARSER_BUFFER_FULL == 5,
              "status values");
// One record per option object; two block objects must never end the same
// handler; a copied creator would share state.
static_assert(kNoCopy<CHttpsOption> && kNoCopy<CHttpDownloaderBlock> && kNoCopy<CHttpMsgCreator>,
              "not copyable");

TEST(PublicApi, DnsLibraryInitIsExported) {
    void (*init)() = &initCorvioDNSManagerComponentLibrary;
    EXPECT_NE(init, nullptr);
}

TEST(PublicApi, HttpsOptionSetsAreOrderedAndNullsIgnored) {
    CHttpsOption option;
    ASSERT_NE(option.GetData(), nullptr);
    EXPECT_FALSE(option.GetData()->verify_cn);
    option.SetVerifyCN(true);
    for (const char* ca : {"b.pem", "a.pem", "b.pem", static_cast<const char*>(nullptr)})
        option.AddTrustCA(ca);
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

TEST(PublicApi, DownloaderCreateRefusesIdZero) {
    EXPECT_EQ(CHttpDownloader::Create(0), nullptr);
}

TEST(PublicApi, ManyBlockObjectsComeAndGo) {
    // Each destruction ends its handler on the reactor; none leaks or blocks.
    for (int i = 0; i < 200; ++i) {
        CHttpDownloaderBlock block;
        EXPECT_EQ(block.SetTimeout(1000), 0);
    }
}

}  // namespace
