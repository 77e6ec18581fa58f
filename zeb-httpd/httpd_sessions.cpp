#include "httpd_sessions.hpp"

#include <algorithm>
#include <cmath>

#include <sys/random.h>

namespace zebhttpd {

namespace {

bool randomId(std::string &id) {
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return false;
    static const char kHex[] = "0123456789abcdef";
    id.clear();
    for (unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    return true;
}

} // namespace

void Sessions::forgetExpired(double now) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now - it->second.lastUse >= idle_)
            it = sessions_.erase(it);
        else
            ++it;
    }
}

const Session *Sessions::open(const std::string &user, const std::vector<std::string> &roles,
                              double now) {
    if (sessions_.size() >= capacity_)
        forgetExpired(now);
    Session session{"", user, roles, now};
    if (sessions_.size() >= capacity_ || !randomId(session.id) || sessions_.count(session.id) != 0)
        return nullptr;
    return &sessions_.emplace(session.id, session).first->second;
}

const Session *Sessions::find(const std::string &id, double now) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() || now - it->second.lastUse >= idle_ ? nullptr : &it->second;
}

const Session *Sessions::use(const std::string &id, double now) {
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return nullptr;
    if (now - it->second.lastUse >= idle_) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.lastUse = now;
    return &it->second;
}

bool Sessions::close(const std::string &id) {
    return sessions_.erase(id) != 0;
}

double LoginThrottle::wait(const std::string &key, double now) const {
    auto it = keys_.find(key);
    return it == keys_.end() ? 0 : std::max(0.0, it->second.notBefore - now);
}

void LoginThrottle::failed(const std::string &key, double now) {
    if (keys_.size() >= kMaxKeys && keys_.count(key) == 0) {
        auto oldest =
            std::min_element(keys_.begin(), keys_.end(), [](const auto &a, const auto &b) {
                return a.second.lastFailure < b.second.lastFailure;
            });
        keys_.erase(oldest);
    }
    Record &record = keys_[key];
    record.failures++;
    record.lastFailure = now;
    int beyond = record.failures - kFreeFailures;
    if (beyond > 0)
        record.notBefore =
            now + std::min(kMaxDelay, kFirstDelay * std::ldexp(1.0, std::min(beyond - 1, 30)));
}

} // namespace zebhttpd
