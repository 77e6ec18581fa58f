/*
 * Sessions of zeb-httpd and the throttling of failed logins. Times are
 * seconds of the monotonic clock, passed in by the caller so that the tables
 * hold no clock of their own. Used from the server's one thread.
 */
#ifndef ZEB_HTTPD_SESSIONS_HPP
#define ZEB_HTTPD_SESSIONS_HPP

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace zebhttpd {

struct Session {
    std::string id; /* 32 hexadecimal digits: 128 random bits */
    std::string user;
    std::vector<std::string> roles;
    double lastUse = 0;
};

class Sessions {
  public:
    Sessions(double idleSeconds, size_t capacity) : idle_(idleSeconds), capacity_(capacity) {}

    /* A new session for the user, or null when `capacity` sessions that have
     * not expired exist already or no random bits could be had. */
    const Session *open(const std::string &user, const std::vector<std::string> &roles, double now);

    /* The session of `id` when it has not expired, its idle time restarted;
     * null otherwise (an expired one is forgotten). */
    const Session *use(const std::string &id, double now);

    /* The session of `id` when it has not expired, its idle time left as
     * it is (an event stream does not keep its session alive); null otherwise. */
    const Session *find(const std::string &id, double now) const;

    /* Ends the session; false when there is none of that id. */
    bool close(const std::string &id);

    double idleSeconds() const { return idle_; }

  private:
    void forgetExpired(double now);

    double idle_;
    size_t capacity_;
    std::unordered_map<std::string, Session> sessions_;
};

/* Failed logins counted per key (a user name, a client address): after
 * kFreeFailures failures in a row, each further one makes the key wait
 * kFirstDelay seconds, doubled each time up to kMaxDelay. A success clears
 * the key. At most kMaxKeys keys are kept; the one failed longest ago goes
 * first. */
class LoginThrottle {
  public:
    static constexpr int kFreeFailures = 3;
    static constexpr double kFirstDelay = 1;
    static constexpr double kMaxDelay = 300;
    static constexpr size_t kMaxKeys = 4096;

    /* Seconds the key must still wait before a login is tried, 0 when none. */
    double wait(const std::string &key, double now) const;
    void failed(const std::string &key, double now);
    void succeeded(const std::string &key) { keys_.erase(key); }

  private:
    struct Record {
        int failures = 0;
        double lastFailure = 0;
        double notBefore = 0;
    };
    std::unordered_map<std::string, Record> keys_;
};

} // namespace zebhttpd

#endif
