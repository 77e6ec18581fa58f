/*
 * Client operations: what a bus client may do to a host's data model, with
 * the checks and the transaction handling a client gets. The daemon serves
 * its clients with these, and the in-process test host performs them, so
 * both behave alike.
 *
 * Paths are dotted, from the top ("Phonebook.Entry.3.TelephoneNumber.1");
 * an instance is named by its key, or by its index when no instance has that
 * key; a trailing dot is accepted.
 *
 * Failure rules: false or null with zeb_error and zeb_errorMessage() set
 * (zeb/dm.h). Where a parameter was refused, *refused (when not null)
 * receives a new text naming it, freed by the caller.
 * Ownership: results written to `result` are the caller's (it passes an
 * initialized variant and cleans it up).
 */
#ifndef ZEB_OPS_H
#define ZEB_OPS_H

#include <stdbool.h>

#include "zeb/dm.h"
#include "zeb/sl.h"
#include "zeb/variant.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What follows is the library's interface, exported from it; the rest of
 * the library is hidden. */
#pragma GCC visibility push(default)

/* The object or, with *parameter set, the parameter that `path` names; the
 * parameter is the last segment when no object has that name. */
object_t *zeb_ops_resolve(const zeb_t *context, const char *path, parameter_t **parameter);

/* A parameter path gives its value; an object path gives a map of its
 * parameters (as clients read them: read handlers apply) and, with
 * `recursive`, of its child objects: a singleton as a nested map, a template
 * as a map from instance key to the instance's map. */
bool zeb_ops_get(const zeb_t *context, const char *path, bool recursive, variant_t *result);

/* Sets the parameters named in `values` on one object in one transaction:
 * all are committed, or none (the object is rolled back). Unknown and
 * read-only parameters are refused. */
bool zeb_ops_set(zeb_t *context, const char *objectPath, const variant_map_t *values,
                 char **refused);

/* Adds an instance to a template (key may be null) with optional values
 * (null for none) and commits it; on any refusal the instance is rolled back
 * (destroyed) and null returned. Returns the new instance. */
object_t *zeb_ops_add(zeb_t *context, const char *templatePath, const char *key,
                      const variant_map_t *values, char **refused);

/* Deletes an instance and commits the deletion. */
bool zeb_ops_delete(zeb_t *context, const char *instancePath);

/* Lists what is below `path` (null or "": the top): a map with "objects"
 * (child object names; for a template, instance paths), "parameters"
 * (names) and "functions" (name -> list of argument names). */
bool zeb_ops_list(const zeb_t *context, const char *path, variant_t *result);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
