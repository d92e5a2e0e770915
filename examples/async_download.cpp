// An asynchronous download: the downloader runs on the reactor and tells its
// owner (a handler of ours) with one MSG_DOWNLOAD_END when it has ended.
//   async_download http://127.0.0.1:8080/index.html
#include <cstdio>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpParser.h"
#include "Mardel/Semaphore.h"
#include "Sablon/NetHandler.h"

using namespace Halvex;
using Corvio::CHttpDownloader;

class Owner : public Sablon::CNetHandler {
public:
    // Runs on a reactor thread.
    int handle_message(long from_id, unsigned int msg, long) override {
        if (msg == Corvio::MSG_DOWNLOAD_END && from_id == downloader_id)
            ended.post();
        return 0;
    }
    long downloader_id = 0;
    Mardel::CSemaphore ended;
};

int main(int argc, char** argv) {
    const char* url = argc > 1 ? argv[1] : "http://127.0.0.1:8080/";
    Owner* owner = new Owner;
    CHttpDownloader* d = CHttpDownloader::Create(owner->GetID());
    owner->downloader_id = d->GetID();
    d->SetTimeout(10 * 1000 * 1000);
    if (d->Init(url) != 0) {  // no end notice follows a failed start
        std::fprintf(stderr, "cannot start %s\n", url);
        d->Close();
        return 1;
    }
    // Other work could be done here; the sizes can be read at any time.
    while (!owner->ended.pend(200))
        std::printf("%d of %d bytes\n", d->GetCurrentContentSize(), d->GetTotalContentSize());

    int status = 1;
    if (Corvio::CHttpParser* answer = d->GetResult()) {
        std::printf("status %d, %d body bytes\n", answer->GetStatusCode(),
                    answer->GetContentLength());
        status = d->GetErrorReason() == CHttpDownloader::ERROR_NONE ? 0 : 1;
    } else {
        std::fprintf(stderr, "no answer, reason %d\n", d->GetErrorReason());
    }
    d->Close();  // the downloader deletes itself on the reactor
    // The owner stays allocated: a handler is deleted only when no event can
    // reach it, and the process is about to end.
    return status;
}
