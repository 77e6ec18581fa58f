/* Proves that the store's header compiles as C and that a C caller can use
 * the store on a file that does not exist. */
#include "tessel/tessel.h"

#include <stdlib.h>
#include <string.h>

int main(void) {
    if (tessel_initialize("/nonexistent/tessel.usr") != TESSEL_MISSING)
        return 1;
    int32_t entry = tessel_addPhoneBookEntry();
    char *name = NULL;
    bool preferred = true;
    int failed =
        entry != 0 || tessel_setPhoneBookEntryName(entry, "C") != TESSEL_OK ||
        tessel_getPhoneBookEntryName(entry, &name) != TESSEL_OK || strcmp(name, "C") != 0 ||
        tessel_addPhoneBookEntryTelephone(entry) != 0 ||
        tessel_getPhoneBookEntryTelephonePreferred(entry, 0, &preferred) != TESSEL_ERR_NOT_SET;
    free(name);
    return failed || tessel_cleanup() != TESSEL_OK;
}
