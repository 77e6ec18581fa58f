/*
 * The in-process test host: runs a definition and its plug-in inside this
 * test process exactly as the daemon would, under a temporary system root,
 * on the virtual clock, recording every notification and trace line.
 *
 *   zebtest::TestHost host;
 *   ASSERT_TRUE(host.start(definitionPath));
 *   auto r = host.call("Phonebook", "getContact", {{"formattedName", "Ann"}});
 *   host.advance(5000);
 *
 * Values go in and come out as JSON (zeb_variant_json.hpp) or as Var, a
 * variant owned by the test, where the exact variant type matters.
 */
#ifndef ZEB_TEST_HOST_HPP
#define ZEB_TEST_HOST_HPP

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "zeb/ops.h"
#include "zeb/sl.h"
#include "test_var.hpp"

namespace zebtest {

struct CallResult {
    bool ok = false; /* the handler ran and returned 0 */
    Var retval;
    json outargs = json::object(); /* arguments left in the list, by name */
    /* The same as variants, in list order: a value without a JSON form (a
     * double that is not finite) is null in `outargs`. */
    std::vector<std::pair<std::string, Var>> outvars;
    json value() const { return retval.toJson(); }
};

struct Notification {
    uint32_t type;
    std::string name;
    std::string path;
    json parameters;
};

struct TraceLine {
    int level;
    std::string zone;
    std::string line;
};

class TestHost {
  public:
    /* Creates the system root and switches to the virtual clock. Trace lines
     * up to `traceLevel` are recorded, in every zone. */
    explicit TestHost(int traceLevel = 500);
    ~TestHost();
    TestHost(const TestHost &) = delete;
    TestHost &operator=(const TestHost &) = delete;

    /* Loads a definition and starts its plug-in; false with lastError(). */
    bool start(const std::string &definitionPath);
    /* Stops the plug-ins (their cleanup runs) and drops the data model. */
    void stop();
    bool running() const { return context_ != nullptr; }
    zeb_t *context() const { return context_; }

    const std::string &sysroot() const { return sysroot_; }
    /* Where a fixed absolute path lands under the system root. */
    std::string path(const std::string &absolute) const { return sysroot_ + absolute; }
    void writeFile(const std::string &absolute, const std::string &content) const;
    std::string readFile(const std::string &absolute) const;
    bool exists(const std::string &absolute) const {
        return std::filesystem::exists(path(absolute));
    }

    /* Function calls: named arguments (a JSON object) or positional ones (a
     * JSON array), as a client on the bus makes them. */
    CallResult call(const std::string &object, const std::string &function,
                    const json &named = json::object());
    CallResult callPositional(const std::string &object, const std::string &function,
                              const json &positional);
    /* Same with arguments given as variants, where the type matters. */
    CallResult callVars(const std::string &object, const std::string &function,
                        const std::vector<std::pair<std::string, Var>> &arguments, bool named);

    /* Client operations (zeb/ops.h). Failures leave lastError() set. */
    Var get(const std::string &path, bool recursive = false);
    bool set(const std::string &objectPath, const json &values, std::string *refused = nullptr);
    /* The new instance's path (instances by key), or "" on failure. */
    std::string add(const std::string &templatePath, const json &values = json::object(),
                    const std::string &key = "", std::string *refused = nullptr);
    bool del(const std::string &instancePath);

    /* Moves the virtual clock, firing the timers that fall due. */
    void advance(uint64_t milliseconds) { zeb_clock_advance(milliseconds); }

    std::vector<Notification> notifications;
    std::vector<TraceLine> traces;
    bool traced(const std::string &text) const { return countTraced(text) > 0; }
    size_t countTraced(const std::string &text) const;
    void clearRecords() {
        notifications.clear();
        traces.clear();
    }
    const std::string &lastError() const { return lastError_; }

  private:
    static void onTrace(void *self, int level, const char *zone, const char *line);
    static void onNotification(void *self, const notification_t *n);
    void recordError() { lastError_ = zeb_errorMessage(); }

    zeb_t *context_ = nullptr;
    std::string sysroot_;
    std::string savedSysroot_;
    bool hadSysroot_ = false;
    std::string lastError_;
};

} // namespace zebtest

#endif
