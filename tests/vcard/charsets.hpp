// Whether the C library converts these character sets to UTF-8. glibc keeps
// its converters as modules (gconv) that the emulated run of the gateway's
// build lacks, and a gateway image may leave out too; a native run always
// has them, so it always tests them.
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

#endif
