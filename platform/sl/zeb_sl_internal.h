/*
 * Private to libzeb_sl: the host context shared by the host, call and
 * notification parts, and error reporting.
 */
#ifndef ZEB_SL_INTERNAL_H
#define ZEB_SL_INTERNAL_H

#include "zeb/sl.h"

#include <string>
#include <utility>
#include <vector>

#include "zeb_no_throw.hpp"

struct ZebPlugin {
    std::string path;
    void *handle = nullptr;
    zeb_plugin_cleanup_t cleanup = nullptr;
};

struct ZebSubscription {
    uint32_t id = 0;
    std::string path; /* without a trailing dot; empty matches everything */
    zeb_subscriber_t subscriber = nullptr;
    void *userData = nullptr;
};

struct zeb {
    datamodel_t *dm = nullptr;
    std::vector<ZebPlugin> plugins; /* started plug-ins, in order of start */
    std::vector<ZebSubscription> subscriptions;
    uint32_t lastSubscriptionId = 0;
};

/* Sets zeb_error and the message zeb_errorMessage() returns. */
void slFail(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Fails with ZEB_ERROR_INVALID_ARGUMENT naming `function` when `ok` is false. */
bool slCheck(bool ok, const char *function);

/* Runs `body` and turns an allocation failure into ZEB_ERROR_NO_MEMORY and
 * `failed`, so that no exception leaves the C interface. */
template <typename R, typename F> R slNoThrow(R failed, F &&body) {
    return zeb_nothrow::run(
        zeb_nothrow::Mapping::OutOfMemory, failed,
        [](uint32_t code, const char *text) { slFail(code, "%s", text); }, std::forward<F>(body));
}

#endif
