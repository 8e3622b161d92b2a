/*
 * Replays a corpus without libFuzzer: every regular file of the folders (or
 * the files) given on the command line goes once through the target. Used by
 * the normal builds so that the seeds and every input that once crashed run
 * as ordinary tests.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
    }
    if (files.empty()) {
        fprintf(stderr, "usage: %s corpus-folder-or-file...; nothing to replay\n", argv[0]);
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        /* An empty input still gets a valid pointer, as libFuzzer gives it. */
        static const uint8_t empty = 0;
        const uint8_t* data = bytes.empty() ? &empty : reinterpret_cast<const uint8_t*>(bytes.data());
        LLVMFuzzerTestOneInput(data, bytes.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return 0;
}
