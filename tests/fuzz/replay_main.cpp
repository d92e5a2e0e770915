// Replays a stored corpus through a fuzz target as an ordinary test: every
// file of the directories (or the files) named on the command line is passed
// to LLVMFuzzerTestOneInput once, in an exact-size heap buffer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool run_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "cannot open %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(f);
    uint8_t* exact = static_cast<uint8_t*>(malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty())
        memcpy(exact, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(exact, bytes.size());
    free(exact);
    return true;
}

int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!run_file(argv[i]))
                return 1;
            ++files;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        if (!dir)
            return 1;
        while (struct dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            if (!run_file(std::string(argv[i]) + "/" + e->d_name))
                return 1;
            ++files;
        }
        closedir(dir);
    }
    printf("replayed %d inputs\n", files);
    return files > 0 ? 0 : 1;
}
