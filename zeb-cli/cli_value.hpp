/*
 * How zeb-cli reads a VALUE written on its command line (C++ only; shared by
 * the CLI and its fuzz harness).
 *
 * parseValue: the text is JSON when it parses as a JSON document that has a
 * variant form (zeb_variant_json.hpp), and then `out` is that value;
 * otherwise `out` is the text itself as a string ("0612345678" is not JSON:
 * a leading zero). `out` must be initialized; its old value is replaced.
 * Never throws.
 */
#ifndef ZEB_CLI_VALUE_HPP
#define ZEB_CLI_VALUE_HPP

#include <string>

#include "zeb/variant.h"

namespace zebcli {

void parseValue(const std::string &text, variant_t *out);

} // namespace zebcli

#endif
