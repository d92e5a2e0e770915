// Replays a stored corpus through a fuzz target as an ordinary test: every
// file of the directories (or the files) named on the command line is passed
// to LLVMFuzzerTestOneInput once, in an exact-size heap buffer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
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
        dir ? (void)closedir(dir) : files.push_back(argv[i]);
    }
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        const std::vector<uint8_t> exact(bytes.begin(), bytes.end());  // capacity == size
        if (!in.is_open() || LLVMFuzzerTestOneInput(exact.data(), exact.size()) != 0)
            return fprintf(stderr, "cannot replay %s\n", path.c_str()), 1;
    }
    printf("replayed %d inputs\n", static_cast<int>(files.size()));
    return files.empty() ? 1 : 0;
}
