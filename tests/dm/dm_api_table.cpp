#include "dm_api_table.h"

/* The reference core exports the same functions under prefixed names. */
#define DM_API_DECLARE(name) extern "C" decltype(::name) zebref_##name;
DM_API_FUNCTIONS(DM_API_DECLARE)
#undef DM_API_DECLARE
extern "C" uint32_t zebref_zeb_error;

namespace dmdiff {

const DmApi &coreApi() {
#define DM_API_CORE(name) ::name,
    static const DmApi api = {DM_API_FUNCTIONS(DM_API_CORE) & zeb_error};
#undef DM_API_CORE
    return api;
}

const DmApi &referenceApi() {
#define DM_API_REFERENCE(name) zebref_##name,
    static const DmApi api = {DM_API_FUNCTIONS(DM_API_REFERENCE) & zebref_zeb_error};
#undef DM_API_REFERENCE
    return api;
}

} // namespace dmdiff
