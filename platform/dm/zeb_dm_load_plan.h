/*
 * What a saved file asks of the data model, checked against the definition
 * before the data model is touched, and the two readers that make it: the
 * streaming reader, which takes the files a save writes in one pass, and the
 * document reader, which takes every file and locates every fault.
 */
#ifndef ZEB_DM_LOAD_PLAN_H
#define ZEB_DM_LOAD_PLAN_H

#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "zeb_dm_json.h"

namespace zeb_dm {

/* The memory of one load's plan: blocks mapped from the system, never taken
 * from the heap, all unmapped when it is destroyed. A plan is about as large
 * as the values it brings; made in the heap, it would leave the data model's
 * objects created while it is applied scattered between its blocks, and the
 * heap that held it could not be given back. */
class PlanArena {
  public:
    PlanArena();
    PlanArena(const PlanArena &) = delete;
    PlanArena &operator=(const PlanArena &) = delete;

    std::pmr::memory_resource *resource() { return &buffer_; }
    /* A copy of `text` in the arena, followed by a NUL. */
    std::string_view keep(std::string_view text);

  private:
    class Mapped : public std::pmr::memory_resource {
        void *do_allocate(size_t bytes, size_t alignment) override;
        void do_deallocate(void *block, size_t bytes, size_t alignment) override;
        bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
            return this == &other;
        }
    };

    static constexpr size_t kFirstBlock = 64 * 1024;

    Mapped mapped_;
    std::pmr::monotonic_buffer_resource buffer_;
};

using PlanAllocator = std::pmr::polymorphic_allocator<std::byte>;

struct PlanInstance;

/* A saved value, already converted to its parameter's type. Texts of a plan
 * are views of its arena, each followed by a NUL. */
struct PlanValue {
    size_t position;         /* of the parameter */
    const std::string *name; /* as saved, for the pointer of an error */
    Variant value;           /* empty for a text parameter: */
    std::string_view text;   /* its value, made into a variant when applied */
};

/* Values and children are applied in the order of their names, instances in
 * file order. Every part of a node lives in its allocator's arena. */
struct PlanNode {
    using allocator_type = PlanAllocator;

    explicit PlanNode(const allocator_type &arena)
        : values(arena), children(arena), instances(arena) {}
    PlanNode(PlanNode &&other, const allocator_type &arena);
    PlanNode(PlanNode &&) = default;
    PlanNode &operator=(PlanNode &&) = default;

    std::string_view name;
    std::string_view pointer; /* of its "parameters" member */
    std::pmr::vector<PlanValue> values;
    std::pmr::vector<PlanNode> children;
    std::pmr::vector<PlanInstance> instances;
};

struct PlanInstance {
    using allocator_type = PlanAllocator;

    explicit PlanInstance(const allocator_type &arena) : node(arena) {}
    PlanInstance(PlanInstance &&other, const allocator_type &arena)
        : index(other.index), key(other.key), pointer(other.pointer),
          node(std::move(other.node), arena) {}
    PlanInstance(PlanInstance &&) = default;
    PlanInstance &operator=(PlanInstance &&) = default;

    uint32_t index = 0;
    std::string_view key;
    std::string_view pointer;
    PlanNode node;
};

inline PlanNode::PlanNode(PlanNode &&other, const allocator_type &arena)
    : name(other.name), pointer(other.pointer), values(std::move(other.values), arena),
      children(std::move(other.children), arena), instances(std::move(other.instances), arena) {}

/* Whether a saved value of JSON kind `kind` may be given to a parameter of
 * `type` at all (whether it converts is another question). */
ZEB_DM_INTERNAL bool kindFits(Json::value_t kind, variant_type_t type);

/* Reads `text` in one pass into `plan` for the object it names (`root`),
 * checking it as it goes. False, with the data model untouched and zeb_error
 * unchanged, for a file it does not take as it is: anything invalid, and the
 * valid files a save does not write (saved values the definition does not
 * have); the document reader then reads it again to load or locate the fault. */
ZEB_DM_INTERNAL bool streamPlan(datamodel_t *dm, const std::string &text, uint32_t flags,
                                object_t *&root, PlanArena &arena, PlanNode &plan);

} // namespace zeb_dm

#endif
