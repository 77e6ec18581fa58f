/*
 * What a session may do on the bus: the seam where roles decide. The bridge
 * asks before every bus request it forwards and before every notification it
 * passes on; a refused request never reaches the bus and is answered as the
 * bus answers a refusal (ZEB_ERROR_PERMISSION).
 */
#ifndef ZEB_HTTPD_ACCESS_HPP
#define ZEB_HTTPD_ACCESS_HPP

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "httpd_sessions.hpp"

namespace zeb_access {
class AccessRules;
}

namespace zebhttpd {

/* One bus request as the rules see it: the operation ("call", "get", "set",
 * "add", "del", "list"), the path it names and, for "call", the function;
 * for "get" whether it reads below the path; for "set" the names of the
 * parameters set. */
struct BusRequest {
    std::string operation;
    std::string path;
    std::string function;
    bool recursive = false;
    std::vector<std::string> parameters;
};

class Access {
  public:
    virtual ~Access() = default;
    /* "" when the session's roles allow the request; else what is refused,
     * worded as the bus words it: "set Phonebook.MaxNumberOfEntries",
     * "call Phonebook.import", "get Phonebook recursively". */
    virtual std::string refusal(const Session &session, const BusRequest &request) const = 0;
    /* May the session's roles see a notification `name` of the object at `path`? */
    virtual bool maySee(const Session &session, const std::string &path,
                        const std::string &name) const = 0;
};

/* The roles' rules (zeb_access rules whose subject is a "role"), checked as
 * zebd checks its callers: docs/access-control.md, "What each request
 * needs". Paths are matched as the request spells them, less a trailing
 * dot. Until rules have been read, every request and notification is
 * refused. Its members may be called from several threads at once. */
class RoleAccess : public Access {
  public:
    RoleAccess();
    ~RoleAccess() override;

    /* Reads every rule file of `directory` in place of the rules in force.
     * False with `error` set, and the rules in force kept, when the
     * directory or a file cannot be read or is not valid. */
    bool load(const std::string &directory, std::string &error);

    /* Messages of the rules in force: names that matched nobody, and each
     * role of `roles` that no rule names. */
    std::vector<std::string> warnings(const std::vector<std::string> &roles) const;
    /* How many rules are in force. */
    size_t size() const;

    std::string refusal(const Session &session, const BusRequest &request) const override;
    bool maySee(const Session &session, const std::string &path,
                const std::string &name) const override;

  private:
    std::shared_ptr<const zeb_access::AccessRules> current() const;

    mutable std::mutex mutex_;
    std::shared_ptr<const zeb_access::AccessRules> rules_;
};

} // namespace zebhttpd

#endif
