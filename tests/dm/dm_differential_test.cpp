/*
 * Differential test of the data model: a seeded random driver runs the same
 * operations against libzeb_dm and the reference core and compares, after
 * each operation, everything a plug-in or a client can observe: results,
 * error codes and messages, the handler calls with what they saw, states,
 * values, instance keys and order, and the saved files byte for byte.
 *
 * ZEB_DM_DIFF_SEED=<n> runs that one seed instead of the default ones, and
 * ZEB_DM_DIFF_OPS=<n> sets the number of operations per seed.
 */
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dm_api_table.h"
#include "zeb/sysroot.h"

namespace dmdiff {
namespace {

const char *const kDefinition = R"({
  "plugin": "diff.so",
  "objects": [ {
    "name": "Root",
    "parameters": [
      { "name": "Count", "type": "uint32", "attributes": ["read-only", "volatile"], "read-handler": "read_count" },
      { "name": "Limit", "type": "uint32", "default": 5, "attributes": ["persistent"] },
      { "name": "Note", "type": "string", "write-handler": "param_written" } ],
    "objects": [
      { "name": "Settings", "write-handler": "object_written",
        "parameters": [ { "name": "Mode", "type": "string", "default": "a", "attributes": ["persistent"] },
                        { "name": "Level", "type": "int32", "default": -1 } ] },
      { "name": "Entry", "multi-instance": true, "add-handler": "instance_added",
        "delete-handler": "instance_deleted", "write-handler": "object_written",
        "parameters": [
          { "name": "UniqueID", "type": "string", "attributes": ["persistent"], "validator": "unique_id",
            "write-handler": "param_written" },
          { "name": "Name", "type": "string", "attributes": ["persistent"], "validator": "no_bang",
            "write-handler": "param_written" },
          { "name": "Born", "type": "date-time", "attributes": ["persistent"] },
          { "name": "Age", "type": "int32", "default": -1, "attributes": ["persistent"] },
          { "name": "Score", "type": "double", "default": 0.5 },
          { "name": "URL", "type": "string", "attributes": ["persistent"] },
          { "name": "Flag", "type": "bool", "default": false, "attributes": ["persistent"] },
          { "name": "Stamp", "type": "string", "attributes": ["persistent"], "read-handler": "read_stamp" },
          { "name": "Secret", "type": "string", "attributes": ["volatile"] } ],
        "objects": [
          { "name": "Number", "multi-instance": true, "add-handler": "instance_added",
            "delete-handler": "instance_deleted", "write-handler": "object_written",
            "parameters": [ { "name": "Value", "type": "string", "attributes": ["persistent"],
                              "write-handler": "param_written" },
                            { "name": "Preferred", "type": "bool", "default": false, "attributes": ["persistent"] } ] },
          { "name": "Extra", "parameters": [ { "name": "Info", "type": "string", "attributes": ["persistent"] } ] }
        ] } ] } ] })";

/* One implementation under test with what it was seen doing. */
struct Side {
    const DmApi *api = nullptr;
    std::string dir;
    datamodel_t *dm = nullptr;
    std::vector<std::string> log;
    std::vector<object_t *> objects;   /* in walk order, from the last snapshot */
    std::vector<object_t *> instances; /* the same, instances only */
    uint32_t drawn = 0;                /* identifiers drawn by the add handler */
    int nesting = 0;                   /* handler actions running */

    void note(const std::string &line) { log.push_back(line); }

    /* The outcome of a call, with the error it left when it failed. */
    void result(const std::string &what, bool ok) {
        note(what + (ok ? " -> ok" : " -> failed " + lastError()));
    }

    std::string lastError() const {
        std::string message = api->zeb_errorMessage();
        for (size_t at = message.find(dir); !dir.empty() && at != std::string::npos;
             at = message.find(dir)) {
            message.replace(at, dir.size(), "<dir>");
        }
        char code[16];
        snprintf(code, sizeof code, "%#x", *api->error);
        return std::string(code) + " " + message;
    }

    std::string path(const object_t *object, uint32_t flags = 0) const {
        if (!object) {
            return "(null)";
        }
        char *text = api->object_pathChar(object, flags);
        std::string result = text ? text : "(no path)";
        free(text);
        return result;
    }

    object_t *root() const { return api->datamodel_getObject(dm, "Root", 0); }
};

Side sides[2];

std::string text(const variant_t *value) {
    if (!value) {
        return "(null)";
    }
    char *chars = variant_char(value);
    std::string result = std::to_string(variant_type(value)) + ":" + (chars ? chars : "(none)");
    free(chars);
    return result;
}

std::string describe(Side &s, object_t *object) {
    return s.path(object, OBJECT_FLAG_KEY) + " state " +
           std::to_string(s.api->object_state(object));
}

/* ---- Handlers, one instantiation per side ---- */

template <int S> bool instanceAdded(object_t *, object_t *instance) {
    Side &s = sides[S];
    s.note("add " + describe(s, instance) + " age " +
           text(s.api->parameter_getValue(s.api->object_getParameter(instance, "Age"))));
    if (parameter_t *id = s.api->object_getParameter(instance, "UniqueID")) {
        /* Draws an identifier, as the phonebook does, for a load to replace. */
        variant_t value;
        variant_initialize(&value, variant_type_unknown);
        variant_setChar(&value, ("drawn" + std::to_string(++s.drawn)).c_str());
        s.result("  draw", s.api->parameter_setValue(id, &value));
        variant_cleanup(&value);
    }
    return true;
}

template <int S> bool instanceDeleted(object_t *templ, object_t *instance) {
    Side &s = sides[S];
    object_t *numbers = s.api->object_getObject(instance, "Number", 0, nullptr);
    s.note("del " + describe(s, instance) + " numbers " +
           (numbers ? std::to_string(s.api->object_instanceCount(numbers)) : "-") + " of " +
           s.path(templ));
    return true;
}

template <int S> void objectWritten(object_t *object) {
    Side &s = sides[S];
    s.note("object written " + describe(s, object));
}

/* The first letter of a written text asks for a nested action. */
template <int S> void nestedAction(parameter_t *parameter, const std::string &value) {
    Side &s = sides[S];
    object_t *owner = s.api->parameter_owner(parameter);
    variant_t rest;
    variant_initialize(&rest, variant_type_unknown);
    variant_setChar(&rest, value.substr(1).c_str());
    s.nesting++;
    switch (value[0]) {
    case 'C':
        s.result("  nested commit", s.api->object_commit(owner));
        break;
    case 'S':
        s.result("  nested set", s.api->parameter_setValue(parameter, &rest));
        break;
    case 'D':
        s.result("  nested delete", s.api->object_delete(owner));
        break;
    case 'R':
        s.result("  nested rollback", s.api->object_rollback(owner));
        break;
    case 'N':
        s.result("  nested create",
                 s.api->object_createInstance(s.api->object_getObject(owner, "Number", 0, nullptr),
                                              0, nullptr) != nullptr);
        break;
    default:
        break;
    }
    s.nesting--;
    variant_cleanup(&rest);
}

template <int S> void paramWritten(parameter_t *parameter) {
    Side &s = sides[S];
    const variant_t *value = s.api->parameter_getValue(parameter);
    s.note("write " + s.path(s.api->parameter_owner(parameter), OBJECT_FLAG_KEY) + "." +
           s.api->parameter_name(parameter) + "=" + text(value) + " modified " +
           text(s.api->parameter_getModifiedValue(parameter)) + " state " +
           std::to_string(s.api->object_state(s.api->parameter_owner(parameter))));
    const char *chars = variant_da_char(value);
    if (chars && *chars && s.nesting < 2) {
        nestedAction<S>(parameter, chars);
    }
}

template <int S> bool noBang(parameter_t *parameter) {
    Side &s = sides[S];
    const char *candidate = variant_da_char(s.api->parameter_getModifiedValue(parameter));
    bool accepted = !candidate || !strchr(candidate, '!');
    s.note(std::string("validate ") + s.api->parameter_name(parameter) + " " +
           (candidate ? candidate : "(none)") + (accepted ? " accepted" : " refused"));
    return accepted;
}

/* Refuses what another instance of the template already holds. */
template <int S> bool uniqueId(parameter_t *parameter) {
    Side &s = sides[S];
    if (!noBang<S>(parameter)) {
        return false;
    }
    const char *candidate = variant_da_char(s.api->parameter_getModifiedValue(parameter));
    object_t *owner = s.api->parameter_owner(parameter);
    object_t *other =
        candidate ? s.api->object_findInstance(s.api->object_parent(owner), "UniqueID", candidate)
                  : nullptr;
    if (other == owner) {
        other = s.api->object_findNextInstance(owner, "UniqueID", candidate);
    }
    s.note("  held by " + s.path(other));
    return other == nullptr;
}

template <int S> bool readCount(parameter_t *parameter, variant_t *value) {
    Side &s = sides[S];
    object_t *entries =
        s.api->object_getObject(s.api->parameter_owner(parameter), "Entry", 0, nullptr);
    return variant_setUInt32(value, s.api->object_instanceCount(entries));
}

template <int S> bool readStamp(parameter_t *parameter, variant_t *value) {
    const char *stored = variant_da_char(sides[S].api->parameter_getValue(parameter));
    if (!stored || !*stored || stored[0] == 'z') {
        return false;
    }
    return variant_setChar(value, (std::string("~") + stored).c_str());
}

template <int S> void *resolve(void *, const char *, const char *symbol) {
    static const std::map<std::string, void *> symbols = {
        {"instance_added", reinterpret_cast<void *>(instanceAdded<S>)},
        {"instance_deleted", reinterpret_cast<void *>(instanceDeleted<S>)},
        {"object_written", reinterpret_cast<void *>(objectWritten<S>)},
        {"param_written", reinterpret_cast<void *>(paramWritten<S>)},
        {"unique_id", reinterpret_cast<void *>(uniqueId<S>)},
        {"no_bang", reinterpret_cast<void *>(noBang<S>)},
        {"read_count", reinterpret_cast<void *>(readCount<S>)},
        {"read_stamp", reinterpret_cast<void *>(readStamp<S>)},
    };
    if (!symbol) {
        return sides;
    }
    auto it = symbols.find(symbol);
    return it == symbols.end() ? nullptr : it->second;
}

using Resolver = void *(*)(void *, const char *, const char *);
const Resolver kResolvers[2] = {resolve<0>, resolve<1>};
const object_write_handler_t kObjectWriters[2] = {objectWritten<0>, objectWritten<1>};
const parameter_write_handler_t kParamWriters[2] = {paramWritten<0>, paramWritten<1>};

/* ---- Observation ---- */

/* The data model resolves its paths with sysroot_path: so do the checks. */
std::string resolved(const std::string &path) {
    char *chars = sysroot_path(path.c_str());
    std::string result = chars ? chars : path;
    free(chars);
    return result;
}

std::string readFileOrMissing(const std::string &path) {
    std::ifstream in(resolved(path), std::ios::binary);
    if (!in) {
        return "(missing)";
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream(resolved(path), std::ios::binary | std::ios::trunc) << content;
}

void snapshotParameters(Side &s, object_t *object) {
    for (parameter_t *p = s.api->object_firstParameter(object); p;
         p = s.api->object_nextParameter(p)) {
        variant_t read;
        variant_initialize(&read, variant_type_unknown);
        bool ok = s.api->parameter_readValue(p, &read);
        s.note(std::string("  ") + s.api->parameter_name(p) + " attrs " +
               std::to_string(s.api->parameter_attributes(p)) + " value " +
               text(s.api->parameter_getValue(p)) + " modified " +
               text(s.api->parameter_getModifiedValue(p)) + " read " +
               (ok ? text(&read) : "failed") + " data " +
               std::to_string(reinterpret_cast<uintptr_t>(s.api->parameter_getUserData(p))));
        variant_cleanup(&read);
    }
}

void snapshotObject(Side &s, object_t *object) {
    const DmApi &api = *s.api;
    s.objects.push_back(object);
    if (api.object_isInstance(object)) {
        s.instances.push_back(object);
    }
    s.note("object " + s.path(object) + " key " + s.path(object, OBJECT_FLAG_KEY) + " index " +
           std::to_string(api.object_index(object)) + " state " +
           std::to_string(api.object_state(object)) + " instance " +
           std::to_string(api.object_isInstance(object)) + " data " +
           std::to_string(reinterpret_cast<uintptr_t>(api.object_getUserData(object))) +
           " parent " + s.path(api.object_parent(object)));
    snapshotParameters(s, object);
    for (object_t *child = api.object_firstChild(object); child;
         child = api.object_nextSibling(child)) {
        snapshotObject(s, child);
    }
    if (api.object_isTemplate(object)) {
        s.note("  instances " + std::to_string(api.object_instanceCount(object)));
        for (object_t *i = api.object_firstInstance(object); i; i = api.object_nextInstance(i)) {
            snapshotObject(s, i);
        }
    }
}

void snapshot(Side &s) {
    s.objects.clear();
    s.instances.clear();
    for (object_t *top = s.api->datamodel_firstObject(s.dm); top;
         top = s.api->object_nextSibling(top)) {
        snapshotObject(s, top);
    }
    s.note("last error " + s.lastError());
}

/* ---- The driver ---- */

/* Texts set and looked for: plain ones, the nested actions of the write
 * handlers, refused ones, identifiers the add handler draws, numbers,
 * booleans and date-times as text, and keys. */
// clang-format off
const char *const kTexts[] = {
    "", "x", "y", "z",
    "Cx", "Sy", "Dz", "Rw", "Nn", "Ca", "Sb", "Db", "Rb", "Nb",
    "bad!", "\xff", "drawn1", "drawn2",
    "5", "-3", "1.25", "4294967296", "true", "0", "1",
    "2024-02-29T13:05:00Z", "notadate", "a.b", "k1", "k2"};
// clang-format on

class Driver {
  public:
    explicit Driver(uint32_t seed) : rng_(seed), seed_(seed) {}

    bool run(size_t operations, std::string &failure) {
        for (int i = 0; i < 2; ++i) {
            char pattern[] = "/tmp/zeb_dm_diff_XXXXXX";
            if (!mkdtemp(pattern)) {
                failure = "no temporary directory";
                return false;
            }
            sides[i] = Side();
            sides[i].api = i == 0 ? &coreApi() : &referenceApi();
            sides[i].dir = pattern;
        }
        /* Flushing to the disk is not observable: skipped, for speed. */
        zeb_dm_file_ops_t ops = {
            [](const char *path, int flags, mode_t mode) { return open(path, flags, mode); },
            write,
            [](int) { return 0; },
            close,
            rename,
            unlink,
            read};
        for (Side &s : sides) {
            s.api->zeb_dm_setFileOps(&ops);
        }
        indexed_ = draw(2) == 0;
        bool same = step(
            "start", [&](Side &s) { start(s); }, failure);
        for (size_t n = 0; same && n < operations; ++n) {
            const Op &op = kOps[drawWeighted()];
            std::string name = "#" + std::to_string(n) + " " + op.name;
            same = (this->*op.run)(name, failure);
        }
        for (Side &s : sides) {
            s.api->zeb_dm_setFileOps(nullptr);
            s.api->datamodel_destroy(s.dm);
            for (const char *file : {"save.json", "load.json", "load.json.invalid",
                                     "save.json.invalid", "save.json.tmp"}) {
                unlink((s.dir + "/" + file).c_str());
            }
            rmdir(s.dir.c_str());
        }
        return same;
    }

  private:
    struct Op {
        int weight;
        const char *name;
        bool (Driver::*run)(const std::string &, std::string &);
    };
    static const Op kOps[];

    uint32_t draw(uint32_t bound) { return bound ? static_cast<uint32_t>(rng_() % bound) : 0; }

    size_t drawWeighted();

    /* Runs `body` on both sides, each followed by a snapshot, and compares
     * what they logged. */
    template <typename Body> bool step(const std::string &name, Body body, std::string &failure) {
        for (Side &s : sides) {
            s.log.clear();
            body(s);
            snapshot(s);
        }
        const std::vector<std::string> &a = sides[0].log;
        const std::vector<std::string> &b = sides[1].log;
        for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
            const std::string none = "(nothing)";
            const std::string &x = i < a.size() ? a[i] : none;
            const std::string &y = i < b.size() ? b[i] : none;
            if (x != y) {
                std::ostringstream out;
                out << "seed " << seed_ << ", " << name << ", line " << i << ":\n  core:      " << x
                    << "\n  reference: " << y << "\n  before it:";
                for (size_t j = i > 6 ? i - 6 : 0; j < i; ++j) {
                    out << "\n    " << a[j];
                }
                failure = out.str();
                return false;
            }
        }
        return true;
    }

    void start(Side &s) {
        s.dm = s.api->datamodel_create();
        s.result("definition",
                 s.api->datamodel_loadDefinitionText(s.dm, kDefinition, "diff.json",
                                                     kResolvers[&s - sides], nullptr));
        if (indexed_) {
            s.result("index UniqueID",
                     s.api->object_indexParameter(s.api->datamodel_getObject(s.dm, "Root.Entry", 0),
                                                  "UniqueID"));
        }
    }

    /* Mostly an instance, where values and transactions matter most. */
    object_t *pickObject(Side &s, uint32_t choice) {
        const std::vector<object_t *> &from =
            choice % 4 && !s.instances.empty() ? s.instances : s.objects;
        return from.empty() ? nullptr : from[choice / 4 % from.size()];
    }

    /* The `choice`-th parameter of the object, wrapping around. */
    parameter_t *pickParameter(Side &s, object_t *object, uint32_t choice) {
        std::vector<parameter_t *> all;
        for (parameter_t *p = s.api->object_firstParameter(object); p;
             p = s.api->object_nextParameter(p)) {
            all.push_back(p);
        }
        return all.empty() ? nullptr : all[choice % all.size()];
    }

    /* A value of a random kind: mostly texts, some typed. */
    void fillValue(uint32_t kind, uint32_t choice, variant_t *value) {
        switch (kind % 6) {
        case 0:
            variant_setBool(value, choice % 2);
            break;
        case 1:
            variant_setInt32(value, static_cast<int32_t>(choice % 21) - 10);
            break;
        case 2:
            variant_setDouble(value, (choice % 2 ? -1.0 : 1.0) * (choice % 9) / 4.0);
            break;
        default:
            variant_setChar(value, kTexts[choice % (sizeof kTexts / sizeof *kTexts)]);
            break;
        }
    }

    bool opCreate(const std::string &name, std::string &failure) {
        uint32_t where = draw(1000);
        int64_t index = std::vector<int64_t>{0, -1, 0, 1, 2, 3, 7, 4294967296}[draw(8)];
        const char *key = std::vector<const char *>{nullptr, nullptr, "",    "k1",
                                                    "k2",    "3",     "a.b", "\xff"}[draw(8)];
        bool entry = draw(2) == 0;
        return step(
            name,
            [&](Side &s) {
                object_t *templ = s.api->datamodel_getObject(s.dm, "Root.Entry", 0);
                if (!entry) {
                    object_t *owner = pickObject(s, where);
                    templ = s.api->object_getObject(owner, "Number", 0, nullptr);
                }
                object_t *made = s.api->object_createInstance(templ, index, key);
                s.result("create under " + s.path(templ) + " -> " + s.path(made, OBJECT_FLAG_KEY),
                         made != nullptr);
            },
            failure);
    }

    /* Up to 8 to 15 committed entries, so that the template also holds more
     * than the few instances single creations leave. */
    bool opFill(const std::string &name, std::string &failure) {
        uint32_t count = 8 + draw(8);
        return step(
            name,
            [&](Side &s) {
                object_t *templ = s.api->datamodel_getObject(s.dm, "Root.Entry", 0);
                for (uint32_t n = s.api->object_instanceCount(templ); n < count; ++n) {
                    object_t *made = s.api->object_createInstance(templ, 0, nullptr);
                    s.result("fill " + s.path(made), made != nullptr);
                }
                s.result("commit", s.api->object_commit(templ));
            },
            failure);
    }

    bool opSet(const std::string &name, std::string &failure) {
        uint32_t where = draw(1000), which = draw(1000), kind = draw(6), choice = draw(1000);
        return step(
            name,
            [&](Side &s) {
                object_t *object = pickObject(s, where);
                parameter_t *p = pickParameter(s, object, which);
                variant_t value;
                variant_initialize(&value, variant_type_unknown);
                fillValue(kind, choice, &value);
                s.result("set " + s.path(object) + "." + (p ? s.api->parameter_name(p) : "-") +
                             " to " + text(&value),
                         s.api->parameter_setValue(p, &value));
                variant_cleanup(&value);
            },
            failure);
    }

    /* Commit, rollback or delete of a random object (the root more often). */
    bool opTransaction(const std::string &name, std::string &failure) {
        uint32_t where = draw(1000), what = draw(4);
        bool atRoot = draw(3) == 0;
        using Call = bool (*)(Side &, object_t *);
        static const Call kCalls[] = {
            [](Side &s, object_t *o) { return s.api->object_commit(o); },
            [](Side &s, object_t *o) { return s.api->object_commit(o); },
            [](Side &s, object_t *o) { return s.api->object_rollback(o); },
            [](Side &s, object_t *o) { return s.api->object_delete(o); },
        };
        static const char *const kNames[] = {"commit", "commit", "rollback", "delete"};
        return step(
            name,
            [&](Side &s) {
                object_t *object = atRoot && what != 3 ? s.root() : pickObject(s, where);
                std::string call = std::string(kNames[what]) + " " + s.path(object);
                s.result(call, kCalls[what](s, object)); /* which may destroy it */
            },
            failure);
    }

    bool opSave(const std::string &name, std::string &failure) {
        uint32_t where = draw(1000), target = draw(3);
        int depth = std::vector<int>{-1, -1, 0, 1, 2, 10}[draw(6)];
        uint32_t flags = draw(2) ? DATAMODEL_FLAG_PERSISTENT_ONLY : 0;
        return step(
            name,
            [&](Side &s) {
                object_t *object = target == 0   ? s.root()
                                   : target == 1 ? s.api->datamodel_getObject(s.dm, "Root.Entry", 0)
                                                 : pickObject(s, where);
                std::string file = s.dir + "/save.json";
                s.result("save " + s.path(object) + " depth " + std::to_string(depth),
                         s.api->datamodel_save(object, depth, file.c_str(), flags));
                s.note("file " + readFileOrMissing(file));
            },
            failure);
    }

    /* Loads the last saved file, or a damaged copy of it, into the running
     * data model or into a fresh one. */
    bool opLoad(const std::string &name, std::string &failure) {
        bool restart = draw(2) == 0;
        uint32_t damage = draw(8), at = draw(100000), with = draw(8);
        uint32_t flags = draw(3) == 0 ? DATAMODEL_FLAG_PERSISTENT_ONLY : 0;
        return step(
            name,
            [&](Side &s) {
                std::string saved = readFileOrMissing(s.dir + "/save.json");
                std::string file = s.dir + "/load.json";
                unlink((file + ".invalid").c_str());
                writeFile(file, damaged(saved, damage, at, with));
                if (restart) {
                    s.api->datamodel_destroy(s.dm);
                    start(s);
                }
                s.result(std::string("load") + (restart ? " after restart" : ""),
                         s.api->datamodel_load(s.dm, file.c_str(), flags));
                s.note("left " + readFileOrMissing(file) + " invalid " +
                       readFileOrMissing(file + ".invalid"));
            },
            failure);
    }

    static std::string damaged(std::string text, uint32_t damage, uint32_t at, uint32_t with) {
        static const char kBytes[] = "{}[],:\"0a-";
        static const std::pair<const char *, const char *> kSwaps[] = {
            {"\"index\":1", "\"index\":2"},
            {"false", "\"no\""},
            {"\"version\":1", "\"version\":2"},
            {"\"Age\":", "\"Bogus\":1,\"Age\":"},
            {"\"key\":", "\"key\":\"a.b\",\"x\":"}};
        if (text.empty() || damage >= 4) {
            return text; /* mostly whole */
        }
        size_t pos = at % text.size();
        switch (damage) {
        case 0:
            return text.substr(0, pos);
        case 1:
            text[pos] = kBytes[with % (sizeof kBytes - 1)];
            return text;
        default: {
            const auto &swap = kSwaps[with % 5];
            size_t found = text.find(swap.first);
            return found == std::string::npos
                       ? text
                       : text.replace(found, strlen(swap.first), swap.second);
        }
        }
    }

    /* Reads that take arguments: lookups by value and by path, lower-case
     * values, refreshed read-handler values. */
    bool opRead(const std::string &name, std::string &failure) {
        uint32_t what = draw(4), where = draw(1000), which = draw(1000), choice = draw(1000);
        uint32_t flags = draw(2) ? OBJECT_FLAG_KEY : 0;
        static const char *const kSegments[] = {"Entry",  "1",     "2", "3", "k1",
                                                "Number", "Extra", "",  "x", "4294967295"};
        std::string path = kSegments[draw(10)];
        for (uint32_t n = draw(3); n > 0; --n) {
            path += std::string(".") + kSegments[draw(10)];
        }
        const char *column = std::vector<const char *>{"UniqueID", "Name", "Age", "Nope"}[draw(4)];
        return step(
            name,
            [&](Side &s) {
                object_t *object = pickObject(s, where);
                switch (what) {
                case 0: {
                    /* A text of the list, or one that an instance holds. */
                    const char *held = variant_da_char(
                        s.api->parameter_getValue(s.api->object_getParameter(object, column)));
                    const char *wanted = choice % 2 && held
                                             ? held
                                             : kTexts[choice % (sizeof kTexts / sizeof *kTexts)];
                    object_t *templ = s.api->datamodel_getObject(s.dm, "Root.Entry", 0);
                    object_t *found = s.api->object_findInstance(templ, column, wanted);
                    s.note(std::string("find ") + column + " " + wanted + " -> " + s.path(found));
                    for (int n = 0; found && n < 4; ++n) {
                        found = s.api->object_findNextInstance(found, column, wanted);
                        s.note("  next -> " + s.path(found));
                    }
                    break;
                }
                case 1: {
                    object_t *found = s.api->object_getObject(object, path.c_str(), flags, nullptr);
                    s.result("get " + path + " from " + s.path(object) + " -> " + s.path(found),
                             found != nullptr);
                    break;
                }
                case 2: {
                    variant_t map;
                    variant_initialize(&map, variant_type_map);
                    s.result("lower-case values of " + s.path(object),
                             s.api->object_getLowerCaseValues(object, variant_da_map(&map)));
                    for (variant_map_iterator_t *it = variant_map_first(variant_da_map(&map)); it;
                         it = variant_map_iterator_next(it)) {
                        s.note(std::string("  ") + variant_map_iterator_key(it) + " " +
                               text(variant_map_iterator_data(it)));
                    }
                    variant_cleanup(&map);
                    break;
                }
                default:
                    s.result("update " + s.path(object),
                             s.api->parameter_update(pickParameter(s, object, which)));
                    break;
                }
            },
            failure);
    }

    /* Handlers and user data set on single handles, and indexes made late. */
    bool opInstall(const std::string &name, std::string &failure) {
        uint32_t what = draw(4), where = draw(1000), which = draw(1000), tag = draw(100);
        const char *column = std::vector<const char *>{"UniqueID", "Name", "Age", "Nope"}[draw(4)];
        return step(
            name,
            [&](Side &s) {
                object_t *object = pickObject(s, where);
                parameter_t *p = pickParameter(s, object, which);
                void *data = reinterpret_cast<void *>(static_cast<uintptr_t>(tag));
                const size_t side = static_cast<size_t>(&s - sides);
                switch (what) {
                case 0:
                    s.result("object write handler on " + s.path(object),
                             s.api->object_setWriteHandler(object, kObjectWriters[side]));
                    break;
                case 1:
                    s.result("parameter write handler on " + s.path(object),
                             s.api->parameter_setWriteHandler(p, kParamWriters[side]));
                    break;
                case 2:
                    s.result("user data on " + s.path(object),
                             s.api->object_setUserData(object, data) &&
                                 s.api->parameter_setUserData(p, data));
                    break;
                default:
                    s.result(std::string("index ") + column,
                             s.api->object_indexParameter(
                                 s.api->datamodel_getObject(s.dm, "Root.Entry", 0), column));
                    break;
                }
            },
            failure);
    }

    std::mt19937 rng_;
    uint32_t seed_;
    bool indexed_ = false;
};

const Driver::Op Driver::kOps[] = {
    {20, "create", &Driver::opCreate}, {1, "fill", &Driver::opFill},
    {30, "set", &Driver::opSet},       {20, "transaction", &Driver::opTransaction},
    {5, "save", &Driver::opSave},      {3, "load", &Driver::opLoad},
    {8, "read", &Driver::opRead},      {2, "install", &Driver::opInstall},
};

size_t Driver::drawWeighted() {
    int total = 0;
    for (const Op &op : kOps) {
        total += op.weight;
    }
    int left = static_cast<int>(draw(static_cast<uint32_t>(total)));
    size_t i = 0;
    while (left >= kOps[i].weight) {
        left -= kOps[i++].weight;
    }
    return i;
}

uint32_t fromEnvironment(const char *name, uint32_t fallback) {
    const char *text = getenv(name);
    return text && *text ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : fallback;
}

TEST(DmDifferentialTest, CoreObservesAsTheReference) {
#ifdef ZEB_TEST_EMULATOR
    std::vector<uint32_t> seeds = {1, 2}; /* each run costs several times more */
#else
    std::vector<uint32_t> seeds = {1, 2, 3, 4};
#endif
    if (getenv("ZEB_DM_DIFF_SEED")) {
        seeds = {fromEnvironment("ZEB_DM_DIFF_SEED", 1)};
    }
    const uint32_t operations = fromEnvironment("ZEB_DM_DIFF_OPS", 1500);
    for (uint32_t seed : seeds) {
        std::string failure;
        /* What a failed run leaves (the last error) would show in the next. */
        ASSERT_TRUE(Driver(seed).run(operations, failure)) << failure;
    }
}

} // namespace
} // namespace dmdiff
