// Whether the C library converts a character set to UTF-8. glibc keeps its
// converters, but for UTF-8 itself, as modules (gconv) on the system: the
// emulated run of the gateway's build has none of them (Debian's cross C
// library ships no modules), and a gateway image may leave them out too, so
// phonebook-vcard needs them installed there to read UTF-16 files and
// vCard 2.1 character sets.
#ifndef VCARD_TEST_CHARSETS_HPP
#define VCARD_TEST_CHARSETS_HPP

#include <iconv.h>

#include <initializer_list>

inline bool convertsToUtf8(std::initializer_list<const char *> charsets) {
    for (const char *charset : charsets) {
        iconv_t cd = iconv_open("UTF-8", charset);
        if (cd == reinterpret_cast<iconv_t>(-1))
            return false;
        iconv_close(cd);
    }
    return true;
}

// Skips the test where the converters are missing; never on a system with
// glibc's modules, so the native run always tests them.
#define VCARD_NEEDS_CHARSETS(...)                                                                  \
    if (!convertsToUtf8({__VA_ARGS__}))                                                            \
    GTEST_SKIP() << "this C library has no converter of " #__VA_ARGS__ " (see charsets.hpp)"

#endif
