/*
 * The public data model API as a table of function pointers, filled once for
 * libzeb_dm and once for the reference core (tests/dm/reference, the same API
 * under "zebref_" names), so that one driver can run both side by side.
 */
#ifndef DM_API_TABLE_H
#define DM_API_TABLE_H

#include "zeb/dm.h"
#include "zeb_dm_testing.h"

/* The functions the differential driver calls: all of zeb/dm.h and of the
 * test seam but zeb_dm_streamedLoads, which counts how a load was read. */
#define DM_API_FUNCTIONS(X)                                                                        \
    X(datamodel_create)                                                                            \
    X(datamodel_destroy)                                                                           \
    X(datamodel_loadDefinitionText)                                                                \
    X(datamodel_getObject)                                                                         \
    X(datamodel_firstObject)                                                                       \
    X(datamodel_save)                                                                              \
    X(datamodel_load)                                                                              \
    X(zeb_errorMessage)                                                                            \
    X(object_name)                                                                                 \
    X(object_index)                                                                                \
    X(object_pathChar)                                                                             \
    X(object_getObject)                                                                            \
    X(object_parent)                                                                               \
    X(object_firstChild)                                                                           \
    X(object_nextSibling)                                                                          \
    X(object_firstInstance)                                                                        \
    X(object_nextInstance)                                                                         \
    X(object_instanceCount)                                                                        \
    X(object_isInstance)                                                                           \
    X(object_isTemplate)                                                                           \
    X(object_state)                                                                                \
    X(object_createInstance)                                                                       \
    X(object_indexParameter)                                                                       \
    X(object_findInstance)                                                                         \
    X(object_findNextInstance)                                                                     \
    X(object_delete)                                                                               \
    X(object_commit)                                                                               \
    X(object_rollback)                                                                             \
    X(object_getLowerCaseValues)                                                                   \
    X(object_setWriteHandler)                                                                      \
    X(object_setUserData)                                                                          \
    X(object_getUserData)                                                                          \
    X(object_getParameter)                                                                         \
    X(object_firstParameter)                                                                       \
    X(object_nextParameter)                                                                        \
    X(parameter_name)                                                                              \
    X(parameter_attributes)                                                                        \
    X(parameter_owner)                                                                             \
    X(parameter_getValue)                                                                          \
    X(parameter_getModifiedValue)                                                                  \
    X(parameter_readValue)                                                                         \
    X(parameter_setValue)                                                                          \
    X(parameter_update)                                                                            \
    X(parameter_setWriteHandler)                                                                   \
    X(parameter_setUserData)                                                                       \
    X(parameter_getUserData)                                                                       \
    X(error_string)                                                                                \
    X(zeb_setError)                                                                                \
    X(datamodel_loadDefinition)                                                                    \
    X(datamodel_removeObject)                                                                      \
    X(object_datamodel)                                                                            \
    X(object_hasInstances)                                                                         \
    X(object_setInstanceAddHandler)                                                                \
    X(object_setInstanceDelHandler)                                                                \
    X(object_parameterValue)                                                                       \
    X(object_parameterSetValue)                                                                    \
    X(object_parameterSetCharValue)                                                                \
    X(object_parameterSetBoolValue)                                                                \
    X(object_parameterSetDateTimeValue)                                                            \
    X(object_getFunction)                                                                          \
    X(object_firstFunction)                                                                        \
    X(object_nextFunction)                                                                         \
    X(function_name)                                                                               \
    X(function_argumentCount)                                                                      \
    X(function_argumentName)                                                                       \
    X(function_handler)                                                                            \
    X(function_setHandler)                                                                         \
    X(parameter_type)                                                                              \
    X(parameter_setFromChar)                                                                       \
    X(parameter_setFromString)                                                                     \
    X(parameter_setReadHandler)                                                                    \
    X(parameter_setValidator)                                                                      \
    X(zeb_dm_setDocumentLoad)                                                                      \
    X(zeb_dm_setFileOps)

namespace dmdiff {

struct DmApi {
#define DM_API_FIELD(name) decltype(&::name) name;
    DM_API_FUNCTIONS(DM_API_FIELD)
#undef DM_API_FIELD
    uint32_t *error; /* zeb_error */
};

const DmApi &coreApi();
const DmApi &referenceApi();

} // namespace dmdiff

#endif
