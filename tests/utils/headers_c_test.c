/* Proves that the public headers compile as C and that a C caller can build,
 * search and release a nested map. */
#include "keltrace/keltrace.h"
#include "zeb/llist.h"
#include "zeb/variant.h"
#include "zeb/zstring.h"

#include <stdlib.h>
#include <string.h>

int main(void) {
    variant_map_t contact;
    variant_list_t numbers;
    variant_map_initialize(&contact);
    variant_list_initialize(&numbers);
    variant_list_addChar(&numbers, "+3212345678");
    variant_map_addListMove(&contact, "telephoneNumbers", &numbers);
    variant_list_cleanup(&numbers);
    variant_list_t *list =
        variant_da_list(variant_map_iterator_data(variant_map_find(&contact, "telephoneNumbers")));
    char *number = variant_char(variant_list_iterator_data(variant_list_first(list)));
    string_t text;
    string_initialize(&text, 0);
    string_appendFormat(&text, "%zu entry %s", variant_map_size(&contact), number);
    int failed =
        strcmp(string_buffer(&text), "1 entry +3212345678") != 0 || llist_isEmpty(&contact.list);
    if (failed)
        kelTrace(KELTRACE_LEVEL_ERROR, "the variant library failed from C");
    free(number);
    string_cleanup(&text);
    variant_map_cleanup(&contact);
    return failed;
}
