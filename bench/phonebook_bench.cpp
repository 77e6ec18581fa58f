// Lookups, listing, writes and saves on a phonebook of N contacts, through
// the same function calls a bus client makes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "test_host.hpp"

namespace {

using zebtest::json;

std::string numberOf(int i) {
    char text[32];
    snprintf(text, sizeof text, "+3361%07d", i);
    return text;
}

json contact(int i) {
    std::string id = std::to_string(i);
    return json{{"uniqueID", "id-" + id},
                {"formattedName", "Contact " + id},
                {"organisation", "Example"},
                {"telephoneNumbers",
                 json::array({{{"name", numberOf(i)}, {"type", "cell"}, {"preferred", true}},
                              {{"name", "+331400" + id}, {"type", "work"}, {"preferred", false}}})},
                {"emails", json::array({{{"name", "c" + id + "@example.com"},
                                         {"type", "home"},
                                         {"preferred", true}}})}};
}

std::string readAll(const char *path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One started phonebook per size, filled once and kept while its benchmarks
// run. Stopped before main returns: the libraries' own state must still be
// alive when the plug-in's cleanup runs.
std::map<int, std::unique_ptr<zebtest::TestHost>> hosts;

zebtest::TestHost &phonebook(int size) {
    if (hosts.count(size) != 0)
        return *hosts[size];
    // Only one host may run at a time: they share the process's timers.
    hosts.clear();
    auto &host = hosts[size];
    host = std::make_unique<zebtest::TestHost>(0);
    std::filesystem::create_directories(host->path("/cfg/system"));
    host->writeFile("/usr/lib/phonebook/CCC.dat", readAll(PHONEBOOK_CCC));
    if (!host->start(PHONEBOOK_DEFINITION))
        throw std::runtime_error("cannot start the phonebook: " + host->lastError());
    host->set("Phonebook", {{"MaxNumberOfEntries", size + 10}});
    json contacts = json::array();
    for (int i = 0; i < size; ++i)
        contacts.push_back(contact(i));
    if (host->call("Phonebook", "addContacts", {{"contacts", contacts}}).value() != true)
        throw std::runtime_error("cannot fill the phonebook");
    return *host;
}

void BM_GetContactByFormattedName(benchmark::State &state) {
    int size = static_cast<int>(state.range(0));
    zebtest::TestHost &host = phonebook(size);
    json args{{"formattedName", "Contact " + std::to_string(size - 1)}};
    for (auto _ : state)
        benchmark::DoNotOptimize(host.call("Phonebook", "getContact", args));
}

// The caller's number in national notation against stored international ones,
// matching the last entry: the longest walk.
void BM_GetContactByNumber(benchmark::State &state) {
    int size = static_cast<int>(state.range(0));
    zebtest::TestHost &host = phonebook(size);
    json args{{"number", "0" + numberOf(size - 1).substr(3)}};
    for (auto _ : state)
        benchmark::DoNotOptimize(host.call("Phonebook", "getContactByNumber", args));
}

void BM_GetAllContacts(benchmark::State &state) {
    zebtest::TestHost &host = phonebook(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(host.call("Phonebook", "getAllContacts"));
}

void BM_AddThenRemoveContact(benchmark::State &state) {
    zebtest::TestHost &host = phonebook(static_cast<int>(state.range(0)));
    json added{{"contact", contact(1000000)}};
    json removed{{"uniqueID", "id-1000000"}};
    for (auto _ : state) {
        host.call("Phonebook", "addContact", added);
        host.call("Phonebook", "removeContactByUniqueID", removed);
    }
}

void BM_SaveDataModel(benchmark::State &state) {
    zebtest::TestHost &host = phonebook(static_cast<int>(state.range(0)));
    object_t *root = zeb_getObject(host.context(), "Phonebook", 0);
    for (auto _ : state)
        datamodel_save(root, 10, "/cfg/system/phonebook.odl", DATAMODEL_FLAG_PERSISTENT_ONLY);
    state.counters["bytes"] =
        static_cast<double>(std::filesystem::file_size(host.path("/cfg/system/phonebook.odl")));
}

} // namespace

BENCHMARK(BM_GetContactByFormattedName)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetContactByNumber)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetAllContacts)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddThenRemoveContact)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveDataModel)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    hosts.clear();
    return 0;
}
