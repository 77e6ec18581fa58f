/*
 * Access rules: which bus operations each caller may perform.
 *
 * A rule file is a JSON object:
 *
 *   { "rules": [ { "user": "www-data",          (or "group"; a name or a number)
 *                  "access": [ { "path": "Phonebook.Entry*",
 *                                "operations": ["get", "set", "add", "del", "list", "subscribe"],
 *                                "functions": ["getContact*", "addContact"] } ] } ] }
 *
 * A path pattern is a data model path (instances named by key) matched
 * exactly, or, ending in "*", every path that begins with the text before
 * the "*"; "*" alone matches every path. Function patterns follow the same
 * rule against the function's name; a function may be called on the objects
 * its grant's path matches. Rules add up: a caller may do what any rule
 * naming its user or one of its groups allows, and nothing else. The user
 * root (uid 0) may do everything.
 *
 * Names are looked up once, when the rules are read; a name that no user or
 * group has is reported in the warnings and its rule matches nobody.
 *
 * Failures are returned as texts "<file>:<line>:<column>: <what>"; nothing
 * throws except std::bad_alloc.
 */
#ifndef ZEBD_ACCESS_HPP
#define ZEBD_ACCESS_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zebd {

/* What a grant may allow on the paths it matches. */
enum AccessOperation : unsigned {
    kAccessGet = 1u << 0,
    kAccessSet = 1u << 1,
    kAccessAdd = 1u << 2,
    kAccessDel = 1u << 3,
    kAccessList = 1u << 4,
    kAccessSubscribe = 1u << 5,
};

/* The operation's name in rule files and messages ("get", ...). */
const char *accessOperationName(AccessOperation operation);

/* Bounds on what rules may hold, against runaway or hostile files. */
constexpr size_t kMaxRuleFileSize = 1024u * 1024u;
constexpr size_t kMaxRuleFiles = 256;
constexpr size_t kMaxRules = 4096; /* in all files together */
constexpr size_t kMaxGrantsPerRule = 256;
constexpr size_t kMaxFunctionsPerGrant = 256;
constexpr size_t kMaxPatternLength = 1024;

/* Who is calling: the user and every group of the process at the other end
 * of the socket. */
struct Caller {
    uid_t uid = 0;
    std::vector<gid_t> groups;
};

/* Looks a user or group name up; false when there is none. The default
 * looks in the system's user and group databases. */
struct NameLookup {
    std::function<bool(const std::string &name, uint32_t &id)> user;
    std::function<bool(const std::string &name, uint32_t &id)> group;

    static NameLookup system();
    /* Looks names up in the tables given (for tests). */
    static NameLookup fromTables(std::map<std::string, uint32_t> users,
                                 std::map<std::string, uint32_t> groups);
};

class AccessRules {
  public:
    /* What a rule file reads into. */
    struct Pattern {
        std::string text; /* without the trailing "*" of a prefix pattern */
        bool prefix = false;
        bool matches(const std::string &value) const;
    };
    struct Grant {
        Pattern path;
        unsigned operations = 0;
        std::vector<Pattern> functions;
    };
    struct Rule {
        bool group = false;
        bool known = false; /* false: a name nobody has */
        uint32_t id = 0;
        std::vector<Grant> grants;
    };

    /* Adds the rules of one file's text; `name` is used in messages. False
     * with *error set, and nothing added, when the text is not a valid rule
     * file. */
    bool addText(const std::string &text, const std::string &name, const NameLookup &lookup,
                 std::string *error);

    /* Reads every "*.json" file of `directory`, in name order. False with
     * *error set when the directory or a file cannot be read or a file is
     * not valid; the rules are then as before the call. */
    bool loadDirectory(const std::string &directory, const NameLookup &lookup, std::string *error);

    /* May `caller` perform `operation` on `path`? */
    bool allows(const Caller &caller, AccessOperation operation, const std::string &path) const;

    /* May `caller` perform `operation` on `path` and on every path below it
     * ("path." followed by anything)? */
    bool allowsSubtree(const Caller &caller, AccessOperation operation,
                       const std::string &path) const;

    /* May `caller` perform `operation` on `path` or on some path below it?
     * An empty `path` stands for the whole tree. */
    bool allowsSomewhere(const Caller &caller, AccessOperation operation,
                         const std::string &path) const;

    /* May `caller` call `function` on the object at `path`? */
    bool allowsCall(const Caller &caller, const std::string &path,
                    const std::string &function) const;

    /* Names that matched no user or group when the rules were read, one
     * message each ("<file>: no user \"x\": its rule matches nobody"). */
    const std::vector<std::string> &warnings() const { return warnings_; }

    size_t size() const { return rules_.size(); }

  private:
    bool applies(const Rule &rule, const Caller &caller) const;
    template <typename Test> bool anyGrant(const Caller &caller, Test test) const;

    std::vector<Rule> rules_;
    std::vector<std::string> warnings_;
};

} // namespace zebd

#endif
