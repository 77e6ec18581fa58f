// Values written on zeb-cli's command line: reading one must never crash or
// leak, and must give what the usage text promises: the JSON value when the
// text is JSON that has a variant form, else the text itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli_value.hpp"
#include "zeb_variant_json.hpp"

namespace {

using zeb_json::json;

[[noreturn]] void broken(const char *what, const std::string &text) {
    fprintf(stderr, "zeb-cli value %s: [%s]\n", what, text.c_str());
    abort();
}

bool isText(const variant_t *value, const std::string &text) {
    const char *held = variant_da_char(value);
    return variant_type(value) == variant_type_string && held != nullptr && text == held;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An argument of a command line ends at its first NUL.
    std::string text(reinterpret_cast<const char *>(data),
                     strnlen(reinterpret_cast<const char *>(data), size));

    variant_t value;
    variant_initialize(&value, variant_type_unknown);
    zebcli::parseValue(text, &value);

    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        if (!isText(&value, text))
            broken("that is not JSON did not stay text", text);
    } else {
        // Either the JSON value itself, which converts back to the same
        // document, or the text when the document has no variant form.
        json back;
        bool same = zeb_json::variantToJson(&value, back) && back == parsed;
        if (!same && !isText(&value, text))
            broken("read as JSON changed", text);
    }
    variant_cleanup(&value);
    return 0;
}
