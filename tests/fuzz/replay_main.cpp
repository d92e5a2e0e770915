// Replays a stored corpus through a fuzz target as an ordinary test: every
// file of the directories (or the files) named on the command line is passed
// to LLVMFuzzerTestOneInput once, in an exact-size heap buffer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        for (struct dirent* e; dir && (e = readdir(dir)) != nullptr;)
            if (e->d_name[0] != '.')
                files.push_back(std::string(argv[i]) + "/" + e->d_name);
        if (dir)
            closedir(dir);
        else
            files.push_back(argv[i]);
    }
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot open %s\n", path.c_str());
            return 1;
        }
        const std::string bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        memcpy(exact.get(), bytes.data(), bytes.size());
        LLVMFuzzerTestOneInput(exact.get(), bytes.size());
    }
    printf("replayed %d inputs\n", static_cast<int>(files.size()));
    return files.empty() ? 1 : 0;
}
