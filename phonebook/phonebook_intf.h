/*
 * Handlers of the data model functions of Phonebook. The host runs
 * "__<function>" for a call of <function>; each handler takes its arguments,
 * named or positional, fills the return value, ends the call and returns 0.
 */
#ifndef PHONEBOOK_PHONEBOOK_INTF_H
#define PHONEBOOK_PHONEBOOK_INTF_H

#include "phonebook.h"

#define PHONEBOOK_FUNCTION_HANDLER(name)                                                           \
    PHONEBOOK_EXPORT int name(function_call_t *fcall, argument_value_list_t *args,                 \
                              variant_t *retval)

PHONEBOOK_FUNCTION_HANDLER(__import);
PHONEBOOK_FUNCTION_HANDLER(__export);
PHONEBOOK_FUNCTION_HANDLER(__modifyContactByUniqueID);
PHONEBOOK_FUNCTION_HANDLER(__modifyContactByFormattedName);
PHONEBOOK_FUNCTION_HANDLER(__modifyContact);
PHONEBOOK_FUNCTION_HANDLER(__getMaxNumberOfContacts);
PHONEBOOK_FUNCTION_HANDLER(__getNumberOfContacts);
PHONEBOOK_FUNCTION_HANDLER(__getAllContacts);
PHONEBOOK_FUNCTION_HANDLER(__getContactByUniqueID);
PHONEBOOK_FUNCTION_HANDLER(__getContactByFormattedName);
PHONEBOOK_FUNCTION_HANDLER(__getContact);
PHONEBOOK_FUNCTION_HANDLER(__getContactByNumber);
PHONEBOOK_FUNCTION_HANDLER(__removeAllContacts);
PHONEBOOK_FUNCTION_HANDLER(__removeContactByFormattedName);
PHONEBOOK_FUNCTION_HANDLER(__removeContact);
PHONEBOOK_FUNCTION_HANDLER(__removeContactByUniqueID);
PHONEBOOK_FUNCTION_HANDLER(__addContact);
PHONEBOOK_FUNCTION_HANDLER(__addContactAndGenUUID);
PHONEBOOK_FUNCTION_HANDLER(__addContacts);
PHONEBOOK_FUNCTION_HANDLER(__getChangesSince);
PHONEBOOK_FUNCTION_HANDLER(__getContactsRange);
PHONEBOOK_FUNCTION_HANDLER(__searchContacts);

#endif
