/*
 * What a session may do on the bus: the seam where roles decide. The bridge
 * asks before every bus request it forwards and before every notification it
 * passes on; a refused request never reaches the bus and is answered as the
 * bus answers a refusal (ZEB_ERROR_PERMISSION).
 */
#ifndef ZEB_HTTPD_ACCESS_HPP
#define ZEB_HTTPD_ACCESS_HPP

#include <string>

#include "httpd_sessions.hpp"

namespace zebhttpd {

/* One bus request as the rules see it: the operation ("call", "get", "set",
 * "add", "del", "list"), the path it names and, for "call", the function. */
struct BusRequest {
    std::string operation;
    std::string path;
    std::string function;
};

class Access {
  public:
    virtual ~Access() = default;
    /* May the session's roles make this request? */
    virtual bool mayRequest(const Session &session, const BusRequest &request) const = 0;
    /* May the session's roles see a notification `name` of the object at `path`? */
    virtual bool maySee(const Session &session, const std::string &path,
                        const std::string &name) const = 0;
};

/* Every session may do everything its login allows: what stands until roles
 * have rules of their own. */
class PermitAll : public Access {
  public:
    bool mayRequest(const Session &, const BusRequest &) const override { return true; }
    bool maySee(const Session &, const std::string &, const std::string &) const override {
        return true;
    }
};

} // namespace zebhttpd

#endif
