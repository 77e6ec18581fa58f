#include "phonebook_intf.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <vector>

#include "change_log.h"
#include "contact_index.h"
#include "keltrace/keltrace.h"
#include "phonebook_tessel.h"
#include "zeb/sysroot.h"

/* One call: the object it was made on and the form of its arguments. */
typedef struct call_frame {
    object_t *object;
    bool named;
} call_frame_t;

static call_frame_t beginCall(function_call_t *fcall, argument_value_list_t *args) {
    kelTraceZ(KELTRACE_LEVEL_INFO, PHONEBOOK_ZONE, "Number of arguments %d",
              static_cast<int>(llist_size(args)));
    call_frame_t frame;
    frame.object = fcall_object(fcall);
    frame.named = (request_attributes(fcall_request(fcall)) & REQUEST_ATTR_NAMED_ARGS) != 0;
    return frame;
}

static int endCall(function_call_t *fcall) {
    fcall_destroy(fcall);
    kelTraceOut(PHONEBOOK_ZONE);
    return 0;
}

/* Takes the named argument `name` out of the list; null when the call has
 * none. Optional arguments are left out by ordinary calls: information, not
 * a warning; an operation that needs the value reports its absence. */
static argument_value_t *takeNamedArgument(argument_value_list_t *args, const char *name) {
    argument_value_t *argument = argument_valueByName(args, name);
    if (argument == nullptr) {
        kelTrace(KELTRACE_LEVEL_INFO, "Named parameter %s not found, using default value NULL",
                 name);
        return nullptr;
    }
    return argument_valueTakeArgument(argument);
}

/* The text argument `name` (named) or the next argument (positional), as new
 * text freed by the caller; null when there is none. */
static char *takeText(const call_frame_t *frame, argument_value_list_t *args, const char *name) {
    if (!frame->named)
        return argument_takeChar(args);
    argument_value_t *argument = takeNamedArgument(args, name);
    if (argument == nullptr)
        return nullptr;
    char *text = variant_char(argument_value(argument));
    argument_valueDestroy(argument);
    return text;
}

/* The contact argument, detached; the caller destroys it after use. */
static argument_value_t *takeContact(const call_frame_t *frame, argument_value_list_t *args) {
    if (!frame->named)
        return argument_valueTakeArgumentFirst(args);
    return takeNamedArgument(args, "contact");
}

/* Moves a contact map into the return value and frees the emptied map; no
 * map leaves the return value empty. */
static void returnContact(variant_t *retval, variant_map_t *contact) {
    variant_cleanup(retval);
    if (contact == nullptr)
        return;
    variant_initialize(retval, variant_type_map);
    variant_setMapMove(retval, contact);
    variant_map_cleanup(contact);
    free(contact);
}

/* The file a caller named, resolved inside the system root; null, traced
 * with the name as given, when it resolves outside or cannot be resolved, so
 * that nothing outside the root is read or created. */
static char *confinedPath(const char *given) {
    char *path = sysroot_confine(given);
    if (path == nullptr && errno == EXDEV)
        kelTrace(KELTRACE_LEVEL_WARNING, "fileName %s is outside the system root", given);
    else if (path == nullptr)
        kelTrace(KELTRACE_LEVEL_WARNING, "fileName %s cannot be resolved: %s", given,
                 strerror(errno));
    return path;
}

/* The legacy file named by "fileName" as new text, or the default file when
 * the call gives none (absent, null or empty). Null, traced, for a value that
 * is not a text or not an absolute path: a number would otherwise become a
 * file name relative to wherever the daemon runs, outside the system root. */
static char *takeTesselPath(const call_frame_t *frame, argument_value_list_t *args) {
    argument_value_t *argument =
        frame->named ? takeNamedArgument(args, "fileName") : argument_valueTakeArgumentFirst(args);
    const variant_t *value = argument != nullptr ? argument_value(argument) : nullptr;
    const char *given = variant_da_char(value);
    char *path = nullptr;
    if (variant_type(value) == variant_type_unknown || (given != nullptr && given[0] == '\0'))
        path = strdup(PHONEBOOK_TESSEL_FILE);
    else if (given != nullptr && given[0] == '/')
        path = confinedPath(given);
    else
        kelTrace(KELTRACE_LEVEL_WARNING, "fileName must be an absolute path");
    argument_valueDestroy(argument);
    return path;
}

int __import(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *path = takeTesselPath(&frame, args);
    variant_setBool(retval, path != nullptr && import_from_tessel(frame.object, path));
    free(path);
    return endCall(fcall);
}

int __export(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *path = takeTesselPath(&frame, args);
    variant_setBool(retval, path != nullptr && export_to_tessel(frame.object, path));
    free(path);
    return endCall(fcall);
}

int __modifyContactByUniqueID(function_call_t *fcall, argument_value_list_t *args,
                              variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *uniqueID = takeText(&frame, args, "uniqueID");
    argument_value_t *contact = takeContact(&frame, args);
    variant_setBool(
        retval, modifyContactByUniqueID(frame.object, uniqueID,
                                        contact != nullptr ? argument_value(contact) : nullptr));
    argument_valueDestroy(contact);
    free(uniqueID);
    return endCall(fcall);
}

int __modifyContactByFormattedName(function_call_t *fcall, argument_value_list_t *args,
                                   variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *formattedName = takeText(&frame, args, "formattedName");
    argument_value_t *contact = takeContact(&frame, args);
    variant_setBool(retval, modifyContact(frame.object, formattedName,
                                          contact != nullptr ? argument_value(contact) : nullptr));
    argument_valueDestroy(contact);
    free(formattedName);
    return endCall(fcall);
}

int __modifyContact(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    return __modifyContactByFormattedName(fcall, args, retval);
}

int __getMaxNumberOfContacts(function_call_t *fcall, argument_value_list_t *args,
                             variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    variant_setUInt32(retval, getMaxNumberOfContacts(frame.object));
    return endCall(fcall);
}

int __getNumberOfContacts(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    variant_setUInt32(retval, getNumberOfContacts(frame.object));
    return endCall(fcall);
}

int __getAllContacts(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    variant_cleanup(retval);
    variant_initialize(retval, variant_type_array);
    getAllContacts(frame.object, variant_da_list(retval));
    return endCall(fcall);
}

int __getContactByUniqueID(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *uniqueID = takeText(&frame, args, "uniqueID");
    returnContact(retval, getContactByUniqueID(frame.object, uniqueID));
    free(uniqueID);
    return endCall(fcall);
}

int __getContactByFormattedName(function_call_t *fcall, argument_value_list_t *args,
                                variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *formattedName = takeText(&frame, args, "formattedName");
    returnContact(retval, getContact(frame.object, formattedName));
    free(formattedName);
    return endCall(fcall);
}

int __getContact(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    return __getContactByFormattedName(fcall, args, retval);
}

int __getContactByNumber(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *number = takeText(&frame, args, "number");
    returnContact(retval, getContactByNumber(frame.object, number));
    free(number);
    return endCall(fcall);
}

int __removeAllContacts(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    variant_setBool(retval, removeAllContacts(frame.object));
    return endCall(fcall);
}

int __removeContactByFormattedName(function_call_t *fcall, argument_value_list_t *args,
                                   variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *formattedName = takeText(&frame, args, "formattedName");
    variant_setBool(retval, removeContact(frame.object, formattedName));
    free(formattedName);
    return endCall(fcall);
}

int __removeContact(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    return __removeContactByFormattedName(fcall, args, retval);
}

int __removeContactByUniqueID(function_call_t *fcall, argument_value_list_t *args,
                              variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    char *uniqueID = takeText(&frame, args, "uniqueID");
    variant_setBool(retval, removeContactByUniqueID(frame.object, uniqueID));
    free(uniqueID);
    return endCall(fcall);
}

int __addContact(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    argument_value_t *contact = takeContact(&frame, args);
    variant_setBool(
        retval, addContact(frame.object, contact != nullptr ? argument_value(contact) : nullptr));
    argument_valueDestroy(contact);
    return endCall(fcall);
}

int __addContactAndGenUUID(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    argument_value_t *contact = takeContact(&frame, args);
    char *uniqueID =
        addContactAndGenUUID(frame.object, contact != nullptr ? argument_value(contact) : nullptr);
    if (uniqueID != nullptr)
        variant_setChar(retval, uniqueID);
    free(uniqueID);
    argument_valueDestroy(contact);
    return endCall(fcall);
}

/* A copy of the list an argument holds, or null; the argument is destroyed. */
static variant_list_t *takeListCopy(argument_value_t *argument) {
    variant_list_t *list = nullptr;
    if (argument != nullptr && variant_type(argument_value(argument)) == variant_type_array)
        list = variant_list(argument_value(argument));
    argument_valueDestroy(argument);
    return list;
}

static void destroyList(variant_list_t *list) {
    variant_list_cleanup(list);
    free(list);
}

int __addContacts(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    variant_list_t *contacts = nullptr;
    variant_list_t *result = nullptr;
    if (frame.named) {
        contacts = takeListCopy(takeNamedArgument(args, "contacts"));
        result = takeListCopy(takeNamedArgument(args, "result"));
    } else {
        contacts = takeListCopy(argument_valueTakeArgumentFirst(args));
        result = argument_takeArray(args);
    }
    /* A caller without a "result" list gets the failed contacts all the same. */
    if (result == nullptr) {
        result = static_cast<variant_list_t *>(calloc(1, sizeof(variant_list_t)));
        variant_list_initialize(result);
    }

    bool added = false;
    if (contacts != nullptr && result != nullptr) {
        added = addContacts(frame.object, contacts, result);
        destroyList(contacts);
    } else if (contacts != nullptr) {
        destroyList(contacts);
    }

    argument_value_t *out = argument_valueCreate("result");
    if (out != nullptr && result != nullptr) {
        argument_valuePrepend(args, out);
        variant_setListMove(argument_value(out), result);
    } else {
        argument_valueDestroy(out);
    }
    destroyList(result);

    variant_setBool(retval, added);
    return endCall(fcall);
}

/* The value of a number argument; false for anything but a number. */
static bool numberOf(const variant_t *value, double *number) {
    variant_type_t type = variant_type(value);
    if (type >= variant_type_int8 && type <= variant_type_int64)
        *number = static_cast<double>(variant_int64(value));
    else if (type >= variant_type_uint8 && type <= variant_type_uint64)
        *number = static_cast<double>(variant_uint64(value));
    else if (type == variant_type_double)
        *number = variant_double(value);
    else
        return false;
    return true;
}

/* A "count": `byDefault` when the call gives none, 0 for anything but a
 * whole number from 1 to `max`. */
static uint32_t countOf(const variant_t *value, uint32_t byDefault, uint32_t max) {
    double count = 0;
    if (variant_type(value) == variant_type_unknown)
        return byDefault;
    if (!numberOf(value, &count) || !(count >= 1 && count <= max) ||
        count != static_cast<uint32_t>(count))
        return 0;
    return static_cast<uint32_t>(count);
}

/* The arguments of a call by name (named form) or in order (positional
 * form), each null when absent; destroyed with this. */
class CallArguments {
  public:
    CallArguments(const call_frame_t *frame, argument_value_list_t *args,
                  std::initializer_list<const char *> names) {
        for (const char *name : names)
            taken_.push_back(frame->named ? takeNamedArgument(args, name)
                                          : argument_valueTakeArgumentFirst(args));
    }
    ~CallArguments() {
        for (argument_value_t *argument : taken_)
            argument_valueDestroy(argument);
    }
    CallArguments(const CallArguments &) = delete;
    CallArguments &operator=(const CallArguments &) = delete;
    const variant_t *operator[](size_t i) const {
        return taken_[i] != nullptr ? argument_value(taken_[i]) : nullptr;
    }

  private:
    std::vector<argument_value_t *> taken_;
};

/* An optional text argument: true with null when absent. */
static bool optionalText(const variant_t *value, const char **text) {
    variant_type_t type = variant_type(value);
    *text = variant_da_char(value);
    return type == variant_type_unknown || type == variant_type_string;
}

/* An "offset": 0 when absent, else a whole number from 0 (a huge one stays
 * huge). */
static bool offsetOf(const variant_t *value, uint64_t *offset) {
    double number = 0;
    *offset = 0;
    if (variant_type(value) == variant_type_unknown)
        return true;
    if (!numberOf(value, &number) || !(number >= 0) || number != floor(number))
        return false;
    *offset = number >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(number);
    return true;
}

static const char *rangeError(const CallArguments &a, contacts_range_request_t *request) {
    variant_type_t descending = variant_type(a[4]);
    if (!offsetOf(a[0], &request->offset))
        return "offset must be a whole number from 0";
    if ((request->count = countOf(a[1], CONTACT_RANGE_DEFAULT_COUNT, CONTACT_RANGE_MAX_COUNT)) == 0)
        return "count must be a whole number from 1 to 500";
    if (!optionalText(a[2], &request->sortBy))
        return "sortBy must be a text";
    if (!optionalText(a[3], &request->locale))
        return "locale must be a text";
    if (descending != variant_type_unknown && descending != variant_type_bool)
        return "descending must be a boolean";
    request->descending = variant_bool(a[4]);
    if (!optionalText(a[5], &request->from))
        return "from must be a text";
    return nullptr;
}

/* Moves `answer` into the return value, or an error naming the bad argument
 * instead. */
static void returnAnswer(variant_t *retval, const char *function, const char *error,
                         variant_map_t *answer) {
    if (error != nullptr) {
        kelTrace(KELTRACE_LEVEL_WARNING, "%s: %s", function, error);
        variant_map_addChar(answer, "error", error);
    }
    variant_cleanup(retval);
    variant_initialize(retval, variant_type_map);
    variant_setMapMove(retval, answer);
    variant_map_cleanup(answer);
}

int __getChangesSince(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    CallArguments a(&frame, args, {"token", "count"});
    const char *token = nullptr;
    uint32_t count = countOf(a[1], CHANGE_LOG_DEFAULT_COUNT, CHANGE_LOG_MAX_COUNT);
    const char *error = nullptr;
    if (!optionalText(a[0], &token))
        error = "token must be a text";
    else if (count == 0)
        error = "count must be a whole number from 1 to 500";
    variant_map_t answer;
    variant_map_initialize(&answer);
    if (error == nullptr)
        getChangesSince(frame.object, token, count, &answer);
    returnAnswer(retval, "getChangesSince", error, &answer);
    return endCall(fcall);
}

int __getContactsRange(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    CallArguments a(&frame, args, {"offset", "count", "sortBy", "locale", "descending", "from"});
    contacts_range_request_t request = {};
    const char *error = rangeError(a, &request);
    variant_map_t answer;
    variant_map_initialize(&answer);
    if (error == nullptr)
        getContactsRange(frame.object, &request, &answer);
    returnAnswer(retval, "getContactsRange", error, &answer);
    return endCall(fcall);
}

int __searchContacts(function_call_t *fcall, argument_value_list_t *args, variant_t *retval) {
    kelTraceIn(PHONEBOOK_ZONE);
    call_frame_t frame = beginCall(fcall, args);
    CallArguments a(&frame, args, {"text", "offset", "count", "locale"});
    const char *text = variant_da_char(a[0]);
    uint64_t offset = 0;
    uint32_t count = countOf(a[2], CONTACT_RANGE_DEFAULT_COUNT, CONTACT_RANGE_MAX_COUNT);
    const char *locale = nullptr;
    const char *error = nullptr;
    if (variant_type(a[0]) != variant_type_string)
        error = "text must be a text";
    else if (!offsetOf(a[1], &offset))
        error = "offset must be a whole number from 0";
    else if (count == 0)
        error = "count must be a whole number from 1 to 500";
    else if (!optionalText(a[3], &locale))
        error = "locale must be a text";
    variant_map_t answer;
    variant_map_initialize(&answer);
    if (error == nullptr)
        searchContacts(frame.object, text, offset, count, locale, &answer);
    returnAnswer(retval, "searchContacts", error, &answer);
    return endCall(fcall);
}
