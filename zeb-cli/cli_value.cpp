#include "cli_value.hpp"

#include "zeb_variant_json.hpp"

namespace zebcli {

void parseValue(const std::string &text, variant_t *out) {
    zeb_json::json parsed = zeb_json::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !zeb_json::jsonToVariant(parsed, out))
        variant_setChar(out, text.c_str());
}

} // namespace zebcli
