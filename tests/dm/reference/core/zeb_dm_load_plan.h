/*
 * What a saved file asks of the data model, checked against the definition
 * before the data model is touched, and the two readers that make it: the
 * streaming reader, which takes the files a save writes in one pass, and the
 * document reader, which takes every file and locates every fault.
 */
#ifndef ZEB_DM_LOAD_PLAN_H
#define ZEB_DM_LOAD_PLAN_H

#include <string>
#include <vector>

#include "zeb_dm_json.h"

namespace zeb_dm {

struct PlanInstance;

/* A saved value, already converted to its parameter's type. */
struct PlanValue {
    size_t position;         /* of the parameter */
    const std::string *name; /* as saved, for the pointer of an error */
    Variant value;
};

/* Values and children are applied in the order of their names, instances in
 * file order. */
struct PlanNode {
    std::string name;
    std::string pointer; /* of its "parameters" member */
    std::vector<PlanValue> values;
    std::vector<PlanNode> children;
    std::vector<PlanInstance> instances;
};

struct PlanInstance {
    uint32_t index = 0;
    std::string key;
    std::string pointer;
    PlanNode node;
};

/* Whether a saved value of JSON kind `kind` may be given to a parameter of
 * `type` at all (whether it converts is another question). */
ZEB_DM_INTERNAL bool kindFits(Json::value_t kind, variant_type_t type);

/* Reads `text` in one pass into `plan` for the object it names (`root`),
 * checking it as it goes. False, with the data model untouched and zeb_error
 * unchanged, for a file it does not take as it is: anything invalid, and the
 * valid files a save does not write (saved values the definition does not
 * have); the document reader then reads it again to load or locate the fault. */
ZEB_DM_INTERNAL bool streamPlan(datamodel_t *dm, const std::string &text, uint32_t flags,
                                object_t *&root, PlanNode &plan);

} // namespace zeb_dm

#endif
