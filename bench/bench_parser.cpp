// CHttpParser against http-parser on the same messages in one run, whole
// message per call:
//   get      a browser GET of about 700 bytes with eleven header fields;
//   resp1k   a response header with Content-Length and a 1 KiB body;
//   chunked  a chunked response of ten 1 KiB chunks.
// Both sides keep what a caller needs afterwards: CHttpParser holds the header
// copy and the body (read with GetContent); the http-parser side stores the
// start-line and header-field pointers and lengths and copies the body into a
// buffer of its own (reused between messages, as a careful caller would).
//
// Prints MB/s (CPU time) of each side and the ratio after the usual table.
#include <benchmark/benchmark.h>
#include <http_parser.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Corvio/CHttpParser.h"

using Halvex::Corvio::CHttpParser;

namespace {

std::string BrowserGet() {
    return "GET /static/js/app.min.js?v=20240611 HTTP/1.1\r\n"
           "Host: www.example.com\r\n"
           "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, "
           "like Gecko) Chrome/125.0.0.0 Safari/537.36\r\n"
           "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,"
           "image/webp,*/*;q=0.8\r\n"
           "Accept-Language: en-US,en;q=0.9,de;q=0.8\r\n"
           "Accept-Encoding: gzip, deflate, br, zstd\r\n"
           "Referer: https://www.example.com/products/index.html?category=tools&sort=price\r\n"
           "Connection: keep-alive\r\n"
           "Cookie: session=8f14e45fceea167a5a36dedd4bea2543; theme=dark; lang=en; "
           "consent=1; _ga=GA1.2.1234567890.1718000000\r\n"
           "Sec-Fetch-Dest: script\r\n"
           "Sec-Fetch-Mode: no-cors\r\n"
           "Sec-Fetch-Site: same-origin\r\n"
           "Cache-Control: max-age=0\r\n"
           "\r\n";
}

const char kResponseHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Date: Tue, 11 Jun 2024 10:15:32 GMT\r\n"
    "Server: Apache/2.4.59 (Unix)\r\n"
    "Last-Modified: Mon, 10 Jun 2024 08:00:00 GMT\r\n"
    "ETag: \"400-61a8e1c2b7f00\"\r\n"
    "Accept-Ranges: bytes\r\n"
    "Cache-Control: max-age=3600\r\n"
    "Content-Type: application/octet-stream\r\n";

std::string Body(size_t n) {
    std::string b;
    for (size_t i = 0; i < n; ++i)
        b += static_cast<char>('A' + i % 23);
    return b;
}

std::string Response1K() {
    return std::string(kResponseHead) + "Content-Length: 1024\r\n\r\n" + Body(1024);
}

std::string ChunkedResponse() {
    std::string m = std::string(kResponseHead) + "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 10; ++i)
        m += "400\r\n" + Body(1024) + "\r\n";
    return m + "0\r\n\r\n";
}

const std::string& Message(int which) {
    static const std::string messages[] = {BrowserGet(), Response1K(), ChunkedResponse()};
    return messages[which];
}

const char* const kNames[] = {"get", "resp1k", "chunked"};
const double kTargets[] = {2.5, 2.0, 1.8};

void Corvio(benchmark::State& state) {
    const std::string& msg = Message(static_cast<int>(state.range(0)));
    CHttpParser parser;
    for (auto _ : state) {
        parser.Reset();
        parser.Append(msg.data(), static_cast<int>(msg.size()));
        benchmark::DoNotOptimize(parser.GetContent());
        benchmark::DoNotOptimize(parser.GetHeaderNum());
    }
    if (parser.GetStatus() != Halvex::Corvio::HTTP_PARSE_COMPLETE)
        state.SkipWithError("message not complete");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

// What an http-parser caller keeps of one message.
struct Kept {
    struct Span {
        const char* at;
        size_t len;
    };
    Span url, status;
    Span fields[64][2];
    int num_fields;
    bool in_value;
    std::string body;
    bool complete;
};

int on_url(http_parser* p, const char* at, size_t len) {
    static_cast<Kept*>(p->data)->url = {at, len};
    return 0;
}
int on_status(http_parser* p, const char* at, size_t len) {
    static_cast<Kept*>(p->data)->status = {at, len};
    return 0;
}
int on_field(http_parser* p, const char* at, size_t len) {
    Kept* k = static_cast<Kept*>(p->data);
    if (k->num_fields < 64)
        k->fields[k->num_fields][0] = {at, len};
    k->in_value = false;
    return 0;
}
int on_value(http_parser* p, const char* at, size_t len) {
    Kept* k = static_cast<Kept*>(p->data);
    if (k->num_fields < 64)
        k->fields[k->num_fields++][1] = {at, len};
    return 0;
}
int on_body(http_parser* p, const char* at, size_t len) {
    static_cast<Kept*>(p->data)->body.append(at, len);
    return 0;
}
int on_complete(http_parser* p) {
    static_cast<Kept*>(p->data)->complete = true;
    return 0;
}

void HttpParser(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const std::string& msg = Message(which);
    http_parser_settings settings;
    memset(&settings, 0, sizeof(settings));
    settings.on_url = on_url;
    settings.on_status = on_status;
    settings.on_header_field = on_field;
    settings.on_header_value = on_value;
    settings.on_body = on_body;
    settings.on_message_complete = on_complete;
    Kept kept;
    kept.body.reserve(16384);
    http_parser parser;
    for (auto _ : state) {
        kept.num_fields = 0;
        kept.body.clear();
        kept.complete = false;
        http_parser_init(&parser, which == 0 ? HTTP_REQUEST : HTTP_RESPONSE);
        parser.data = &kept;
        benchmark::DoNotOptimize(http_parser_execute(&parser, &settings, msg.data(), msg.size()));
        benchmark::DoNotOptimize(kept.body.data());
    }
    if (!kept.complete)
        state.SkipWithError("message not complete");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * msg.size()));
}

BENCHMARK(Corvio)->DenseRange(0, 2)->ArgName("msg");
BENCHMARK(HttpParser)->DenseRange(0, 2)->ArgName("msg");

// Console output as usual; MB/s of every run kept per side and message for
// the summary (the median when --benchmark_repetitions is given).
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> mbps;  // "Corvio/0" -> MB/s of each run

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration)
                continue;
            const std::string name = r.benchmark_name();  // "Corvio/msg:1"
            const size_t slash = name.find('/');
            const size_t colon = name.find(':');
            if (slash == std::string::npos || colon == std::string::npos)
                continue;
            const int which = std::stoi(name.substr(colon + 1));
            const double bytes = static_cast<double>(Message(which).size());
            if (r.cpu_accumulated_time <= 0)
                continue;
            mbps[name.substr(0, slash) + "/" + std::to_string(which)].push_back(
                bytes * static_cast<double>(r.iterations) / r.cpu_accumulated_time / 1e6);
        }
    }

    double Median(const std::string& key) {
        std::vector<double>& v = mbps[key];
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\n%-8s %7s %14s %18s %7s %7s\n", "message", "bytes", "CHttpParser", "http-parser",
           "ratio", "target");
    for (int i = 0; i < 3; ++i) {
        const double ours = reporter.Median("Corvio/" + std::to_string(i));
        const double peer = reporter.Median("HttpParser/" + std::to_string(i));
        if (ours <= 0 || peer <= 0)
            continue;
        printf("%-8s %7zu %9.0f MB/s %13.0f MB/s %7.2f %7.1f\n", kNames[i], Message(i).size(), ours,
               peer, ours / peer, kTargets[i]);
    }
    benchmark::Shutdown();
    return 0;
}
