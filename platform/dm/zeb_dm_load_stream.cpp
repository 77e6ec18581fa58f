#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

#include "zeb_dm_load_plan.h"

namespace zeb_dm {

namespace {

/* What the value after the last member name is for. */
enum class Expect : uint8_t {
    Nothing,
    Version,
    Path,
    Index,
    Key,
    Value,
    Parameters,
    Objects,
    Instances,
    Child
};

enum class FrameKind : uint8_t { Node, Values, Children, Instances };

/* Members a node has had, to refuse a second one of the same name. */
enum Seen : uint8_t {
    kVersion = 1,
    kPath = 2,
    kIndex = 4,
    kKey = 8,
    kParameters = 16,
    kObjects = 32,
    kInstances = 64
};

struct NodeMember {
    const char *name;
    Seen seen;
    Expect expect;
    bool onTemplate; /* a template's own node, else an object's or an instance's */
    bool onInstance; /* only in an instance */
};

const NodeMember kNodeMembers[] = {
    {"instances", kInstances, Expect::Instances, true, false},
    {"parameters", kParameters, Expect::Parameters, false, false},
    {"objects", kObjects, Expect::Objects, false, false},
    {"index", kIndex, Expect::Index, false, true},
    {"key", kKey, Expect::Key, false, true},
};

/* An open object or array of the file. Frames are kept and reused, so that
 * their texts and sets keep their capacity from one instance to the next. */
struct Frame {
    FrameKind kind = FrameKind::Node;
    const object_t *shape = nullptr; /* whose content it is; null for the top until "path" */
    PlanNode *plan = nullptr;
    PlanInstance *instance = nullptr; /* a node that is an instance */
    std::string pointer;
    uint8_t seen = 0;
    std::vector<size_t> positions;        /* Values: the parameters given */
    std::unordered_set<uint32_t> indexes; /* Instances */
    std::unordered_set<std::string> keys; /* Instances */
};

class Streamer : public nlohmann::json_sax<Json> {
  public:
    Streamer(datamodel_t *dm, uint32_t flags, PlanArena &arena, PlanNode &plan)
        : dm_(dm), flags_(flags), arena_(arena), plan_(plan) {
        frames_.reserve(kMaxDepth); /* no frame moves while a reference to it is held */
    }

    object_t *root() const { return root_; }

    bool null() override { return false; }
    bool boolean(bool value) override {
        return expected(Expect::Value) && saved(Json::value_t::boolean, [value](variant_t *out) {
                   return variant_setBool(out, value);
               });
    }
    bool number_integer(number_integer_t value) override {
        return expected(Expect::Value) &&
               saved(Json::value_t::number_integer,
                     [value](variant_t *out) { return variant_setInt64(out, value); });
    }
    bool number_unsigned(number_unsigned_t value) override {
        switch (take()) {
        case Expect::Version:
            return value == 1;
        case Expect::Index:
            return indexed(value);
        case Expect::Value:
            return saved(Json::value_t::number_unsigned,
                         [value](variant_t *out) { return variant_setUInt64(out, value); });
        default:
            return false;
        }
    }
    bool number_float(number_float_t value, const string_t &) override {
        return expected(Expect::Value) &&
               saved(Json::value_t::number_float,
                     [value](variant_t *out) { return variant_setDouble(out, value); });
    }
    bool string(string_t &value) override {
        if (value.size() > kMaxStringLength) {
            return false;
        }
        switch (take()) {
        case Expect::Path:
            return rooted(value);
        case Expect::Key:
            return keyed(value);
        case Expect::Value:
            return savedText(value);
        default:
            return false;
        }
    }
    bool binary(binary_t &) override { return false; }
    bool start_object(std::size_t) override { return depth_ < kMaxDepth && openObject(); }
    bool start_array(std::size_t) override {
        return depth_ < kMaxDepth && take() == Expect::Instances && openInstances();
    }
    bool end_object() override { return closeObject(); }
    bool end_array() override {
        pop();
        return true;
    }
    bool key(string_t &name) override {
        if (name.size() > kMaxStringLength || depth_ == 0) {
            return false;
        }
        Frame &frame = top();
        switch (frame.kind) {
        case FrameKind::Node:
            return nodeMember(frame, name);
        case FrameKind::Values:
            return valueMember(frame, name);
        case FrameKind::Children:
            return childMember(frame, name);
        default:
            return false;
        }
    }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &) override {
        return false;
    }

  private:
    Frame &top() { return frames_[depth_ - 1]; }

    Expect take() {
        Expect expect = expect_;
        expect_ = Expect::Nothing;
        return expect;
    }

    bool expected(Expect wanted) { return take() == wanted; }

    Frame &push(FrameKind kind, const object_t *shape, PlanNode *plan, std::string pointer) {
        if (frames_.size() <= depth_) {
            frames_.emplace_back();
        }
        Frame &frame = frames_[depth_++];
        frame.kind = kind;
        frame.shape = shape;
        frame.plan = plan;
        frame.instance = nullptr;
        frame.pointer = std::move(pointer);
        frame.seen = 0;
        return frame;
    }

    void pop() { --depth_; }

    bool once(Frame &frame, Seen seen, Expect expect) {
        if (frame.seen & seen) {
            return false;
        }
        frame.seen |= seen;
        expect_ = expect;
        return true;
    }

    bool nodeMember(Frame &frame, const std::string &name) {
        if (depth_ == 1 && name == "version") {
            return once(frame, kVersion, Expect::Version);
        }
        if (depth_ == 1 && name == "path") {
            return once(frame, kPath, Expect::Path);
        }
        if (!frame.shape) {
            return false;
        }
        bool onTemplate = frame.shape->kind == Kind::Template && !frame.instance;
        for (const NodeMember &member : kNodeMembers) {
            if (name == member.name && member.onTemplate == onTemplate &&
                (!member.onInstance || frame.instance)) {
                return once(frame, member.seen, member.expect);
            }
        }
        return false;
    }

    /* A saved value the definition does not have, or a volatile one, is
     * skipped with a warning: the document reader does that. */
    bool valueMember(Frame &frame, const std::string &name) {
        const parameter_t *p = paramByName(frame.shape, name);
        if (!p || (p->def()->attributes & PARAMETER_ATTR_VOLATILE)) {
            return false;
        }
        size_t position = p->def()->position;
        if (std::find(frame.positions.begin(), frame.positions.end(), position) !=
            frame.positions.end()) {
            return false;
        }
        frame.positions.push_back(position);
        param_ = p->def();
        keep_ = !(flags_ & DATAMODEL_FLAG_PERSISTENT_ONLY) ||
                (param_->attributes & PARAMETER_ATTR_PERSISTENT);
        expect_ = Expect::Value;
        return true;
    }

    bool childMember(Frame &frame, const std::string &name) {
        child_ = childByName(frame.shape, name);
        if (!child_) {
            return false;
        }
        for (const PlanNode &done : frame.plan->children) {
            if (done.name == name) {
                return false;
            }
        }
        expect_ = Expect::Child;
        return true;
    }

    /* Values the flags leave out are not looked at. */
    template <typename Given> bool saved(Json::value_t kind, Given given) {
        const ParamDef &def = *param_;
        if (!keep_) {
            return true;
        }
        if (!kindFits(kind, def.type)) {
            return false;
        }
        Variant as;
        Variant value;
        if (!given(as.get()) || !variant_convert(value.get(), as.get(), def.type)) {
            return false;
        }
        top().plan->values.push_back(PlanValue{def.position, &def.name, std::move(value), {}});
        return true;
    }

    bool savedText(const std::string &text) {
        if (!keep_ || param_->type != variant_type_string) {
            return saved(Json::value_t::string,
                         [&text](variant_t *out) { return variant_setChar(out, text.c_str()); });
        }
        top().plan->values.push_back(
            PlanValue{param_->position, &param_->name, Variant(), arena_.keep(text.c_str())});
        return true;
    }

    bool rooted(const std::string &path) {
        root_ = datamodel_getObject(dm_, path.c_str(), 0);
        if (!root_ || !holdsData(root_)) {
            return false;
        }
        top().shape = root_;
        plan_.name = nameOf(root_);
        return true;
    }

    bool indexed(uint64_t index) {
        if (index < 1 || index > UINT32_MAX) {
            return false;
        }
        top().instance->index = static_cast<uint32_t>(index);
        return true;
    }

    bool keyed(const std::string &key) {
        if (key.empty() || key.find('.') != std::string::npos) {
            return false;
        }
        top().instance->key = arena_.keep(key);
        return true;
    }

    bool openObject() {
        if (depth_ == 0) {
            push(FrameKind::Node, nullptr, &plan_, "");
            return true;
        }
        Frame &frame = top();
        switch (take()) {
        case Expect::Parameters:
            frame.plan->pointer = arena_.keep(pointerTo(frame.pointer, "parameters"));
            push(FrameKind::Values, frame.shape, frame.plan, std::string(frame.plan->pointer))
                .positions.clear();
            return true;
        case Expect::Objects:
            push(FrameKind::Children, frame.shape, frame.plan, pointerTo(frame.pointer, "objects"));
            return true;
        case Expect::Child:
            return openChild(frame);
        case Expect::Nothing:
            return frame.kind == FrameKind::Instances && openInstance(frame);
        default:
            return false;
        }
    }

    bool openChild(Frame &frame) {
        PlanNode &child = frame.plan->children.emplace_back();
        child.name = nameOf(child_);
        push(FrameKind::Node, child_, &child, pointerTo(frame.pointer, nameOf(child_)));
        return true;
    }

    bool openInstances() {
        Frame &frame = top();
        Frame &list = push(FrameKind::Instances, frame.shape, frame.plan,
                           pointerTo(frame.pointer, "instances"));
        list.indexes.clear();
        list.keys.clear();
        return true;
    }

    bool openInstance(Frame &list) {
        auto &instances = list.plan->instances;
        if (instances.size() >= kMaxInstances) {
            return false;
        }
        PlanInstance &instance = instances.emplace_back();
        std::string pointer = pointerTo(list.pointer, instances.size() - 1);
        instance.pointer = arena_.keep(pointer);
        instance.node.name = nameOf(list.shape);
        Frame &frame = push(FrameKind::Node, list.shape, &instance.node, std::move(pointer));
        frame.instance = &instance;
        return true;
    }

    bool closeObject() {
        Frame &frame = top();
        bool complete = frame.kind != FrameKind::Node || closeNode(frame);
        pop();
        return complete;
    }

    bool closeNode(Frame &frame) {
        if (depth_ == 1 && (frame.seen & (kVersion | kPath)) != (kVersion | kPath)) {
            return false;
        }
        if (frame.instance && !closeInstance(frame)) {
            return false;
        }
        PlanNode &plan = *frame.plan;
        auto byName = [](const PlanValue &a, const PlanValue &b) { return *a.name < *b.name; };
        if (!std::is_sorted(plan.values.begin(), plan.values.end(), byName)) {
            std::sort(plan.values.begin(), plan.values.end(), byName);
        }
        std::sort(plan.children.begin(), plan.children.end(),
                  [](const PlanNode &a, const PlanNode &b) { return a.name < b.name; });
        return true;
    }

    bool closeInstance(Frame &frame) {
        PlanInstance &instance = *frame.instance;
        if (!(frame.seen & kIndex)) {
            return false;
        }
        if (!(frame.seen & kKey)) {
            instance.key = arena_.keep(std::to_string(instance.index));
        }
        Frame &list = frames_[depth_ - 2];
        return list.indexes.insert(instance.index).second && list.keys.emplace(instance.key).second;
    }

    datamodel_t *dm_;
    uint32_t flags_;
    PlanArena &arena_;
    PlanNode &plan_;
    object_t *root_ = nullptr;
    std::vector<Frame> frames_;
    size_t depth_ = 0;
    Expect expect_ = Expect::Nothing;
    const ParamDef *param_ = nullptr; /* Expect::Value */
    bool keep_ = true;
    const object_t *child_ = nullptr; /* Expect::Child */
};

} // namespace

void *PlanArena::Mapped::do_allocate(size_t bytes, size_t) {
    void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return block;
}

void PlanArena::Mapped::do_deallocate(void *block, size_t bytes, size_t) {
    munmap(block, bytes);
}

PlanArena::PlanArena() : buffer_(kFirstBlock, &mapped_) {}

std::string_view PlanArena::keep(std::string_view text) {
    char *copy = static_cast<char *>(buffer_.allocate(text.size() + 1, 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return {copy, text.size()};
}

bool kindFits(Json::value_t kind, variant_type_t type) {
    switch (type) {
    case variant_type_string:
    case variant_type_date_time:
        return kind == Json::value_t::string;
    case variant_type_bool:
        return kind == Json::value_t::boolean;
    case variant_type_double:
        return kind == Json::value_t::number_integer || kind == Json::value_t::number_unsigned ||
               kind == Json::value_t::number_float;
    default:
        return kind == Json::value_t::number_integer || kind == Json::value_t::number_unsigned;
    }
}

bool streamPlan(datamodel_t *dm, const std::string &text, uint32_t flags, object_t *&root,
                PlanArena &arena, PlanNode &plan) {
    Streamer streamer(dm, flags, arena, plan);
    if (!Json::sax_parse(text.data(), text.data() + text.size(), &streamer)) {
        return false;
    }
    root = streamer.root();
    return root != nullptr;
}

} // namespace zeb_dm
