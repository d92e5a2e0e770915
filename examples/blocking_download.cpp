// One blocking download: the calling thread sleeps until the answer is in.
//   blocking_download http://127.0.0.1:8080/index.html
#include <cstdio>

#include "Corvio/CHttpDownloaderBlock.h"
#include "Corvio/CHttpParser.h"

using namespace Halvex::Corvio;

int main(int argc, char** argv) {
    const char* url = argc > 1 ? argv[1] : "http://127.0.0.1:8080/";
    CHttpDownloaderBlock block;
    block.SetTimeout(10 * 1000 * 1000);  // microseconds of inactivity
    // For https:// URLs: trust a CA, otherwise any certificate is accepted.
    //   CHttpsOption tls; tls.AddTrustCA("ca.pem"); block.SetHttpsOption(&tls);
    //   block.DownloadUseSsl(url, "");
    if (block.Download(url) != 0) {
        std::fprintf(stderr, "download failed, reason %d\n", block.GetErrorReason());
        return 1;
    }
    CHttpParser* answer = block.GetResult();  // valid until the next download
    std::printf("status %d, %d body bytes\n", answer->GetStatusCode(), answer->GetContentLength());
    if (const char* type = answer->Value("Content-Type"))
        std::printf("Content-Type: %s\n", type);
    return 0;
}
