// Access rule files: reading one must never crash or leak. A refused file
// adds nothing and says where; a read file gives the same answers when read
// again, allows root everything and an unidentified peer nothing, and its
// answers agree with each other (a subtree allowed is the path allowed, a
// path one may receive notifications for is one that may be subscribed to).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zeb_access.hpp"

namespace {

using zeb_access::AccessRules;
using zeb_access::Caller;

const zeb_access::NameLookup &lookup() {
    static const zeb_access::NameLookup names = [] {
        zeb_access::NameLookup tables =
            zeb_access::NameLookup::fromTables({{"a", 1}, {"b", 2}}, {{"g", 10}, {"voice", 22}});
        tables.role = [](const std::string &name) { return name != "unknown"; };
        return tables;
    }();
    return names;
}

[[noreturn]] void broken(const char *what, const std::string &detail) {
    fprintf(stderr, "acl: %s: %s\n", what, detail.c_str());
    abort();
}

const char *const kPaths[] = {"",
                              "A",
                              "A.B",
                              "Phonebook",
                              "Phonebook.Entry",
                              "Phonebook.Entry.1",
                              "Phonebook.Entry.1.Email",
                              "Phonebook.Entry.1.Email.2"};
const char *const kFunctions[] = {"getContact", "getContactByNumber", "import", "", "f"};
const zeb_access::AccessOperation kOperations[] = {
    zeb_access::kAccessGet, zeb_access::kAccessSet,  zeb_access::kAccessAdd,
    zeb_access::kAccessDel, zeb_access::kAccessList, zeb_access::kAccessSubscribe};

std::string parent(const std::string &path) {
    size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(0, dot);
}

// Every answer for one caller, as a string of 0 and 1, checking how the
// answers relate on the way.
std::string answers(const AccessRules &rules, const Caller &caller) {
    std::string out;
    for (const char *p : kPaths) {
        std::string path = p;
        for (zeb_access::AccessOperation operation : kOperations) {
            bool allowed = rules.allows(caller, operation, path);
            bool subtree = rules.allowsSubtree(caller, operation, path);
            bool somewhere = rules.allowsSomewhere(caller, operation, path);
            if (subtree && (!allowed || !rules.allows(caller, operation, path + ".x")))
                broken("a subtree allowed without all of it", path);
            if (allowed && (!somewhere || !rules.allowsSomewhere(caller, operation, parent(path)) ||
                            !rules.allowsSomewhere(caller, operation, "")))
                broken("allowed but not somewhere at or above", path);
            out += allowed ? '1' : '0';
            out += subtree ? '1' : '0';
            out += somewhere ? '1' : '0';
        }
        for (const char *function : kFunctions)
            out += rules.allowsCall(caller, path, function) ? '1' : '0';
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    AccessRules rules;
    std::string error;
    if (!rules.addText(text, "rules.json", lookup(), &error)) {
        if (error.rfind("rules.json", 0) != 0 || rules.size() != 0 || !rules.warnings().empty())
            broken("a refused file left something or told nothing", error);
        return 0;
    }
    AccessRules again;
    if (!again.addText(text, "rules.json", lookup(), &error))
        broken("refused the second time", error);

    const Caller callers[] = {Caller{1, {1}},
                              Caller{2, {10}},
                              Caller{3, {3, 22, 10}},
                              Caller{33, {33}},
                              Caller{zeb_access::kNoUser, {}, {"r"}},
                              Caller{zeb_access::kNoUser, {}, {"viewer", "unknown"}}};
    for (const Caller &caller : callers) {
        if (answers(rules, caller) != answers(again, caller))
            broken("a second reading answers otherwise", text);
    }
    std::string root = answers(rules, Caller{0, {}});
    std::string nobody = answers(rules, Caller{});
    if (root.find('0') != std::string::npos)
        broken("root refused", text);
    if (nobody.find('1') != std::string::npos)
        broken("an unidentified peer allowed", text);
    return 0;
}
