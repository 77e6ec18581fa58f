// Users files of zeb-httpd, read as a login reads them (findUser): a user
// found is a whole "NAME:HASH:ROLES" line of the file, the first one of that
// name, with a valid name, a hash and valid roles; a name that begins no
// line is never found.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "httpd_users.hpp"

namespace {

[[noreturn]] void broken(const char *what, const std::string &name) {
    fprintf(stderr, "users file: %s [%s]\n", what, name.c_str());
    abort();
}

std::string lineOf(const zebhttpd::User &user) {
    std::string roles;
    for (const std::string &role : user.roles)
        roles += (roles.empty() ? "" : ",") + role;
    return user.name + ":" + user.hash + ":" + roles;
}

// The first line of `text` that begins with "NAME:", "" when none.
std::string firstLineNamed(const std::string &text, const std::string &name) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return line;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return "";
}

void check(const std::string &path, const std::string &text, const std::string &name) {
    zebhttpd::User user;
    std::string line = firstLineNamed(text, name);
    if (!zebhttpd::findUser(path, name, user))
        return;
    if (user.name != name || !zebhttpd::validUserName(name) || user.hash.empty())
        broken("a user found under another or an invalid name, or without a hash", name);
    std::vector<std::string> roles;
    std::string written = lineOf(user);
    if (!zebhttpd::parseRoles(written.substr(written.rfind(':') + 1), roles) || roles != user.roles)
        broken("roles that do not read back", name);
    // The first line of the name when it is well formed, else a later one.
    if (text.find(written) == std::string::npos || line.empty())
        broken("a user that is no line of the file", name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = fuzzsupport::makeTempDir("fuzz-httpd-users");
    std::string path = dir + "/users";
    fuzzsupport::writeInput(path, data, size);
    std::string text(reinterpret_cast<const char *>(data), size);
    // Every name that begins a line, and one that begins none.
    check(path, text, "nobody-here");
    size_t start = 0;
    while (start < text.size()) {
        size_t colon = text.find(':', start), end = text.find('\n', start);
        if (colon != std::string::npos && (end == std::string::npos || colon < end))
            check(path, text, text.substr(start, colon - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
