/*
 * libzeb_dm: the data model. A tree of objects with typed parameters, handlers
 * that plug-ins install, transactions, a JSON definition and saved-data files.
 *
 * Tree: a data model has top-level objects. An object is a singleton, a
 * multi-instance template or an instance of a template. Children of an object
 * (object_firstChild/object_nextSibling) are its singletons and templates; the
 * instances of a template (object_firstInstance/object_nextInstance) have the
 * template as parent and carry copies of the template's parameters and child
 * objects. An instance has an index (unique among its siblings, never reused
 * while the data model lives) and a key (the key given at creation, else the
 * index as text).
 *
 * Ownership rules:
 * - The data model owns every object and parameter; handles stay valid until
 *   the object is destroyed (an instance at the commit of its deletion or at
 *   the rollback of its creation; everything at datamodel_destroy).
 * - Values returned as const variant_t* or const char* belong to the data
 *   model and stay valid until the value or object changes.
 * - char* results (object_pathChar) are new and freed by the caller with free.
 * - Values passed in are copied. User data pointers are never freed by the
 *   data model.
 *
 * Failure rules: functions return false, null or 0 on failure and set
 * zeb_error to one of the ZEB_ERROR_* codes; zeb_errorMessage() then tells
 * the detail (for files: the path, line and column). Every function accepts
 * null handles and then fails with ZEB_ERROR_INVALID_ARGUMENT.
 *
 * The data model is single-threaded: every call, and every handler it runs,
 * happens on the caller's thread.
 *
 * Transactions: see docs/host-contract.md for the full contract. In short: a
 * set stores a pending value after converting it to the parameter's type and
 * running the parameter's validator; reads see pending values; object_commit
 * applies the pending changes of a subtree and runs write handlers;
 * object_rollback drops them.
 */
#ifndef ZEB_DM_H
#define ZEB_DM_H

#include <stdbool.h>
#include <stdint.h>
#include <time.h>

#include "zeb/error.h"
#include "zeb/variant.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* ---- Errors -------------------------------------------------------------- */

/* The codes: zeb/error.h. */

/* Code of the last failure of a call of libzeb_dm, libzeb_sl or zeb/json.h.
 * One variable for the whole process, not one per thread: the host calls
 * these libraries from one thread (the daemon's loop, a program's main
 * thread), and no other thread may call them or read it. */
extern uint32_t zeb_error;

/* Constant text of an error code; "unknown error" for an unknown code. */
const char *error_string(uint32_t code);

/* Text of the last failure with its detail (path, line, column, name...);
 * valid until the next failing call. Never null. */
const char *zeb_errorMessage(void);

/* Sets zeb_error to `code` and the message to the formatted text (the
 * libraries of the host use it to report their failures). */
void zeb_setError(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* ---- Types ---------------------------------------------------------------- */

typedef struct datamodel datamodel_t;
typedef struct object object_t;
typedef struct parameter parameter_t;

typedef enum object_state {
    object_state_invalid = 0,
    object_state_created = 1,   /* instance created, not yet committed; also
                                   while such an instance is destroyed */
    object_state_ready = 2,     /* committed, no pending change */
    object_state_modified = 3,  /* a parameter has a pending value */
    object_state_validated = 4, /* being committed */
    object_state_deleted = 5,   /* deletion pending until the next commit; also
                                   while a committed instance is destroyed */
} object_state_t;

/* Parameter attributes (bit set). */
#define PARAMETER_ATTR_READ_ONLY 0x1u  /* clients cannot set it; plug-ins can */
#define PARAMETER_ATTR_PERSISTENT 0x2u /* written by datamodel_save */
#define PARAMETER_ATTR_VOLATILE 0x4u   /* value comes from a read handler */

/* object_getObject / object_pathChar / object_name flags. */
#define OBJECT_FLAG_KEY 0x1u /* instances are named by key instead of index */

/* Handlers. An instance add or delete handler gets the template and the
 * instance; its result is ignored by the data model (plug-ins return true). A
 * read handler fills `value` with the value a reader sees and returns true;
 * false makes the read fall back to the stored value. A validator returns
 * false to refuse the pending value. */
typedef bool (*object_instance_handler_t)(object_t *templ, object_t *instance);
typedef void (*object_write_handler_t)(object_t *object);
typedef bool (*parameter_read_handler_t)(parameter_t *parameter, variant_t *value);
typedef void (*parameter_write_handler_t)(parameter_t *parameter);
typedef bool (*parameter_validator_t)(parameter_t *parameter);

/* Function calls (the call and argument API is libzeb_sl's, zeb/sl.h). A
 * function handler fills `retval`, may leave out-arguments in `args`, calls
 * fcall_destroy and returns 0 on success. */
typedef struct function function_t;
typedef struct function_call function_call_t;
typedef llist_t argument_value_list_t;
typedef int (*function_handler_t)(function_call_t *fcall, argument_value_list_t *args,
                                  variant_t *retval);

/* ---- Data models ----------------------------------------------------------- */

datamodel_t *datamodel_create(void);
/* Destroys every object without running any handler. */
void datamodel_destroy(datamodel_t *dm);

/* Resolves the names that a definition binds to function addresses.
 * `library` is the definition's "plugin" value (null when it has none). When
 * the definition names a plugin, the resolver is first called once with a
 * null `symbol`: it prepares the library and returns non-null, or null to
 * fail the load. Then it is called for every bound name and returns the
 * address, or null when the library has no such symbol (the load then fails,
 * naming the symbol). */
typedef void *(*datamodel_symbol_resolver_t)(void *userData, const char *library,
                                             const char *symbol);

/* Reads a definition file (JSON; format in docs/definition-format.md) and
 * creates its objects. Handler bindings and functions are resolved through
 * `resolver`; with a null resolver, bindings are left unset. On failure
 * nothing of that definition stays in the data model. The path is used as
 * given (it comes from the host's command line, not from a plug-in). */
bool datamodel_loadDefinition(datamodel_t *dm, const char *path,
                              datamodel_symbol_resolver_t resolver, void *userData);
/* Same from text in memory; `name` stands for the file name in messages. */
bool datamodel_loadDefinitionText(datamodel_t *dm, const char *text, const char *name,
                                  datamodel_symbol_resolver_t resolver, void *userData);

/* Destroys a top-level object and its subtree without running any handler
 * (used to undo a definition whose plug-in failed to start). */
bool datamodel_removeObject(object_t *object);

/* Top-level objects. */
object_t *datamodel_firstObject(const datamodel_t *dm);
/* Object by dotted path from the top ("Phonebook.Entry.3"); flags as for
 * object_getObject. A trailing dot is accepted. */
object_t *datamodel_getObject(const datamodel_t *dm, const char *path, uint32_t flags);

/* Flags of datamodel_load and datamodel_save. */
#define DATAMODEL_FLAG_PERSISTENT_ONLY 0x10000u /* save: persistent parameters only */

/* Writes `object` and its descendants down to `depth` levels (instances count
 * as a level with their template) to `path`: a temporary file in the same
 * directory, flushed, renamed over `path`, and the directory flushed. The
 * path is resolved with sysroot_path (zeb/sysroot.h). Values
 * go through read handlers. The same data gives byte-identical files. */
bool datamodel_save(object_t *object, int depth, const char *path, uint32_t flags);

/* Reads a file written by datamodel_save and recreates its content: for each
 * saved instance, object_createInstance (so add handlers run before any value
 * is written), then the values are set, then everything is committed. A
 * missing, unreadable or invalid file gives false: a missing file
 * ZEB_ERROR_NOT_FOUND; a file that exists but cannot be read (permission,
 * I/O error, not a regular file) ZEB_ERROR_IO, left where it is; an invalid
 * file is renamed to `path` + ".invalid" so that the next save cannot destroy
 * the only copy. The path is resolved with sysroot_path. */
bool datamodel_load(datamodel_t *dm, const char *path, uint32_t flags);

/* ---- Objects ----------------------------------------------------------------- */

datamodel_t *object_datamodel(const object_t *object);

/* Plain name (flags 0; an instance's index as text) or key (OBJECT_FLAG_KEY;
 * an instance's key, which is its index as text when it was created without
 * one). */
const char *object_name(const object_t *object, uint32_t flags);
uint32_t object_index(const object_t *object);

/* Dotted path from the top, without a trailing dot; instances by index, or by
 * key with OBJECT_FLAG_KEY. New text freed by the caller. */
char *object_pathChar(const object_t *object, uint32_t flags);

/* Descendant by relative dotted path: child objects by name; below a
 * template, instances by index (flags 0) or by key (OBJECT_FLAG_KEY).
 * `reserved` must be null. */
object_t *object_getObject(const object_t *parent, const char *path, uint32_t flags,
                           void *reserved);

object_t *object_parent(const object_t *object);
object_t *object_firstChild(const object_t *object);
object_t *object_nextSibling(const object_t *object);
object_t *object_firstInstance(const object_t *templ);
object_t *object_nextInstance(const object_t *instance);
uint32_t object_instanceCount(const object_t *templ);
bool object_hasInstances(const object_t *templ);
bool object_isInstance(const object_t *object);
bool object_isTemplate(const object_t *object);
object_state_t object_state(const object_t *object);

/* Creates an instance of a template. index <= 0 lets the data model choose the
 * next free index; key null (or empty) gives the index as key. An index or key
 * in use fails with ZEB_ERROR_DUPLICATE. The template's instance add handler
 * runs before this returns, before any value is written. The instance is in
 * state created until the next commit. */
object_t *object_createInstance(object_t *templ, int64_t index, const char *key);

/* Finding instances by value. object_findInstance gives the first instance of
 * the template, in instance order, whose parameter `name` holds exactly the
 * text `text` as reads see it (the pending value when there is one);
 * object_findNextInstance the next one after `instance`. Instances marked
 * deleted are found too. A parameter without text is never found, so an
 * empty `text` finds nothing. Null when there is none (zeb_error is then
 * left alone) or on a wrong argument (ZEB_ERROR_*).
 *
 * Without an index these walk the instances. object_indexParameter makes the
 * template keep an index of its instances by a text parameter, so that they
 * take time independent of the number of instances; the index follows every
 * change (sets, commits, rollbacks, creations, destructions, loads) and
 * gives the same results as the walk. Fails for a parameter that the
 * template does not define (ZEB_ERROR_NOT_FOUND) or that is not a string
 * (ZEB_ERROR_TYPE); indexing a parameter twice is accepted. */
bool object_indexParameter(object_t *templ, const char *name);
object_t *object_findInstance(const object_t *templ, const char *name, const char *text);
object_t *object_findNextInstance(const object_t *instance, const char *name, const char *text);

/* Marks an instance and its subtree deleted (state 5) until the next commit. */
bool object_delete(object_t *instance);

/* Applies the pending changes of the subtree (see the contract). False when a
 * change could not be applied. */
bool object_commit(object_t *object);

/* Drops the pending changes of the subtree: pending values, deletions (the
 * instance revives), and instances created since the last commit (destroyed,
 * running their delete handlers). */
bool object_rollback(object_t *object);

/* Adds each parameter's value, read as a client reads it (read handlers
 * apply), under the parameter's name with its leading run of ASCII capitals
 * lowered ("UniqueID" -> "uniqueID", "URL" -> "url"). */
bool object_getLowerCaseValues(object_t *object, variant_map_t *values);

bool object_setInstanceAddHandler(object_t *templ, object_instance_handler_t handler);
bool object_setInstanceDelHandler(object_t *templ, object_instance_handler_t handler);
bool object_setWriteHandler(object_t *object, object_write_handler_t handler);

bool object_setUserData(object_t *object, void *userData);
void *object_getUserData(const object_t *object);

/* Parameters of the object in definition order. */
parameter_t *object_getParameter(const object_t *object, const char *name);
parameter_t *object_firstParameter(const object_t *object);
parameter_t *object_nextParameter(const parameter_t *parameter);

/* Shorthands on a parameter of the object, by name. */
const variant_t *object_parameterValue(const object_t *object, const char *name);
bool object_parameterSetValue(object_t *object, const char *name, const variant_t *value);
bool object_parameterSetCharValue(object_t *object, const char *name, const char *value);
bool object_parameterSetBoolValue(object_t *object, const char *name, bool value);
bool object_parameterSetDateTimeValue(object_t *object, const char *name, const struct tm *value);

/* Functions declared on the object (an instance has its template's), in
 * definition order. */
function_t *object_getFunction(const object_t *object, const char *name);
function_t *object_firstFunction(const object_t *object);
function_t *object_nextFunction(const function_t *function);
const char *function_name(const function_t *function);
/* Declared argument names, in positional order. */
size_t function_argumentCount(const function_t *function);
const char *function_argumentName(const function_t *function, size_t index);
function_handler_t function_handler(const function_t *function);
bool function_setHandler(function_t *function, function_handler_t handler);

/* ---- Parameters --------------------------------------------------------------- */

const char *parameter_name(const parameter_t *parameter);
variant_type_t parameter_type(const parameter_t *parameter);
uint32_t parameter_attributes(const parameter_t *parameter);
object_t *parameter_owner(const parameter_t *parameter);

/* The pending value when there is one, else the committed value. Read
 * handlers do not apply. */
const variant_t *parameter_getValue(const parameter_t *parameter);

/* The candidate value inside a validator, the value being applied inside a
 * write handler; otherwise the pending value, or null when there is none. */
const variant_t *parameter_getModifiedValue(const parameter_t *parameter);

/* The value as a client reads it: the read handler's answer when one is
 * installed and succeeds, else parameter_getValue. Into `value`. */
bool parameter_readValue(parameter_t *parameter, variant_t *value);

/* Converts a copy of `value` to the parameter's type, runs the validator and
 * stores it as the pending value. False (value unchanged) on an impossible
 * conversion (ZEB_ERROR_TYPE), a refusal (ZEB_ERROR_REFUSED) or an object
 * being deleted (ZEB_ERROR_STATE). Setting the value the parameter already
 * has is accepted and changes nothing. */
bool parameter_setValue(parameter_t *parameter, const variant_t *value);
bool parameter_setFromChar(parameter_t *parameter, const char *value);
bool parameter_setFromString(parameter_t *parameter, const string_t *value);

/* Tells the data model that the value a read handler answers has changed:
 * that value becomes the stored (committed) value, so that saves, equality
 * checks of later sets and readers without handlers agree with what clients
 * read. No handler other than the read handler runs; a pending value stays
 * pending. */
bool parameter_update(parameter_t *parameter);

bool parameter_setReadHandler(parameter_t *parameter, parameter_read_handler_t handler);
bool parameter_setWriteHandler(parameter_t *parameter, parameter_write_handler_t handler);
bool parameter_setValidator(parameter_t *parameter, parameter_validator_t validator);

bool parameter_setUserData(parameter_t *parameter, void *userData);
void *parameter_getUserData(const parameter_t *parameter);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
