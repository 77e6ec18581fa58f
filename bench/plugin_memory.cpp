// What the plug-in keeps on the heap per contact beyond the data model, by
// structure, for the bench contacts: plugin_memory [N] (default 10 000).
// Build it with the release preset (AddressSanitizer hides the allocator's
// figures).
//
// The plug-in's modules are built in and run by the data model as the host
// runs them. Every figure is a difference of the heap in use (mallinfo2:
// small blocks and mapped ones, each with its allocator header):
// - data model alone: the saved file of the filled phonebook loaded into a
//   data model without the plug-in;
// - with the plug-in: N contacts through addContacts, as a client fills a
//   phonebook, minus the data model alone;
// - each structure: its growth when it is built (the indexes a search
//   builds), or what freeing it gives back (the change log, the order index
//   with the slots, the notification records, the revisions of LastRevision);
//   what remains is the data model's own: a phonebook filled through the
//   plug-in beside the same loaded without it (the handlers the plug-in
//   installs on every object, and the slack of growing).
#include <dlfcn.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bench_contacts.hpp"
#include "change_log.h"
#include "contact_index.h"
#include "notify.h"
#include "number_index.h"
#include "phonebook.h"
#include "phonebook_zeb.h"
#include "test_host.hpp"
#include "zeb_variant_json.hpp"

namespace {

using benchcontacts::json;

double heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The plug-in's handlers are this program's own symbols.
void *resolve(void *, const char *, const char *symbol) {
    return symbol == nullptr ? reinterpret_cast<void *>(1) : dlsym(RTLD_DEFAULT, symbol);
}

zeb_t *newDataModel(bool withPlugin) {
    json definition = json::parse(readAll(PHONEBOOK_DEFINITION));
    if (!withPlugin)
        definition.erase("plugin");
    zeb_t *context = zeb_create();
    if (!datamodel_loadDefinitionText(zeb_datamodel(context), definition.dump().c_str(),
                                      "phonebook.json", resolve, nullptr)) {
        fprintf(stderr, "definition: %s\n", zeb_errorMessage());
        exit(1);
    }
    return context;
}

void fill(int size) {
    for (const json &call : benchcontacts::fillingCalls(size)) {
        variant_t contacts, failed;
        zeb_json::jsonToVariant(call["contacts"], &contacts);
        variant_initialize(&failed, variant_type_array);
        if (!addContacts(_phonebook, variant_da_list(&contacts), variant_da_list(&failed))) {
            fprintf(stderr, "cannot fill the phonebook\n");
            exit(1);
        }
        variant_cleanup(&contacts);
        variant_cleanup(&failed);
    }
}

void answer(const char *what, void (*ask)(variant_map_t *)) {
    variant_t result;
    variant_initialize(&result, variant_type_map);
    ask(variant_da_map(&result));
    if (variant_map_find(variant_da_map(&result), "total") == nullptr) {
        fprintf(stderr, "%s failed\n", what);
        exit(1);
    }
    variant_cleanup(&result);
}

struct Figures {
    int size;
    double mark = heapInUse();
    /* The bytes per contact taken or given back since the last step. */
    double step(const char *what) {
        double now = heapInUse();
        double bytes = (now > mark ? now - mark : mark - now) / size;
        show(what, bytes);
        mark = now;
        return bytes;
    }
    static void show(const char *what, double bytes) { printf("%-66s %7.1f\n", what, bytes); }
};

} // namespace

int main(int argc, char **argv) {
    int size = argc > 1 ? atoi(argv[1]) : 10000;
    zebtest::TestHost env(0);
    std::filesystem::create_directories(env.path("/cfg/system"));
    env.writeFile("/usr/lib/phonebook/CCC.dat", readAll(PHONEBOOK_CCC));
    printf("bytes per contact at N = %d\n", size);
    fflush(stdout);

    zeb_t *context = newDataModel(true);
    if (!zeb_plugin_initialize(context))
        return 1;
    object_parameterSetCharValue(_phonebook, "MaxNumberOfEntries", std::to_string(size).c_str());
    object_commit(_phonebook);
    Figures figures{size};
    double empty = figures.mark;
    fill(size);
    figures.mark = heapInUse();
    answer("getContactsRange", [](variant_map_t *result) {
        contacts_range_request_t request{0, 1, nullptr, nullptr, false, nullptr};
        getContactsRange(_phonebook, &request, result);
    });
    double order = figures.step("order index of the default collation (first page)");
    answer("searchContacts",
           [](variant_map_t *result) { searchContacts(_phonebook, "c", 0, 1, nullptr, result); });
    double words = figures.step("word index (first search)");
    answer("searchContacts", [](variant_map_t *result) {
        searchContacts(_phonebook, "3361", 0, 1, nullptr, result);
    });
    double digits = figures.step("digit index (first search by digits)");
    variant_map_t *found = getContactByNumber(_phonebook, "0610000001");
    variant_map_cleanup(found);
    free(found);
    figures.step("number index and calling code table (first lookup by number)");
    number_index_clear();
    double numbers = figures.step("  the number index alone, given back when dropped");
    change_log_start();
    double log = figures.step("change log, given back");
    contact_index_stop();
    double indexes = figures.step("contact indexes with their slots, given back at stop");
    double slots = indexes - order - words - digits;
    Figures::show("  the slots and the entries changed since the last answer", slots);
    notify_cleanup();
    double records = figures.step("notification states, given back");
    object_t *entries = object_getObject(_phonebook, "Entry", 0, nullptr);
    for (object_t *entry = object_firstInstance(entries); entry != nullptr;
         entry = object_nextInstance(entry))
        phonebook_entry_instance_del_handler(entries, entry);
    zeb_timer_stop(_timer);
    double revisions = figures.step("revisions of LastRevision, given back by the delete handler");
    double withoutPlugin = figures.mark;

    datamodel_save(_phonebook, -1, PHONEBOOK_DATAMODEL_FILE, 0);
    zeb_plugin_cleanup();
    zeb_destroy(context);
    double bare = heapInUse();
    context = newDataModel(false);
    if (!datamodel_load(zeb_datamodel(context), PHONEBOOK_DATAMODEL_FILE, 0))
        return 1;
    double dataModel = heapInUse() - bare;
    zeb_destroy(context);

    double filled = slots + log + records + revisions;
    Figures::show("the plug-in's own after filling: slots, log, states, revisions", filled);
    Figures::show("the plug-in's own with every index built",
                  filled + order + words + digits + numbers);
    Figures::show("the data model filled through the plug-in, beyond loaded",
                  (withoutPlugin - empty) / size - dataModel / size);
    Figures::show("the data model alone (saved file loaded)", dataModel / size);
    return 0;
}
