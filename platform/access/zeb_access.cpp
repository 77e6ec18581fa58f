#include "zeb_access.hpp"

#include "zeb/dm.h"
#include "zeb/json.h"
#include "zeb/variant.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace zeb_access {

namespace {

const struct {
    const char *name;
    AccessOperation operation;
} kOperationNames[] = {
    {"get", kAccessGet}, {"set", kAccessSet},   {"add", kAccessAdd},
    {"del", kAccessDel}, {"list", kAccessList}, {"subscribe", kAccessSubscribe},
};

/* The member that names a rule's subject, for each kind of subject. */
const struct {
    AccessRules::Kind kind;
    const char *member;
} kSubjectKinds[] = {
    {AccessRules::Kind::kUser, "user"},
    {AccessRules::Kind::kGroup, "group"},
    {AccessRules::Kind::kRole, "role"},
};

const char *subjectKindName(AccessRules::Kind kind) {
    for (const auto &entry : kSubjectKinds) {
        if (entry.kind == kind)
            return entry.member;
    }
    return "?";
}

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

/* The JSON pointer of a member (escaped as pointers want) or an element. */
std::string member(const std::string &pointer, const std::string &name) {
    std::string result = pointer + "/";
    for (char c : name)
        result += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    return result;
}

std::string element(const std::string &pointer, size_t position) {
    return pointer + "/" + std::to_string(position);
}

/* A JSON object of a rule file, read as a variant map. */
class Object {
  public:
    Object(const variant_t *value, std::string pointer, const char *what)
        : map_(variant_da_map(value)), pointer_(std::move(pointer)) {
        if (map_ == nullptr)
            fault(pointer_, what);
    }

    /* Refuses members other than `known`. */
    void only(std::initializer_list<const char *> known) const {
        for (variant_map_iterator_t *it = variant_map_first(map_); it != nullptr;
             it = variant_map_iterator_next(it)) {
            std::string name = variant_map_iterator_key(it);
            if (std::none_of(known.begin(), known.end(), [&](const char *k) { return name == k; }))
                fault(member(pointer_, name), "unknown member \"" + name + "\"");
        }
    }

    /* The member's value, null when there is none. */
    const variant_t *get(const char *name) const {
        return variant_map_iterator_data(variant_map_find(map_, name));
    }

    /* The elements of a list member of at most `limit` items. */
    std::vector<const variant_t *> list(const char *name, size_t limit) const {
        std::string where = member(pointer_, name);
        const variant_list_t *items = variant_da_list(get(name));
        if (items == nullptr)
            fault(where, std::string("\"") + name + "\" must be a list");
        if (variant_list_size(items) > limit)
            fault(where, std::string("\"") + name + "\" holds more than " + std::to_string(limit) +
                             " items");
        std::vector<const variant_t *> result;
        for (variant_list_iterator_t *it = variant_list_first(items); it != nullptr;
             it = variant_list_iterator_next(it))
            result.push_back(variant_list_iterator_data(it));
        return result;
    }

    const std::string &pointer() const { return pointer_; }

  private:
    const variant_map_t *map_;
    std::string pointer_;
};

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

NameLookup NameLookup::roles() {
    NameLookup lookup;
    lookup.role = [](const std::string &) { return true; };
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

    AccessRules::Pattern pattern(const variant_t *value, const std::string &pointer) {
        const char *text =
            variant_type(value) == variant_type_string ? variant_da_char(value) : nullptr;
        if (text == nullptr)
            fault(pointer, "a pattern must be a text");
        std::string written = text;
        if (written.size() > kMaxPatternLength)
            fault(pointer, "a pattern is at most " + std::to_string(kMaxPatternLength) + " bytes");
        AccessRules::Pattern result;
        result.prefix = endsWith(written, "*");
        result.text = result.prefix ? written.substr(0, written.size() - 1) : written;
        if (result.text.find('*') != std::string::npos)
            fault(pointer, "\"*\" may only end a pattern: \"" + written + "\"");
        return result;
    }

    unsigned operations(const Object &grant) {
        unsigned result = 0;
        if (grant.get("operations") == nullptr)
            return result;
        std::vector<const variant_t *> list = grant.list("operations", std::size(kOperationNames));
        for (size_t i = 0; i < list.size(); ++i) {
            const char *text =
                variant_type(list[i]) == variant_type_string ? variant_da_char(list[i]) : nullptr;
            auto known = std::find_if(
                std::begin(kOperationNames), std::end(kOperationNames), [&](const auto &entry) {
                    return text != nullptr && std::strcmp(text, entry.name) == 0;
                });
            if (known == std::end(kOperationNames))
                fault(element(member(grant.pointer(), "operations"), i),
                      "unknown operation " +
                          (text != nullptr ? "\"" + std::string(text) + "\"" : std::string("")) +
                          " (get, set, add, del, list or subscribe)");
            result |= known->operation;
        }
        return result;
    }

    /* The id a "user" or "group" member names: a number, a text of digits,
     * or a name; *known is false for a name nobody has. 4294967295 is no id:
     * it is (uid_t)-1, what stands for no user or group at all. */
    uint32_t identity(const variant_t *value, bool group, const std::string &pointer, bool *known) {
        const char *what = group ? "group" : "user";
        *known = true;
        variant_type_t type = variant_type(value);
        if ((type == variant_type_int64 && variant_int64(value) < 0) ||
            (type == variant_type_double && variant_double(value) < 0))
            fault(pointer, std::string("a ") + what + " number cannot be negative");
        if (type == variant_type_double)
            fault(pointer, std::string("a ") + what + " number is a whole number, without a " +
                               "fraction or an exponent");
        if (type == variant_type_int64 || type == variant_type_uint64) {
            uint64_t number = variant_uint64(value);
            if (number >= UINT32_MAX)
                fault(pointer,
                      std::string("no ") + what + " has the number " + std::to_string(number));
            return static_cast<uint32_t>(number);
        }
        const char *text = type == variant_type_string ? variant_da_char(value) : nullptr;
        if (text == nullptr || *text == '\0')
            fault(pointer, std::string("\"") + what + "\" must be a name or a number");
        std::string written = text;
        if (written.find_first_not_of("0123456789") == std::string::npos) {
            if (written.size() > 10 || std::stoull(written) >= UINT32_MAX)
                fault(pointer, std::string("no ") + what + " has the number " + written);
            return static_cast<uint32_t>(std::stoull(written));
        }
        uint32_t id = 0;
        const auto &find = group ? lookup.group : lookup.user;
        if (!find || !find(written, id)) {
            *known = false;
            warnings.push_back(name + ": no " + what + " \"" + written +
                               "\": its rule matches nobody");
        }
        return id;
    }

    /* The role a "role" member names; *known is false for a role the
     * lookup does not know. */
    std::string role(const variant_t *value, const std::string &pointer, bool *known) {
        const char *text =
            variant_type(value) == variant_type_string ? variant_da_char(value) : nullptr;
        if (text == nullptr || *text == '\0')
            fault(pointer, "\"role\" must be a name");
        *known = lookup.role && lookup.role(text);
        if (!*known)
            warnings.push_back(name + ": no role \"" + text + "\": its rule matches nobody");
        return text;
    }

    AccessRules::Rule rule(const variant_t *value, const std::string &pointer) {
        Object object(value, pointer, "a rule must be an object");
        object.only({"user", "group", "role", "access"});
        AccessRules::Rule result;
        size_t named = 0;
        for (const auto &[kind, who] : kSubjectKinds) {
            if (object.get(who) != nullptr) {
                result.kind = kind;
                ++named;
            }
        }
        if (named != 1)
            fault(pointer, "a rule names either a \"user\" or a \"group\" or a \"role\"");
        if (object.get("access") == nullptr)
            fault(pointer, "a rule needs \"access\"");
        const char *who = subjectKindName(result.kind);
        if (result.kind == AccessRules::Kind::kRole)
            result.role = role(object.get(who), member(pointer, who), &result.known);
        else
            result.id = identity(object.get(who), result.kind == AccessRules::Kind::kGroup,
                                 member(pointer, who), &result.known);
        std::vector<const variant_t *> grants = object.list("access", kMaxGrantsPerRule);
        for (size_t i = 0; i < grants.size(); ++i)
            result.grants.push_back(grant(grants[i], element(member(pointer, "access"), i)));
        return result;
    }

    AccessRules::Grant grant(const variant_t *value, const std::string &pointer) {
        Object object(value, pointer, "an access entry must be an object");
        object.only({"path", "operations", "functions"});
        if (object.get("path") == nullptr)
            fault(pointer, "an access entry needs a \"path\"");
        AccessRules::Grant result;
        result.path = pattern(object.get("path"), member(pointer, "path"));
        result.operations = operations(object);
        if (object.get("functions") != nullptr) {
            std::vector<const variant_t *> list = object.list("functions", kMaxFunctionsPerGrant);
            for (size_t i = 0; i < list.size(); ++i) {
                std::string where = element(member(pointer, "functions"), i);
                AccessRules::Pattern function = pattern(list[i], where);
                if (function.text.empty() && !function.prefix)
                    fault(where, "a function name cannot be empty");
                result.functions.push_back(std::move(function));
            }
        }
        return result;
    }
};

/* False, with the message in *error unless error is null. */
bool failed(std::string *error, std::string message) {
    if (error != nullptr)
        *error = std::move(message);
    return false;
}

/* A variant cleaned up at the end of its scope. */
struct Document {
    Document() { variant_initialize(&value, variant_type_unknown); }
    ~Document() { variant_cleanup(&value); }
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;
    variant_t value;
};

} // namespace

bool AccessRules::addText(const std::string &text, const std::string &name,
                          const NameLookup &lookup, std::string *error) {
    Document document;
    if (!zeb_json_parse(text.data(), text.size(), name.c_str(), &document.value))
        return failed(error, zeb_errorMessage());
    Reader reader{lookup, name, {}};
    std::vector<Rule> added;
    try {
        Object top(&document.value, "", "a rule file is an object with \"rules\"");
        top.only({"rules"});
        if (top.get("rules") == nullptr)
            fault("", "a rule file needs \"rules\"");
        std::vector<const variant_t *> rules = top.list("rules", kMaxRules);
        if (rules_.size() + rules.size() > kMaxRules)
            fault("/rules", "more than " + std::to_string(kMaxRules) + " rules in all");
        for (size_t i = 0; i < rules.size(); ++i)
            added.push_back(reader.rule(rules[i], element("/rules", i)));
    } catch (const Fault &f) {
        char *where = zeb_json_where(text.data(), text.size(), name.c_str(), f.pointer.c_str());
        std::string message = (where != nullptr ? std::string(where) : name) + ": " + f.message;
        std::free(where);
        return failed(error, std::move(message));
    }
    rules_.insert(rules_.end(), std::make_move_iterator(added.begin()),
                  std::make_move_iterator(added.end()));
    warnings_.insert(warnings_.end(), reader.warnings.begin(), reader.warnings.end());
    return true;
}

bool AccessRules::loadDirectory(const std::string &directory, const NameLookup &lookup,
                                std::string *error) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(directory.c_str()), closedir);
    if (!dir)
        return failed(error, directory + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (const dirent *entry = readdir(dir.get())) {
        std::string file = entry->d_name;
        if (file.size() > 5 && endsWith(file, ".json") && file[0] != '.')
            names.push_back(std::move(file));
    }
    if (names.size() > kMaxRuleFiles)
        return failed(error,
                      directory + ": more than " + std::to_string(kMaxRuleFiles) + " rule files");
    std::sort(names.begin(), names.end());
    AccessRules loaded;
    for (const std::string &file : names) {
        std::string path = directory + "/" + file;
        char *text = nullptr;
        size_t size = 0;
        if (!zeb_json_readFile(path.c_str(), kMaxRuleFileSize, &text, &size))
            return failed(error, zeb_errorMessage());
        std::string content(text, size);
        std::free(text);
        if (!loaded.addText(content, path, lookup, error))
            return false;
    }
    *this = std::move(loaded);
    return true;
}

bool AccessRules::namesRole(const std::string &role) const {
    return std::any_of(rules_.begin(), rules_.end(), [&role](const Rule &rule) {
        return rule.kind == Kind::kRole && rule.role == role;
    });
}

bool AccessRules::applies(const Rule &rule, const Caller &caller) const {
    if (!rule.known)
        return false;
    switch (rule.kind) {
    case Kind::kUser:
        return rule.id == caller.uid;
    case Kind::kGroup:
        return std::find(caller.groups.begin(), caller.groups.end(), rule.id) !=
               caller.groups.end();
    case Kind::kRole:
        return std::find(caller.roles.begin(), caller.roles.end(), rule.role) != caller.roles.end();
    }
    return false;
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

} // namespace zeb_access
