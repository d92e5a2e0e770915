// Builds a request with CHttpMsgCreator and sends it with the downloader's
// Init(address, request, length) form; prints the request text.
//   build_request 127.0.0.1 8080
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Corvio/CHttpDownloaderBlock.h"
#include "Corvio/CHttpMsgCreator.h"
#include "Corvio/CHttpParser.h"
#include "Sablon/SockAddr.h"

using namespace Halvex;
using namespace Halvex::Corvio;

int main(int argc, char** argv) {
    const char* ip = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 8080;

    CHttpMsgCreator creator;
    creator.SetMsgType(CHttpMsgCreator::HTTP_MSG_REQUEST);
    creator.SetRequestMethod(HTTP_METHOD_POST);
    creator.SetURI("/api/echo", 0);
    creator.SetValue("Host", ip);
    creator.SetValue("Content-Type", "application/json");
    creator.SetValue("Connection", "close");
    const char body[] = "{\"hello\":\"world\"}";
    creator.SetContent(body, static_cast<int>(std::strlen(body)));  // adds Content-Length
    int len = 0;
    const char* request = creator.GetMsg(len);  // owned by the creator
    if (!request)
        return 1;
    std::fwrite(request, 1, static_cast<size_t>(len), stdout);
    std::printf("\n---\n");

    Sablon::CSockAddrIPv4 addr(ip, static_cast<unsigned short>(port));
    CHttpDownloaderBlock block;
    if (block.Download(addr, request, len) != 0) {
        std::fprintf(stderr, "no answer from %s:%d\n", ip, port);
        return 1;
    }
    std::printf("status %d\n", block.GetResult()->GetStatusCode());
    return 0;
}
