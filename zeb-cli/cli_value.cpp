#include "cli_value.hpp"

#include "zeb_variant_json.hpp"

namespace zebcli {

void parseValue(const std::string &text, variant_t *out) {
    zebjson::json parsed = zebjson::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !zebjson::jsonToVariant(parsed, out))
        variant_setChar(out, text.c_str());
}

} // namespace zebcli
