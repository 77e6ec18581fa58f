// Replays committed corpora without libFuzzer: every regular file of the
// directories (or each file) named on the command line goes once through the
// harness linked in, in name order, under the sanitizers of the build. A
// harness check or a sanitizer aborts the run; the last "replay:" line names
// the input. Exit status 0 after every input, 1 on a usage error or an
// unreadable or empty corpus.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 1;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            for (const auto &entry : fs::directory_iterator(argv[i], error))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else if (fs::is_regular_file(argv[i], error)) {
            inputs.emplace_back(argv[i]);
        }
        if (error) {
            fprintf(stderr, "replay: %s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());

    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &input : inputs) {
        std::ifstream file(input, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 1;
        }
        fprintf(stderr, "replay: %s\n", input.c_str());
        // A copy of exactly the input's size, as libFuzzer gives it, so that
        // a read past the end is caught.
        uint8_t *copy = new uint8_t[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), copy);
        LLVMFuzzerTestOneInput(copy, bytes.size());
        delete[] copy;
    }
    printf("replay: %zu inputs\n", inputs.size());
    return 0;
}
