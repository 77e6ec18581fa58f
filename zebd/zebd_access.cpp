#include "zebd_access.hpp"

#include "zeb_json_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace zebd {

namespace {

using zeb_json::Json;

const struct {
    const char *name;
    AccessOperation operation;
} kOperationNames[] = {
    {"get", kAccessGet}, {"set", kAccessSet},   {"add", kAccessAdd},
    {"del", kAccessDel}, {"list", kAccessList}, {"subscribe", kAccessSubscribe},
};

/* A fault in a rule file, at the member or element a JSON pointer names. */
struct Fault {
    std::string pointer;
    std::string message;
};

[[noreturn]] void fault(const std::string &pointer, std::string message) {
    throw Fault{pointer, std::move(message)};
}

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void onlyMembers(const Json &object, const std::string &pointer,
                 std::initializer_list<const char *> known) {
    for (const auto &member : object.items()) {
        if (std::none_of(known.begin(), known.end(),
                         [&](const char *name) { return member.key() == name; }))
            fault(zeb_json::pointerTo(pointer, member.key()),
                  "unknown member \"" + member.key() + "\"");
    }
}

const Json &array(const Json &object, const char *member, const std::string &pointer,
                  size_t limit) {
    const Json &value = object.at(member);
    std::string where = zeb_json::pointerTo(pointer, member);
    if (!value.is_array())
        fault(where, std::string("\"") + member + "\" must be a list");
    if (value.size() > limit)
        fault(where, std::string("\"") + member + "\" holds more than " + std::to_string(limit) +
                         " items");
    return value;
}

} // namespace

const char *accessOperationName(AccessOperation operation) {
    for (const auto &entry : kOperationNames) {
        if (entry.operation == operation)
            return entry.name;
    }
    return "?";
}

NameLookup NameLookup::system() {
    NameLookup lookup;
    lookup.user = [](const std::string &name, uint32_t &id) {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd *found = nullptr;
        if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr)
            return false;
        id = found->pw_uid;
        return true;
    };
    lookup.group = [](const std::string &name, uint32_t &id) {
        std::vector<char> buffer(65536);
        struct group entry {};
        struct group *found = nullptr;
        if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr)
            return false;
        id = found->gr_gid;
        return true;
    };
    return lookup;
}

NameLookup NameLookup::fromTables(std::map<std::string, uint32_t> users,
                                  std::map<std::string, uint32_t> groups) {
    auto finder = [](std::map<std::string, uint32_t> table) {
        return [table = std::move(table)](const std::string &name, uint32_t &id) {
            auto it = table.find(name);
            if (it == table.end())
                return false;
            id = it->second;
            return true;
        };
    };
    return NameLookup{finder(std::move(users)), finder(std::move(groups))};
}

bool AccessRules::Pattern::matches(const std::string &value) const {
    return prefix ? startsWith(value, text) : value == text;
}

namespace {

struct Reader {
    const NameLookup &lookup;
    const std::string &name;
    std::vector<std::string> warnings;

    AccessRules::Pattern pattern(const Json &value, const std::string &pointer) {
        if (!value.is_string())
            fault(pointer, "a pattern must be a text");
        const std::string &text = value.get_ref<const std::string &>();
        if (text.size() > kMaxPatternLength)
            fault(pointer, "a pattern is at most " + std::to_string(kMaxPatternLength) + " bytes");
        AccessRules::Pattern result;
        result.prefix = endsWith(text, "*");
        result.text = result.prefix ? text.substr(0, text.size() - 1) : text;
        if (result.text.find('*') != std::string::npos)
            fault(pointer, "\"*\" may only end a pattern: \"" + text + "\"");
        return result;
    }

    unsigned operations(const Json &grant, const std::string &pointer) {
        unsigned result = 0;
        if (!grant.contains("operations"))
            return result;
        const Json &list = array(grant, "operations", pointer, std::size(kOperationNames));
        for (size_t i = 0; i < list.size(); ++i) {
            std::string where = zeb_json::pointerTo(zeb_json::pointerTo(pointer, "operations"), i);
            const Json &item = list[i];
            auto known = std::find_if(
                std::begin(kOperationNames), std::end(kOperationNames), [&](const auto &entry) {
                    return item.is_string() && item.get_ref<const std::string &>() == entry.name;
                });
            if (known == std::end(kOperationNames))
                fault(where, "unknown operation " + item.dump() +
                                 " (get, set, add, del, list or subscribe)");
            result |= known->operation;
        }
        return result;
    }

    /* The id a "user" or "group" member names: a number, a text of digits,
     * or a name; *known is false for a name nobody has. */
    uint32_t identity(const Json &value, bool group, const std::string &pointer, bool *known) {
        const char *what = group ? "group" : "user";
        *known = true;
        if (value.is_number_unsigned() || value.is_number_integer()) {
            if (value.is_number_integer() && value.get<int64_t>() < 0)
                fault(pointer, std::string("a ") + what + " number cannot be negative");
            uint64_t number = value.get<uint64_t>();
            if (number >= UINT32_MAX)
                fault(pointer, std::string("no ") + what + " has the number " + value.dump());
            return static_cast<uint32_t>(number);
        }
        if (!value.is_string() || value.get_ref<const std::string &>().empty())
            fault(pointer, std::string("\"") + what + "\" must be a name or a number");
        const std::string &text = value.get_ref<const std::string &>();
        if (text.find_first_not_of("0123456789") == std::string::npos) {
            if (text.size() > 10 || std::stoull(text) >= UINT32_MAX)
                fault(pointer, std::string("no ") + what + " has the number " + text);
            return static_cast<uint32_t>(std::stoull(text));
        }
        uint32_t id = 0;
        const auto &find = group ? lookup.group : lookup.user;
        if (!find || !find(text, id)) {
            *known = false;
            warnings.push_back(name + ": no " + what + " \"" + text +
                               "\": its rule matches nobody");
        }
        return id;
    }

    AccessRules::Rule rule(const Json &value, const std::string &pointer) {
        if (!value.is_object())
            fault(pointer, "a rule must be an object");
        onlyMembers(value, pointer, {"user", "group", "access"});
        bool hasUser = value.contains("user");
        if (hasUser == value.contains("group"))
            fault(pointer, "a rule names either a \"user\" or a \"group\"");
        if (!value.contains("access"))
            fault(pointer, "a rule needs \"access\"");
        AccessRules::Rule result;
        result.group = !hasUser;
        const char *who = hasUser ? "user" : "group";
        result.id =
            identity(value.at(who), result.group, zeb_json::pointerTo(pointer, who), &result.known);
        const Json &grants = array(value, "access", pointer, kMaxGrantsPerRule);
        for (size_t i = 0; i < grants.size(); ++i)
            result.grants.push_back(
                grant(grants[i], zeb_json::pointerTo(zeb_json::pointerTo(pointer, "access"), i)));
        return result;
    }

    AccessRules::Grant grant(const Json &value, const std::string &pointer) {
        if (!value.is_object())
            fault(pointer, "an access entry must be an object");
        onlyMembers(value, pointer, {"path", "operations", "functions"});
        if (!value.contains("path"))
            fault(pointer, "an access entry needs a \"path\"");
        AccessRules::Grant result;
        result.path = pattern(value.at("path"), zeb_json::pointerTo(pointer, "path"));
        result.operations = operations(value, pointer);
        if (value.contains("functions")) {
            const Json &list = array(value, "functions", pointer, kMaxFunctionsPerGrant);
            for (size_t i = 0; i < list.size(); ++i) {
                auto function = pattern(
                    list[i], zeb_json::pointerTo(zeb_json::pointerTo(pointer, "functions"), i));
                if (function.text.empty() && !function.prefix)
                    fault(zeb_json::pointerTo(zeb_json::pointerTo(pointer, "functions"), i),
                          "a function name cannot be empty");
                result.functions.push_back(std::move(function));
            }
        }
        return result;
    }
};

} // namespace

bool AccessRules::addText(const std::string &text, const std::string &name,
                          const NameLookup &lookup, std::string *error) {
    Json document;
    zeb_json::Problem problem;
    if (!zeb_json::parse(text, document, &problem)) {
        *error = zeb_json::located(name, text, problem.offset) + ": " + problem.message;
        return false;
    }
    Reader reader{lookup, name, {}};
    std::vector<Rule> added;
    try {
        if (!document.is_object())
            fault("", "a rule file is an object with \"rules\"");
        onlyMembers(document, "", {"rules"});
        if (!document.contains("rules"))
            fault("", "a rule file needs \"rules\"");
        const Json &rules = array(document, "rules", "", kMaxRules);
        if (rules_.size() + rules.size() > kMaxRules)
            fault("/rules", "more than " + std::to_string(kMaxRules) + " rules in all");
        for (size_t i = 0; i < rules.size(); ++i)
            added.push_back(reader.rule(rules[i], zeb_json::pointerTo("/rules", i)));
    } catch (const Fault &f) {
        size_t offset = zeb_json::locate(text, f.pointer);
        *error = (offset == std::string::npos ? name : zeb_json::located(name, text, offset)) +
                 ": " + f.message;
        return false;
    }
    rules_.insert(rules_.end(), std::make_move_iterator(added.begin()),
                  std::make_move_iterator(added.end()));
    warnings_.insert(warnings_.end(), reader.warnings.begin(), reader.warnings.end());
    return true;
}

bool AccessRules::loadDirectory(const std::string &directory, const NameLookup &lookup,
                                std::string *error) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(directory.c_str()), closedir);
    if (!dir) {
        *error = directory + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir.get())) {
        std::string file = entry->d_name;
        if (file.size() > 5 && endsWith(file, ".json") && file[0] != '.')
            names.push_back(std::move(file));
    }
    if (names.size() > kMaxRuleFiles) {
        *error = directory + ": more than " + std::to_string(kMaxRuleFiles) + " rule files";
        return false;
    }
    std::sort(names.begin(), names.end());
    AccessRules loaded;
    for (const std::string &file : names) {
        std::string path = directory + "/" + file;
        std::string text;
        zeb_json::Problem problem;
        if (!zeb_json::readFile(path, kMaxRuleFileSize, text, &problem)) {
            *error = problem.message;
            return false;
        }
        if (!loaded.addText(text, path, lookup, error))
            return false;
    }
    *this = std::move(loaded);
    return true;
}

bool AccessRules::applies(const Rule &rule, const Caller &caller) const {
    if (!rule.known)
        return false;
    if (!rule.group)
        return rule.id == caller.uid;
    return std::find(caller.groups.begin(), caller.groups.end(), rule.id) != caller.groups.end();
}

template <typename Test> bool AccessRules::anyGrant(const Caller &caller, Test test) const {
    if (caller.uid == 0)
        return true;
    for (const Rule &rule : rules_) {
        if (!applies(rule, caller))
            continue;
        for (const Grant &grant : rule.grants) {
            if (test(grant))
                return true;
        }
    }
    return false;
}

bool AccessRules::allows(const Caller &caller, AccessOperation operation,
                         const std::string &path) const {
    return anyGrant(caller, [&](const Grant &grant) {
        return (grant.operations & operation) != 0 && grant.path.matches(path);
    });
}

bool AccessRules::allowsSubtree(const Caller &caller, AccessOperation operation,
                                const std::string &path) const {
    std::string below = path.empty() ? path : path + ".";
    return allows(caller, operation, path) && anyGrant(caller, [&](const Grant &grant) {
               return (grant.operations & operation) != 0 && grant.path.prefix &&
                      startsWith(below, grant.path.text);
           });
}

bool AccessRules::allowsSomewhere(const Caller &caller, AccessOperation operation,
                                  const std::string &path) const {
    std::string below = path + ".";
    return anyGrant(caller, [&](const Grant &grant) {
        if ((grant.operations & operation) == 0)
            return false;
        const std::string &text = grant.path.text;
        if (path.empty() || startsWith(text, below))
            return true;
        return grant.path.prefix ? startsWith(path, text) : text == path;
    });
}

bool AccessRules::allowsCall(const Caller &caller, const std::string &path,
                             const std::string &function) const {
    return anyGrant(caller, [&](const Grant &grant) {
        return grant.path.matches(path) &&
               std::any_of(grant.functions.begin(), grant.functions.end(),
                           [&](const Pattern &pattern) { return pattern.matches(function); });
    });
}

} // namespace zebd
