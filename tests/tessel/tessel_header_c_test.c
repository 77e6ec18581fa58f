/* Proves that the store's header compiles as C and links from a C caller. */
#include "tessel/tessel.h"

int main(void) {
    if (tessel_initialize("/nonexistent/tessel.usr") != TESSEL_MISSING)
        return 1;
    int failed = tessel_setPhoneBookEntryName(tessel_addPhoneBookEntry(), "C") != TESSEL_OK;
    return failed || tessel_cleanup() != TESSEL_OK;
}
