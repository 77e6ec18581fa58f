/*
 * Access rules: what each subject may do on the bus. The daemon asks them
 * about its callers (the user and groups of the process at the other end of
 * the socket), the HTTP bridge about its sessions (their roles).
 *
 * A rule file is a JSON object:
 *
 *   { "rules": [ { "user": "www-data",          (or "group" or "role")
 *                  "access": [ { "path": "Phonebook.Entry*",
 *                                "operations": ["get", "set", "add", "del", "list", "subscribe"],
 *                                "functions": ["getContact*", "addContact"] } ] } ] }
 *
 * A rule names one subject: a "user" or a "group" by name or number, or a
 * "role" by name. A path pattern is a data model path (instances named by
 * key) matched exactly, or, ending in "*", every path that begins with the
 * text before the "*"; "*" alone matches every path. Function patterns
 * follow the same rule against the function's name; a function may be
 * called on the objects its grant's path matches. Rules add up: a subject
 * may do what any rule naming its user, one of its groups or one of its
 * roles allows, and nothing else. The user root (uid 0) may do everything.
 *
 * Names are looked up once, when the rules are read (see NameLookup); a name
 * that is not known is reported in the warnings and its rule matches nobody.
 * On the bus no caller has roles: role rules read with NameLookup::system()
 * are reported so and match nobody.
 *
 * Ownership: an AccessRules owns what it read and keeps nothing of the
 * lookup or the texts it was given. Its const members may be called from
 * several threads at once; reading rules into it may not overlap with them.
 * Failures are returned as texts "<file>:<line>:<column>: <what>" through an
 * `error` pointer, which may be null when the text is not wanted; nothing
 * throws except std::bad_alloc.
 */
#ifndef ZEB_ACCESS_HPP
#define ZEB_ACCESS_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zeb_access {

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

/* No user at all ((uid_t)-1): no rule can name it. */
constexpr uid_t kNoUser = static_cast<uid_t>(-1);

/* Who asks. A caller of the bus is the user and every group of the process
 * at the other end of the socket, and has no roles; a session of the HTTP
 * bridge has only roles (its uid stays kNoUser, so that it is never root). */
struct Caller {
    uid_t uid = kNoUser;
    std::vector<gid_t> groups;
    std::vector<std::string> roles;
};

/* Looks a user, group or role name up; false when there is none. A missing
 * function knows no name of its kind. */
struct NameLookup {
    std::function<bool(const std::string &name, uint32_t &id)> user;
    std::function<bool(const std::string &name, uint32_t &id)> group;
    std::function<bool(const std::string &name)> role;

    /* The system's user and group databases, and no roles (the bus). */
    static NameLookup system();
    /* Every role name, and no user or group (the HTTP bridge's roles). */
    static NameLookup roles();
    /* The names of the tables given, and no roles (for tests). */
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
    enum class Kind { kUser, kGroup, kRole };
    struct Rule {
        Kind kind = Kind::kUser;
        bool known = false; /* false: a name nobody has */
        uint32_t id = 0;    /* of a user or group */
        std::string role;
        std::vector<Grant> grants;
    };

    /* Adds the rules of one file's text; `name` is used in messages. False
     * with *error set, and nothing added, when the text is not a valid rule
     * file. */
    bool addText(const std::string &text, const std::string &name, const NameLookup &lookup,
                 std::string *error);

    /* Reads every "*.json" file of `directory` (not those whose name begins
     * with a dot), in name order. False with *error set when the directory
     * or a file cannot be read or a file is not valid; the rules are then as
     * before the call. */
    bool loadDirectory(const std::string &directory, const NameLookup &lookup, std::string *error);

    /* May `caller` perform `operation` on `path`? */
    bool allows(const Caller &caller, AccessOperation operation, const std::string &path) const;

    /* May `caller` perform `operation` on `path` and on every path below it
     * ("path." followed by anything)? */
    bool allowsSubtree(const Caller &caller, AccessOperation operation,
                       const std::string &path) const;

    /* May `caller` perform `operation` on `path` or on some path below it?
     * An empty `path` stands for the whole tree. Subscribing needs this for
     * `subscribe`. */
    bool allowsSomewhere(const Caller &caller, AccessOperation operation,
                         const std::string &path) const;

    /* May `caller` call `function` on the object at `path`? */
    bool allowsCall(const Caller &caller, const std::string &path,
                    const std::string &function) const;

    /* May `caller` receive a notification of `path` (the object that sent
     * it, "Phonebook" for the phonebook's)? */
    bool allowsNotification(const Caller &caller, const std::string &path) const {
        return allows(caller, kAccessSubscribe, path);
    }

    /* Names that were not known when the rules were read, one message each
     * ("<file>: no user \"x\": its rule matches nobody"). */
    const std::vector<std::string> &warnings() const { return warnings_; }

    size_t size() const { return rules_.size(); }

    /* Does a rule name the role `role`? */
    bool namesRole(const std::string &role) const;

  private:
    bool applies(const Rule &rule, const Caller &caller) const;
    template <typename Test> bool anyGrant(const Caller &caller, Test test) const;

    std::vector<Rule> rules_;
    std::vector<std::string> warnings_;
};

} // namespace zeb_access

#endif
