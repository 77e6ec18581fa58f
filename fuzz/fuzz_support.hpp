// What the harnesses share: a private directory for the files they write,
// writing an input there and reading a file back. Failures abort: a harness that
// cannot write its own files tests nothing.
#ifndef FUZZ_SUPPORT_HPP
#define FUZZ_SUPPORT_HPP

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzsupport {

// A new directory /tmp/<prefix>-XXXXXX.
inline std::string makeTempDir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        abort();
    return pattern;
}

// Replaces the file at `path` with the input's bytes.
inline void writeInput(const std::string &path, const uint8_t *data, size_t size) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || (size > 0 && fwrite(data, 1, size, file) != size)) {
        if (file != nullptr)
            fclose(file);
        abort();
    }
    if (fclose(file) != 0)
        abort();
}

// The whole content of a file the harness wrote.
inline std::string contentOf(const std::string &path) {
    std::string content;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        abort();
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, got);
    fclose(file);
    return content;
}

} // namespace fuzzsupport

#endif
