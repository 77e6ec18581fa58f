/* Proves that the public headers compile as C and link from a C caller. */
#include "keltrace/keltrace.h"
#include "zeb/llist.h"
#include "zeb/variant.h"
#include "zeb/zstring.h"

int main(void) {
    variant_map_t contact;
    variant_map_initialize(&contact);
    variant_map_addChar(&contact, "formattedName", "Ann");
    int failed = variant_map_size(&contact) != 1 || llist_isEmpty(&contact.list);
    if (failed)
        kelTrace(KELTRACE_LEVEL_ERROR, "the variant library failed from C");
    variant_map_cleanup(&contact);
    return failed;
}
