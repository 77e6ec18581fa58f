/*
 * Differential test of the data model: a seeded random driver runs the same
 * operations against libzeb_dm and the reference core and compares, after
 * each operation, everything a plug-in or a client can observe: results,
 * error codes and messages, the handler calls with what they saw, states,
 * values, instance keys and order, and the saved files byte for byte.
 *
 * It runs over a synthetic definition that has every kind of parameter and
 * handler, and over the phonebook's own definition with contact-shaped
 * entries. ZEB_DM_DIFF_SEED=<n> runs that one seed instead of the default
 * ones, and ZEB_DM_DIFF_OPS=<n> sets the number of operations per seed.
 */
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
#include "keltrace/keltrace.h"
#include "zeb/sl.h"
#include "zeb/sysroot.h"
#include "zeb/zstring.h"

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
    "functions": [ { "name": "ping" }, { "name": "setField", "arguments": ["field", "value"] } ],
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
          { "name": "Score", "type": "double", "default": 0.5, "read-handler": "read_word" },
          { "name": "URL", "type": "string", "attributes": ["persistent"] },
          { "name": "Flag", "type": "bool", "default": false, "attributes": ["persistent"] },
          { "name": "Stamp", "type": "string", "attributes": ["persistent"], "read-handler": "read_stamp" },
          { "name": "Secret", "type": "string", "attributes": ["volatile"] } ],
        "functions": [ { "name": "setField", "arguments": ["field", "value"] },
                       { "name": "describe", "arguments": ["field", "value", "depth"], "handler": "call" } ],
        "objects": [
          { "name": "Number", "multi-instance": true, "add-handler": "instance_added",
            "delete-handler": "instance_deleted", "write-handler": "object_written",
            "parameters": [ { "name": "Value", "type": "string", "attributes": ["persistent"],
                              "write-handler": "param_written" },
                            { "name": "Preferred", "type": "bool", "default": false, "attributes": ["persistent"] } ] },
          { "name": "Extra", "parameters": [ { "name": "Info", "type": "string", "attributes": ["persistent"] } ] }
        ] } ] } ] })";

/* What the driver needs to know of a definition: where its entries are,
 * their child templates, the texts it looks up and the functions it calls. */
struct Model {
    const char *name;
    std::string definition;
    const char *root;
    const char *entries;                /* the template that contacts go into */
    std::vector<const char *> parts;    /* templates of an entry; the first gets nested creations */
    std::vector<const char *> fields;   /* entry parameters: formatted name, name */
    const char *contactParts[3][2];     /* numbers, e-mails, addresses: template and value */
    std::vector<const char *> columns;  /* looked up by value and indexed; the last is unknown */
    std::vector<const char *> segments; /* of relative paths */
    std::vector<const char *> functions;
    std::vector<const char *> targets; /* first arguments of calls: what the handler sets */
    bool bindAtStart;                  /* the plug-in installs handlers on its templates itself */
    size_t seedsDivisor;               /* of the seeds, the share run: larger trees cost more */
};

const Model *model = nullptr;

/* A contact as users store them: several numbers, e-mails and addresses. */
struct Contact {
    const char *key;
    const char *formatted;
    const char *name;
    std::vector<const char *> values[3];
};

// clang-format off
const Contact kContacts[] = {
    {nullptr, "John Doe", "Doe;John;;;", {{"+33 1 23 45 67 89", "06 12 34 56 78"},
     {"john@example.org", "jd@work.example"}, {";;1 rue de la Paix;Paris;;75002;France"}}},
    {"k1", "J\xc3\xbcrgen M\xc3\xbcller", "M\xc3\xbcller;J\xc3\xbcrgen", {{"+49 30 1234567"}, {},
     {";;Hauptstr. 5;Berlin;;10115;", ";;Am Markt 1;Potsdam;;;"}}},
    {nullptr, "Siobh\xc3\xa1n O'Brien", "O'Brien;Siobh\xc3\xa1n", {{"+353 1 555 0100",
     "+353 87 555 0199", "112"}, {"sob@example.ie"}, {}}},
    {"a.b", "John Doe", "", {{"1"}, {"x@y"}, {}}},
    {nullptr, "Bang!", "Bang", {{"Cx", "Nn"}, {"bad!"}, {"\xff"}}},
};
// clang-format on

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
    object_t *calling = nullptr;       /* object, function and kind of the call running */
    std::string function;
    bool named = false;

    void note(const std::string &line) { log.push_back(line); }

    /* The outcome of a call, with the error it left when it failed. */
    void result(const std::string &what, bool ok) {
        note(what + (ok ? " -> ok" : " -> failed " + lastError()));
    }

    /* Each side has its own directory: texts name it alike. */
    std::string local(std::string message) const {
        for (size_t at = message.find(dir); !dir.empty() && at != std::string::npos;
             at = message.find(dir)) {
            message.replace(at, dir.size(), "<dir>");
        }
        return message;
    }

    std::string lastError() const {
        std::string message = local(api->zeb_errorMessage());
        char code[16];
        snprintf(code, sizeof code, "%#x", *api->error);
        return std::string(code) + " (" + api->error_string(*api->error) + ") " + message;
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

    object_t *root() const { return api->datamodel_getObject(dm, model->root, 0); }
    object_t *entries() const { return api->datamodel_getObject(dm, model->entries, 0); }
};

Side sides[2];
int tracing = -1; /* the side whose trace lines are being captured */

/* Trace lines without their call site, which a rewrite moves. */
void captureTrace(void *, int level, const char *, const char *line) {
    std::string text = line;
    size_t site = text.rfind(" - (");
    if (tracing >= 0) {
        sides[tracing].note("trace " + std::to_string(level) + " " +
                            sides[tracing].local(text.substr(0, site)));
    }
}

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
    s.note("add " + describe(s, instance) + " first " +
           text(s.api->parameter_getValue(s.api->object_firstParameter(instance))));
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
    object_t *parts = s.api->object_getObject(instance, model->parts[0], 0, nullptr);
    s.note("del " + describe(s, instance) + " parts " +
           (parts ? std::to_string(s.api->object_instanceCount(parts)) : "-") + " of " +
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
    case 'S': /* "Sbad!" is refused by the validators */
        s.result("  nested set", s.api->parameter_setValue(parameter, &rest));
        break;
    case 'D':
        s.result("  nested delete", s.api->object_delete(owner));
        break;
    case 'R':
        s.result("  nested rollback", s.api->object_rollback(owner));
        break;
    case 'N':
        s.result("  nested create", s.api->object_createInstance(
                                        s.api->object_getObject(owner, model->parts[0], 0, nullptr),
                                        0, nullptr) != nullptr);
        break;
    case 'E': /* a plug-in reporting that it cannot take the value */
        s.api->zeb_setError(ZEB_ERROR_REFUSED, "%s refused by its write handler",
                            value.c_str() + 1);
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

template <int S> bool refuseAll(parameter_t *parameter) {
    sides[S].note(std::string("refuse ") + sides[S].api->parameter_name(parameter) + " " +
                  text(sides[S].api->parameter_getModifiedValue(parameter)));
    return false;
}

/* Refuses what another instance of the template already holds. */
template <int S> bool uniqueValue(parameter_t *parameter) {
    Side &s = sides[S];
    if (!noBang<S>(parameter)) {
        return false;
    }
    const char *name = s.api->parameter_name(parameter);
    const char *candidate = variant_da_char(s.api->parameter_getModifiedValue(parameter));
    object_t *owner = s.api->parameter_owner(parameter);
    object_t *other = candidate
                          ? s.api->object_findInstance(s.api->object_parent(owner), name, candidate)
                          : nullptr;
    if (other == owner) {
        other = s.api->object_findNextInstance(owner, name, candidate);
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

/* For a negative value, an answer that no parameter but a string can hold:
 * a save leaves it out. */
template <int S> bool readWord(parameter_t *parameter, variant_t *value) {
    const variant_t *stored = sides[S].api->parameter_getValue(parameter);
    char *chars = stored ? variant_char(stored) : nullptr;
    bool negative = chars && chars[0] == '-';
    free(chars);
    return negative && variant_setChar(value, "word");
}

template <int S> bool readNothing(parameter_t *parameter, variant_t *) {
    sides[S].note(std::string("read ") + sides[S].api->parameter_name(parameter) + " declined");
    return false;
}

/* The argument named `name`, or the `index`-th when the call is positional. */
template <int S> const variant_t *argument(argument_value_list_t *args, bool named, size_t index) {
    Side &s = sides[S];
    function_t *function = s.api->object_getFunction(s.calling, s.function.c_str());
    const char *name = s.api->function_argumentName(function, index);
    argument_value_t *arg = nullptr;
    if (named) {
        arg = name ? argument_valueByName(args, name) : nullptr;
    } else {
        arg = argument_valueFirst(args);
        for (size_t n = 0; arg && n < index; ++n) {
            arg = argument_valueNext(arg);
        }
    }
    return arg ? argument_value(arg) : nullptr;
}

/* Sets the parameter named by the first argument to the second, through the
 * shorthand that fits the value's type. */
template <int S>
bool setThroughShorthand(object_t *object, const char *name, const variant_t *value) {
    const DmApi &api = *sides[S].api;
    struct tm time = {};
    switch (value ? variant_type(value) : variant_type_unknown) {
    case variant_type_string:
        return api.object_parameterSetCharValue(object, name, variant_da_char(value));
    case variant_type_bool:
        return api.object_parameterSetBoolValue(object, name, variant_bool(value));
    case variant_type_date_time:
        return variant_toDateTime(value, &time) &&
               api.object_parameterSetDateTimeValue(object, name, &time);
    default:
        return api.object_parameterSetValue(object, name, value);
    }
}

/* A function handler as plug-ins write them: it takes its arguments by
 * declared name or position, then sets a value, fails, or answers with an
 * out-argument. */
template <int S>
int callFunction(function_call_t *, argument_value_list_t *args, variant_t *retval) {
    Side &s = sides[S];
    const bool named = s.named;
    std::string seen = "called " + s.function + " on " + s.path(s.calling, OBJECT_FLAG_KEY) + ":";
    for (argument_value_t *a = argument_valueFirst(args); a; a = argument_valueNext(a)) {
        seen += std::string(" ") + argument_name(a) + "=" + text(argument_value(a));
    }
    s.note(seen);
    const variant_t *target = argument<S>(args, named, 0);
    const char *name = target ? variant_da_char(target) : nullptr;
    if (name && strcmp(name, "fail") == 0) {
        s.api->zeb_setError(ZEB_ERROR_REFUSED, "%s: refused by the plug-in", s.function.c_str());
        return 1;
    }
    if (name && s.api->object_getParameter(s.calling, name)) {
        bool ok = setThroughShorthand<S>(s.calling, name, argument<S>(args, named, 1));
        s.result(std::string("  set ") + name, ok);
        if (!ok) {
            return -1;
        }
        variant_copy(retval, s.api->object_parameterValue(s.calling, name));
        return 0;
    }
    const variant_t *third = argument<S>(args, named, 2);
    variant_setChar(retval, ((name ? name : "(none)") + std::string(" ") + text(third)).c_str());
    argument_valueAdd(args, "echo", retval);
    return 0;
}

/* Fails without saying why. */
template <int S> int failSilently(function_call_t *, argument_value_list_t *, variant_t *) {
    sides[S].note("silent failure");
    return 2;
}

template <int S> void *resolve(void *, const char *library, const char *symbol) {
    static const std::map<std::string, void *> symbols = {
        {"instance_added", reinterpret_cast<void *>(instanceAdded<S>)},
        {"instance_deleted", reinterpret_cast<void *>(instanceDeleted<S>)},
        {"object_written", reinterpret_cast<void *>(objectWritten<S>)},
        {"param_written", reinterpret_cast<void *>(paramWritten<S>)},
        {"write_handler_Number", reinterpret_cast<void *>(paramWritten<S>)},
        {"unique_id", reinterpret_cast<void *>(uniqueValue<S>)},
        {"unique_string_value_constraint", reinterpret_cast<void *>(uniqueValue<S>)},
        {"no_bang", reinterpret_cast<void *>(noBang<S>)},
        {"sort_locale_constraint", reinterpret_cast<void *>(noBang<S>)},
        {"read_count", reinterpret_cast<void *>(readCount<S>)},
        {"read_stamp", reinterpret_cast<void *>(readStamp<S>)},
        {"read_word", reinterpret_cast<void *>(readWord<S>)},
        {"call", reinterpret_cast<void *>(callFunction<S>)},
    };
    if (!symbol) {
        return library && strcmp(library, "refused.so") == 0 ? nullptr : sides;
    }
    auto it = symbols.find(symbol);
    if (it == symbols.end()) {
        /* Functions bound by their default name, except one. */
        return strncmp(symbol, "__", 2) == 0 && strcmp(symbol, "__missing") != 0
                   ? reinterpret_cast<void *>(callFunction<S>)
                   : nullptr;
    }
    return it->second;
}

using Resolver = void *(*)(void *, const char *, const char *);

/* The handlers of one side, for the driver to install on single handles. */
struct Handlers {
    Resolver resolve;
    object_instance_handler_t instanceAdded, instanceDeleted;
    object_write_handler_t objectWritten;
    parameter_write_handler_t paramWritten;
    parameter_read_handler_t reads[4];
    parameter_validator_t validators[3];
    function_handler_t functions[3];
};

template <int S> constexpr Handlers handlersOf() {
    return {resolve<S>,
            instanceAdded<S>,
            instanceDeleted<S>,
            objectWritten<S>,
            paramWritten<S>,
            {readStamp<S>, readWord<S>, readNothing<S>, nullptr},
            {noBang<S>, refuseAll<S>, nullptr},
            {callFunction<S>, failSilently<S>, nullptr}};
}

const Handlers kHandlers[2] = {handlersOf<0>(), handlersOf<1>()};

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
        s.note(std::string("  ") + s.api->parameter_name(p) + " type " +
               std::to_string(s.api->parameter_type(p)) + " attrs " +
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
    s.note("object " + s.path(object) + " key " + s.path(object, OBJECT_FLAG_KEY) + " names " +
           api.object_name(object, 0) + "/" + api.object_name(object, OBJECT_FLAG_KEY) + " index " +
           std::to_string(api.object_index(object)) + " state " +
           std::to_string(api.object_state(object)) + " instance " +
           std::to_string(api.object_isInstance(object)) + " data " +
           std::to_string(reinterpret_cast<uintptr_t>(api.object_getUserData(object))) +
           " parent " + s.path(api.object_parent(object)) +
           (api.object_datamodel(object) == s.dm ? "" : " in another data model"));
    snapshotParameters(s, object);
    for (object_t *child = api.object_firstChild(object); child;
         child = api.object_nextSibling(child)) {
        snapshotObject(s, child);
    }
    if (api.object_isTemplate(object)) {
        s.note("  instances " + std::to_string(api.object_instanceCount(object)) + " " +
               std::to_string(api.object_hasInstances(object)));
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
    for (const char *name : {model->root, "Spare"}) {
        s.note(std::string("top ") + name + " " +
               s.path(s.api->datamodel_getObject(s.dm, name, 0)));
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
    "Cx", "Sy", "Dz", "Rw", "Nn", "Ca", "Sb", "Db", "Rb", "Nb", "Sbad!", "Ex",
    "bad!", "\xff", "drawn1", "drawn2",
    "5", "-3", "1.25", "4294967296", "true", "0", "1",
    "2024-02-29T13:05:00Z", "notadate", "a.b", "k1", "k2"};
// clang-format on

class Driver {
  public:
    Driver(const Model &definition, uint32_t seed) : rng_(seed), seed_(seed) {
        model = &definition;
    }

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
        kelTraceSetSink(captureTrace, nullptr);
        indexed_ = draw(2) == 0;
        /* Sometimes one side loads through the whole-document reader, which
         * the streaming reader must agree with. */
        const uint32_t documentLoad = draw(4);
        if (documentLoad < 2) {
            sides[documentLoad].api->zeb_dm_setDocumentLoad(true);
        }
        bool same = step(
            "start", [&](Side &s) { start(s); }, failure);
        if (same && !sides[0].root()) {
            failure = std::string(model->name) + ": the definition did not load";
            same = false;
        }
        for (size_t n = 0; same && n < operations; ++n) {
            const Op &op = kOps[drawWeighted()];
            std::string name = "#" + std::to_string(n) + " " + op.name;
            same = (this->*op.run)(name, failure);
        }
        kelTraceSetSink(nullptr, nullptr);
        for (Side &s : sides) {
            s.api->zeb_dm_setFileOps(nullptr);
            s.api->zeb_dm_setDocumentLoad(false);
            s.api->datamodel_destroy(s.dm);
            for (const char *file : {"save.json", "load.json", "load.json.invalid",
                                     "save.json.invalid", "save.json.tmp", "definition.json"}) {
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
            tracing = static_cast<int>(&s - sides);
            body(s);
            snapshot(s);
        }
        tracing = -1;
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

    static const Handlers &handlers(Side &s) { return kHandlers[&s - sides]; }

    void start(Side &s) {
        s.dm = s.api->datamodel_create();
        define(s);
        if (indexed_) {
            s.result("index UniqueID", s.api->object_indexParameter(s.entries(), "UniqueID"));
        }
    }

    void define(Side &s) {
        s.result("definition",
                 s.api->datamodel_loadDefinitionText(s.dm, model->definition.c_str(), "diff.json",
                                                     handlers(s).resolve, nullptr));
        if (!model->bindAtStart) {
            return;
        }
        /* What the plug-in's initialisation installs. */
        object_t *entries = s.entries();
        s.api->object_setWriteHandler(entries, handlers(s).objectWritten);
        for (const char *name : model->parts) {
            object_t *part = s.api->object_getObject(entries, name, 0, nullptr);
            s.api->object_setWriteHandler(part, handlers(s).objectWritten);
            s.api->object_setInstanceDelHandler(part, handlers(s).instanceDeleted);
        }
        s.api->object_setInstanceAddHandler(entries, handlers(s).instanceAdded);
        s.api->object_setInstanceDelHandler(entries, handlers(s).instanceDeleted);
    }

    /* Mostly an instance, where values and transactions matter most. */
    object_t *pickObject(Side &s, uint32_t choice) {
        const std::vector<object_t *> &from =
            choice % 4 && !s.instances.empty() ? s.instances : s.objects;
        return from.empty() ? nullptr : from[choice / 4 % from.size()];
    }

    object_t *pickEntry(Side &s, uint32_t choice) {
        std::vector<object_t *> entries;
        for (object_t *entry = s.api->object_firstInstance(s.entries()); entry;
             entry = s.api->object_nextInstance(entry)) {
            entries.push_back(entry);
        }
        return entries.empty() ? s.entries() : entries[choice % entries.size()];
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
        case 3:
            variant_setDateTimeSeconds(value, static_cast<int64_t>(choice) * 86399);
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
                object_t *templ = s.entries();
                if (!entry) {
                    object_t *owner = pickObject(s, where);
                    templ = s.api->object_getObject(
                        owner, model->parts[where % model->parts.size()], 0, nullptr);
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
                object_t *templ = s.entries();
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
        uint32_t how = draw(4);
        return step(
            name,
            [&](Side &s) {
                object_t *object = pickObject(s, where);
                parameter_t *p = pickParameter(s, object, which);
                variant_t value;
                variant_initialize(&value, variant_type_unknown);
                fillValue(kind, choice, &value);
                char *chars = variant_char(&value);
                string_t string;
                string_initialize(&string, 0);
                string_setChar(&string, chars ? chars : "");
                bool ok = how == 2   ? s.api->parameter_setFromChar(p, chars)
                          : how == 3 ? s.api->parameter_setFromString(p, &string)
                                     : s.api->parameter_setValue(p, &value);
                s.result("set " + s.path(object) + "." + (p ? s.api->parameter_name(p) : "-") +
                             " to " + text(&value) + " way " + std::to_string(how),
                         ok);
                string_cleanup(&string);
                free(chars);
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
                                   : target == 1 ? s.entries()
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
            {"\"index\":1", "\"index\":2"},         {"false", "\"no\""},
            {"\"version\":1", "\"version\":2"},     {"\"Age\":", "\"Bogus\":1,\"Age\":"},
            {"\"key\":", "\"key\":\"a.b\",\"x\":"}, {"\"Name\":", "\"Nickname\":\"x\",\"Name\":"},
            {"\"Type\":", "\"Kind\":2,\"Type\":"}};
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
            const auto &swap = kSwaps[with % (sizeof kSwaps / sizeof *kSwaps)];
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
        uint32_t what = draw(5), where = draw(1000), which = draw(1000), choice = draw(1000);
        uint32_t flags = draw(2) ? OBJECT_FLAG_KEY : 0;
        const std::vector<const char *> &segments = model->segments;
        std::string path = segments[draw(static_cast<uint32_t>(segments.size()))];
        for (uint32_t n = draw(3); n > 0; --n) {
            path += std::string(".") + segments[draw(static_cast<uint32_t>(segments.size()))];
        }
        const char *column = pickColumn();
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
                    object_t *templ = s.entries();
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
                case 3:
                    s.note(std::string("value of ") + column + " " +
                           text(s.api->object_parameterValue(object, column)));
                    break;
                default:
                    s.result("update " + s.path(object),
                             s.api->parameter_update(pickParameter(s, object, which)));
                    break;
                }
            },
            failure);
    }

    const char *pickColumn() {
        return model->columns[draw(static_cast<uint32_t>(model->columns.size()))];
    }

    /* Handlers, validators and user data set on single handles, and indexes
     * made late. */
    bool opInstall(const std::string &name, std::string &failure) {
        uint32_t what = draw(9), where = draw(1000), which = draw(1000), tag = draw(100);
        const char *column = pickColumn();
        const char *function = model->functions[which % model->functions.size()];
        return step(
            name,
            [&](Side &s) {
                object_t *object = pickObject(s, where);
                parameter_t *p = pickParameter(s, object, which);
                object_t *templ =
                    s.api->object_isTemplate(object)
                        ? object
                        : s.api->object_getObject(object, model->parts[0], 0, nullptr);
                void *data = reinterpret_cast<void *>(static_cast<uintptr_t>(tag));
                const Handlers &h = handlers(s);
                const std::string on = " " + std::to_string(tag) + " on " + s.path(object);
                switch (what) {
                case 0:
                    s.result("object write handler" + on,
                             s.api->object_setWriteHandler(object, h.objectWritten));
                    break;
                case 1:
                    s.result("parameter write handler" + on,
                             s.api->parameter_setWriteHandler(p, h.paramWritten));
                    break;
                case 2:
                    s.result("user data" + on, s.api->object_setUserData(object, data) &&
                                                   s.api->parameter_setUserData(p, data));
                    break;
                case 3:
                    s.result(std::string("index ") + column,
                             s.api->object_indexParameter(s.entries(), column));
                    break;
                case 4:
                    s.result("read handler" + on,
                             s.api->parameter_setReadHandler(p, h.reads[tag % 4]));
                    break;
                case 5:
                    s.result("validator" + on,
                             s.api->parameter_setValidator(p, h.validators[tag % 3]));
                    break;
                case 6:
                    s.result("add handler" + on, s.api->object_setInstanceAddHandler(
                                                     templ, tag % 2 ? h.instanceAdded : nullptr));
                    break;
                case 7:
                    s.result("delete handler" + on,
                             s.api->object_setInstanceDelHandler(templ, tag % 2 ? h.instanceDeleted
                                                                                : nullptr));
                    break;
                default:
                    s.result(std::string("function handler ") + function + on,
                             s.api->function_setHandler(s.api->object_getFunction(object, function),
                                                        h.functions[tag % 3]));
                    break;
                }
            },
            failure);
    }

    /* A contact made as a client adds one: the entry, its values and its
     * numbers, e-mails and addresses, then committed (or left pending). */
    bool opContact(const std::string &name, std::string &failure) {
        const Contact &contact = kContacts[draw(sizeof kContacts / sizeof *kContacts)];
        bool commit = draw(4) != 0;
        return step(
            name,
            [&](Side &s) {
                object_t *entry = s.api->object_createInstance(s.entries(), 0, contact.key);
                s.result("contact " + s.path(entry, OBJECT_FLAG_KEY), entry != nullptr);
                if (!entry) {
                    return;
                }
                s.result("  formatted", s.api->object_parameterSetCharValue(entry, model->fields[0],
                                                                            contact.formatted));
                s.result("  name", s.api->object_parameterSetCharValue(entry, model->fields[1],
                                                                       contact.name));
                for (size_t kind = 0; kind < 3; ++kind) {
                    const char *const *part = model->contactParts[kind];
                    object_t *templ =
                        part[0] ? s.api->object_getObject(entry, part[0], 0, nullptr) : nullptr;
                    for (size_t n = 0; templ && n < contact.values[kind].size(); ++n) {
                        object_t *made = s.api->object_createInstance(templ, 0, nullptr);
                        s.result(
                            "  part " + s.path(made),
                            s.api->object_parameterSetCharValue(made, part[1],
                                                                contact.values[kind][n]) &&
                                s.api->object_parameterSetBoolValue(made, "Preferred", n == 0));
                        if (s.api->object_getParameter(made, "Type")) {
                            s.api->object_parameterSetCharValue(made, "Type", n ? "work" : "home");
                        }
                    }
                }
                if (commit) {
                    s.result("  commit", s.api->object_commit(entry));
                }
            },
            failure);
    }

    /* A function called as the host calls it for a client: looked up on the
     * object, its handler run with positional or named arguments. */
    bool opCall(const std::string &name, std::string &failure) {
        uint32_t where = draw(1000), count = draw(4), kind = draw(6), choice = draw(1000);
        uint32_t at = draw(4);
        bool named = draw(2) == 0;
        const char *function =
            model->functions[draw(static_cast<uint32_t>(model->functions.size()))];
        const char *target = model->targets[draw(static_cast<uint32_t>(model->targets.size()))];
        return step(
            name,
            [&](Side &s) {
                object_t *object = at == 0   ? s.root()
                                   : at == 1 ? pickObject(s, where)
                                             : pickEntry(s, where);
                function_t *f = s.api->object_getFunction(object, function);
                s.result(std::string("function ") + function + " of " + s.path(object), f);
                std::string declared;
                for (function_t *g = s.api->object_firstFunction(object); g;
                     g = s.api->object_nextFunction(g)) {
                    declared += std::string(" ") + s.api->function_name(g) + "(";
                    for (size_t n = 0; n < s.api->function_argumentCount(g); ++n) {
                        declared += std::string(n ? "," : "") + s.api->function_argumentName(g, n);
                    }
                    declared += ")";
                }
                s.note("  declared" + declared);
                function_handler_t handler = s.api->function_handler(f);
                const Handlers &h = handlers(s);
                size_t known = std::find(h.functions, h.functions + 3, handler) - h.functions;
                s.note("  handler " + std::to_string(known));
                if (!handler) {
                    return;
                }
                /* Named arguments come in reverse order; those beyond the
                 * declared ones are called "extra". */
                argument_value_list_t args;
                argument_valueListInitialize(&args);
                variant_t value;
                variant_initialize(&value, variant_type_unknown);
                for (uint32_t n = 0; n < count; ++n) {
                    size_t position = named ? count - 1 - n : n;
                    const char *argName = s.api->function_argumentName(f, position);
                    variant_cleanup(&value);
                    if (position == 0) {
                        variant_setChar(&value, target);
                    } else {
                        fillValue(kind + position, choice + position, &value);
                    }
                    argument_valueAdd(&args, named ? (argName ? argName : "extra") : nullptr,
                                      &value);
                }
                variant_cleanup(&value);
                variant_t retval;
                variant_initialize(&retval, variant_type_unknown);
                s.calling = object;
                s.function = function;
                s.named = named;
                /* The call record is the host's: these handlers take the
                 * object from the side instead. */
                int status = handler(nullptr, &args, &retval);
                std::string left;
                for (argument_value_t *a = argument_valueFirst(&args); a;
                     a = argument_valueNext(a)) {
                    left += std::string(" ") + argument_name(a) + "=" + text(argument_value(a));
                }
                s.note("  status " + std::to_string(status) + " returned " + text(&retval) +
                       " arguments" + left);
                argument_valueListCleanup(&args);
                variant_cleanup(&retval);
            },
            failure);
    }

    /* Further definitions: one that adds an object, broken ones (each must
     * leave nothing behind), the model's own (a duplicate, unless it was
     * removed); from text or from a file. */
    bool opDefine(const std::string &name, std::string &failure) {
        static const char *const kDefinitions[] = {
            R"({"plugin": "spare.so", "objects": [{"name": "Spare",
                "parameters": [{"name": "Level", "type": "int32", "default": 3,
                                "attributes": ["persistent"], "validator": "no_bang"}],
                "functions": [{"name": "poke", "arguments": ["field", "value"]}],
                "objects": [{"name": "Item", "multi-instance": true, "add-handler": "instance_added",
                             "parameters": [{"name": "Value", "type": "string"}]}]}]})",
            R"({"objects": [{"name": "Spare", "functions": [{"name": "missing"}]}]})",
            R"({"objects": [{"name": "Spare", "functions": [{"name": "f", "arguments": [1]}]}]})",
            R"({"objects": [{"name": "Spare", "functions": [{"name": "f"}, {"name": "f"}]}]})",
            R"({"objects": [{"name": "Spare", "functions": [{"name": "1f"}]}]})",
            R"({"plugin": "refused.so", "objects": [{"name": "Spare"}]})",
            R"({"objects": [{"name": "Spare", "parameters": [{"name": "A", "type": "int32", "default": "x"}]}]})",
            R"({"objects": [{"name": "Spare", "objects": [{"name": "Item", "multi-instance": true,
                "add-handler": "no_such_handler"}]}]})",
            R"({"objects": [{"name": "Spare")",
            nullptr, /* the model's own */
        };
        const char *chosen = kDefinitions[draw(sizeof kDefinitions / sizeof *kDefinitions)];
        bool fromFile = draw(2) == 0;
        return step(
            name,
            [&](Side &s) {
                if (!chosen && !s.root()) {
                    define(s);
                    return;
                }
                const char *definition = chosen ? chosen : model->definition.c_str();
                std::string file = s.dir + "/definition.json";
                writeFile(file, definition);
                s.result("define from " + std::string(fromFile ? "file" : "text"),
                         fromFile
                             ? s.api->datamodel_loadDefinition(s.dm, file.c_str(),
                                                               handlers(s).resolve, nullptr)
                             : s.api->datamodel_loadDefinitionText(s.dm, definition, "more.json",
                                                                   handlers(s).resolve, nullptr));
            },
            failure);
    }

    /* Removes a top-level object (the model's own only rarely), or tries it
     * on one below the top. */
    bool opRemove(const std::string &name, std::string &failure) {
        uint32_t what = draw(8), where = draw(1000);
        return step(
            name,
            [&](Side &s) {
                object_t *object = what == 0   ? s.root()
                                   : what < 4  ? s.api->datamodel_getObject(s.dm, "Spare", 0)
                                   : what == 7 ? nullptr
                                               : pickObject(s, where);
                std::string path = s.path(object);
                s.result("remove " + path, s.api->datamodel_removeObject(object));
            },
            failure);
    }

    std::mt19937 rng_;
    uint32_t seed_;
    bool indexed_ = false;
};

const Driver::Op Driver::kOps[] = {
    {20, "create", &Driver::opCreate},  {1, "fill", &Driver::opFill},
    {30, "set", &Driver::opSet},        {20, "transaction", &Driver::opTransaction},
    {5, "save", &Driver::opSave},       {3, "load", &Driver::opLoad},
    {8, "read", &Driver::opRead},       {4, "install", &Driver::opInstall},
    {3, "contact", &Driver::opContact}, {6, "call", &Driver::opCall},
    {1, "define", &Driver::opDefine},   {1, "remove", &Driver::opRemove},
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

std::string phonebookDefinition() {
    std::ifstream in(ZEB_SOURCE_DIR "/data/phonebook.json", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
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
    const Model models[] = {
        {"synthetic",
         kDefinition,
         "Root",
         "Root.Entry",
         {"Number"},
         {"Name", "URL"},
         {{"Number", "Value"}, {nullptr, nullptr}, {nullptr, nullptr}},
         {"UniqueID", "Name", "Age", "Nope"},
         {"Entry", "1", "2", "3", "k1", "Number", "Extra", "", "x", "4294967295"},
         {"setField", "describe", "ping", "nope"},
         {"Name", "Age", "Flag", "Born", "Note", "Limit", "fail", "Nope", ""},
         false,
         1},
        {"phonebook",
         phonebookDefinition(),
         "Phonebook",
         "Phonebook.Entry",
         {"TelephoneNumber", "Email", "Address", "Label", "Photo"},
         {"FormattedName", "Name"},
         {{"TelephoneNumber", "Number"}, {"Email", "Address"}, {"Address", "Address"}},
         {"UniqueID", "FormattedName", "Name", "Nope"},
         {"Entry", "1", "2", "k1", "TelephoneNumber", "Email", "Address", "", "x", "4294967295"},
         {"addContact", "getContactByUniqueID", "modifyContact", "getAllContacts", "nope"},
         {"SortLocale", "MaxNumberOfEntries", "FormattedName", "BirthDay", "fail", ""},
         true,
         2},
    };
    for (const Model &definition : models) {
        for (size_t n = 0; n < std::max<size_t>(1, seeds.size() / definition.seedsDivisor); ++n) {
            const uint32_t seed = seeds[n];
            std::string failure;
            /* What a failed run leaves (the last error) would show in the next. */
            ASSERT_TRUE(Driver(definition, seed).run(operations, failure))
                << definition.name << " definition, " << failure;
        }
    }
}

} // namespace
} // namespace dmdiff
