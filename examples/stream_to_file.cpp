// A download of any size written to a file as it arrives, in constant memory:
// the body goes to a sink instead of the parser.
//   stream_to_file http://127.0.0.1:8080/image.bin image.bin
#include <cstdio>

#include "Corvio/CHttpDownloaderBlock.h"
#include "Corvio/CHttpParser.h"

using namespace Halvex::Corvio;

// Writes each piece of the body as the downloader hands it over (on a reactor
// thread); a failed write stops the download.
class FileSink : public IHttpBodySink {
public:
    explicit FileSink(std::FILE* file) : m_file(file) {}
    int OnHeader(const CHttpParser& answer) override {
        std::fprintf(stderr, "status %d\n", answer.GetStatusCode());
        return 0;
    }
    int OnBody(const char* data, int len) override {
        return std::fwrite(data, 1, static_cast<size_t>(len), m_file) == static_cast<size_t>(len)
                   ? 0
                   : -1;
    }
    void OnEnd(bool complete) override { m_complete = complete; }
    bool m_complete = false;

private:
    std::FILE* m_file;
};

int main(int argc, char** argv) {
    const char* url = argc > 1 ? argv[1] : "http://127.0.0.1:8080/";
    const char* path = argc > 2 ? argv[2] : "download.bin";
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    FileSink sink(file);
    CHttpDownloaderBlock block;
    block.SetTimeout(10 * 1000 * 1000);  // microseconds of inactivity
    block.SetBodySink(&sink);            // or simply: block.SetBodyFile(path)
    const int result = block.Download(url);
    std::fclose(file);
    // The 64-bit reader counts what arrived, also past 2 GiB and after a
    // failure (the file then holds exactly those bytes).
    std::printf("%lld body bytes written to %s\n", block.GetCurrentContentSize64(), path);
    if (result != 0 || !sink.m_complete) {
        std::fprintf(stderr, "download failed, reason %d\n", block.GetErrorReason());
        return 1;
    }
    return 0;
}
