/*
 * The one guard that keeps C++ exceptions inside the platform's libraries:
 * each C function whose body may throw runs it through zeb_nothrow::run,
 * which turns what was thrown into a failure reported the library's way
 * and the function's failure result. Private to the platform; header-only.
 */
#ifndef ZEB_NO_THROW_HPP
#define ZEB_NO_THROW_HPP

#include <exception>
#include <new>

#include "zeb/error.h"

namespace zeb_nothrow {

/* What a caught exception becomes. */
enum class Mapping {
    /* std::bad_alloc: ZEB_ERROR_NO_MEMORY, "out of memory"; any other
     * std::exception (a length or range error, ...): ZEB_ERROR_INVALID_ARGUMENT
     * with its what(). Anything else is not caught. The data model: a
     * standard exception there comes from a value or a size it was given. */
    ByKind,
    /* Anything: ZEB_ERROR_NO_MEMORY, "out of memory". The plug-in host and
     * the bus client, where only allocation throws. */
    OutOfMemory,
};

/* Runs `body` and returns its result. When it throws, calls
 * report(code, text) as `mapping` says and returns `failed`. */
template <typename R, typename Report, typename F>
R run(Mapping mapping, R failed, Report &&report, F &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        report(ZEB_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::exception &e) {
        if (mapping != Mapping::ByKind)
            report(ZEB_ERROR_NO_MEMORY, "out of memory");
        else
            report(ZEB_ERROR_INVALID_ARGUMENT, e.what());
    } catch (...) {
        if (mapping == Mapping::ByKind)
            throw;
        report(ZEB_ERROR_NO_MEMORY, "out of memory");
    }
    return failed;
}

} // namespace zeb_nothrow

#endif
