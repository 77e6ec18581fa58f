/*
 * The command line that starts a child process of a test. A cross build runs
 * its tests under an emulator (ZEB_TEST_EMULATOR: CMAKE_CROSSCOMPILING_EMULATOR,
 * its words separated by '|'), and the kernel may have no binfmt entry for
 * the target: the programs built for the target (zebd, zeb-cli) then start
 * through the same emulator. Programs of the host (python3, a shell script)
 * start as they are. A native build starts everything as it is.
 */
#ifndef ZEB_TEST_TARGET_COMMAND_HPP
#define ZEB_TEST_TARGET_COMMAND_HPP

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace zebtest {

/* The ELF class, byte order and machine of a program file; empty when it is
 * no ELF file. */
inline std::string elfMachine(const std::string &path) {
    char header[20] = {};
    std::ifstream file(path, std::ios::binary);
    static const char magic[] = {0x7f, 'E', 'L', 'F'};
    if (!file.read(header, sizeof header) || std::memcmp(header, magic, sizeof magic) != 0)
        return {};
    // e_ident[EI_CLASS], e_ident[EI_DATA], then e_machine in that byte order.
    return std::string(header + 4, 2) + std::string(header + 18, 2);
}

/* argv, behind the emulator when the program is built for the machine that
 * this test itself runs on through the emulator. */
inline std::vector<std::string> targetCommand(const std::vector<std::string> &argv) {
#ifdef ZEB_TEST_EMULATOR
    static const std::string self = elfMachine("/proc/self/exe");
    if (!argv.empty() && !self.empty() && elfMachine(argv[0]) == self) {
        std::vector<std::string> command;
        std::string words = ZEB_TEST_EMULATOR;
        for (size_t start = 0, end; start <= words.size(); start = end + 1) {
            end = words.find('|', start);
            if (end == std::string::npos)
                end = words.size();
            command.push_back(words.substr(start, end - start));
        }
        command.insert(command.end(), argv.begin(), argv.end());
        return command;
    }
#endif
    return argv;
}

/* The same command as one line for /bin/sh, each word quoted. */
inline std::string targetShellCommand(const std::vector<std::string> &argv) {
    std::string line;
    for (const std::string &word : targetCommand(argv)) {
        line += line.empty() ? "'" : " '";
        for (char c : word)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

} // namespace zebtest

#endif
