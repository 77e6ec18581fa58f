#include "phonebook_tessel.h"

#include "keltrace/keltrace.h"

static phonebook_exchange_t import_exchange = nullptr;
static phonebook_exchange_t export_exchange = nullptr;

void phonebook_test_setImport(phonebook_exchange_t exchange) { import_exchange = exchange; }

void phonebook_test_setExport(phonebook_exchange_t exchange) { export_exchange = exchange; }

bool import_from_tessel(object_t *phonebook, const char *path) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool imported = false;
    if (import_exchange != nullptr)
        imported = import_exchange(phonebook, path);
    else
        kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    kelTraceOut(PHONEBOOK_ZONE);
    return imported;
}

bool export_to_tessel(object_t *phonebook, const char *path) {
    kelTraceIn(PHONEBOOK_ZONE);
    bool exported = false;
    if (export_exchange != nullptr)
        exported = export_exchange(phonebook, path);
    else
        kelTrace(KELTRACE_LEVEL_ERROR, "%s is not supported", __func__);
    kelTraceOut(PHONEBOOK_ZONE);
    return exported;
}
