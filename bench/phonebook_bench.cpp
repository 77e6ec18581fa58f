// The phonebook at gateway scale, on phonebooks of 100, 1 000, 10 000 and
// 50 000 contacts. In-process, through the same function calls a bus client
// makes: lookups, listing, writes, the save and the load of the saved file
// (beside a plain JSON parse of that file). Through the real daemon: the
// resident memory per contact and the round trip of a call (beside a bare
// echo of the same frame). getChangesSince after one change, sorted pages,
// jumps and searches at 100, 10 000 and 50 000 contacts. ZEB_BENCH_MAX_N, when
// set, leaves out the sizes above it (a quick run: 10 000).
//
// Benchmarks run grouped by size, so that each size's phonebook is filled
// only once in process and once in the daemon: at the large sizes that takes
// long. The run ends with the tables of docs/performance.md, figures and
// ratios, computed from its own results.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <malloc.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench_contacts.hpp"
#include "bus_test_support.hpp"
#include "number_index.h"
#include "number_peers.hpp"
#include "page_peers.hpp"
#include "phonebook.h"
#include "test_host.hpp"

namespace {

using zebtest::json;
using benchcontacts::contact;
using benchcontacts::fillingCalls;
using benchcontacts::kBatch;
using benchcontacts::numberOf;

// `sizes` without those above ZEB_BENCH_MAX_N, when it is set.
std::vector<int> upToMaxSize(std::vector<int> sizes) {
    const char *max = std::getenv("ZEB_BENCH_MAX_N");
    if (max != nullptr && *max != '\0') {
        long largest = std::atol(max);
        sizes.erase(std::remove_if(sizes.begin(), sizes.end(),
                                   [largest](int size) { return size > largest; }),
                    sizes.end());
    }
    return sizes;
}

const std::vector<int> kSizes = upToMaxSize({100, 1000, 10000, 50000});
// The sizes of the sorted pages, the search and the change log, among kSizes.
const std::vector<int> kPageSizes = upToMaxSize({100, 10000, 50000});

const char *const kSavedFile = "/cfg/system/phonebook.odl";

// Named arguments of an in-process call, converted to variants beforehand.
using Arguments = std::vector<std::pair<std::string, zebtest::Var>>;

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

bool returnedTrue(const zebtest::CallResult &result) {
    return result.ok && result.value() == true;
}

Arguments argumentsOf(const json &named) {
    Arguments arguments;
    for (auto it = named.begin(); it != named.end(); ++it)
        arguments.emplace_back(it.key(), zebtest::Var(it.value()));
    return arguments;
}

std::vector<Arguments> fillingArguments(int size) {
    std::vector<Arguments> calls;
    for (const json &call : fillingCalls(size))
        calls.push_back(argumentsOf(call));
    return calls;
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Heap bytes in use, as the allocator counts them.
size_t heapInUse() {
    return mallinfo2().uordblks;
}

// ---- The phonebook in this process ---------------------------------------

// The one test host of the process (hosts share the process's timers and
// trace sink), and the size of the filled phonebook it runs, -1 when it
// serves another purpose. Stopped before main returns: the libraries' own
// state must still be alive when the plug-in's cleanup runs.
std::unique_ptr<zebtest::TestHost> current;
int currentSize = -1;

// A new host, not started, with the calling code table in place. Traces are
// not recorded, and the virtual clock never moves, so no notification is
// sent: the host keeps no records growing with the phonebook.
zebtest::TestHost &newHost() {
    current.reset();
    currentSize = -1;
    current = std::make_unique<zebtest::TestHost>(0);
    std::filesystem::create_directories(current->path("/cfg/system"));
    current->writeFile("/usr/lib/phonebook/CCC.dat", readAll(PHONEBOOK_CCC));
    return *current;
}

void startPhonebook(zebtest::TestHost &phonebook, int maxEntries) {
    if (!phonebook.start(PHONEBOOK_DEFINITION))
        fail("cannot start the phonebook: " + phonebook.lastError());
    if (!phonebook.set("Phonebook", {{"MaxNumberOfEntries", maxEntries}}))
        fail("cannot set MaxNumberOfEntries: " + phonebook.lastError());
}

void addAll(zebtest::TestHost &phonebook, const std::vector<Arguments> &calls) {
    for (const Arguments &call : calls) {
        if (!returnedTrue(phonebook.callVars("Phonebook", "addContacts", call, true)))
            fail("cannot fill the phonebook");
    }
}

// The host running a phonebook of `size` contacts, filled once.
zebtest::TestHost &phonebook(int size) {
    if (currentSize == size)
        return *current;
    zebtest::TestHost &filled = newHost();
    startPhonebook(filled, size + 10);
    addAll(filled, fillingArguments(size));
    currentSize = size;
    return filled;
}

bool save(zebtest::TestHost &phonebook) {
    return datamodel_save(zeb_getObject(phonebook.context(), "Phonebook", 0), 10, kSavedFile,
                          DATAMODEL_FLAG_PERSISTENT_ONLY);
}

// The saved file of a phonebook of `size` contacts, by size.
std::map<int, std::string> savedFiles;

const std::string &savedFile(int size) {
    std::string &file = savedFiles[size];
    if (file.empty()) {
        zebtest::TestHost &filled = phonebook(size);
        if (!save(filled))
            fail("cannot save the phonebook");
        file = filled.readFile(kSavedFile);
    }
    return file;
}

int sizeOf(const benchmark::State &state) {
    return static_cast<int>(state.range(0));
}

void BM_GetContactByUniqueID(benchmark::State &state) {
    int size = sizeOf(state);
    zebtest::TestHost &host = phonebook(size);
    Arguments args = argumentsOf({{"uniqueID", "id-" + std::to_string(size - 1)}});
    for (auto _ : state)
        benchmark::DoNotOptimize(host.callVars("Phonebook", "getContactByUniqueID", args, true));
}

void BM_GetContactByFormattedName(benchmark::State &state) {
    int size = sizeOf(state);
    zebtest::TestHost &host = phonebook(size);
    Arguments args = argumentsOf({{"formattedName", "Contact " + std::to_string(size - 1)}});
    for (auto _ : state)
        benchmark::DoNotOptimize(host.callVars("Phonebook", "getContact", args, true));
}

// ---- The lookup by number, and its peers ------------------------------------

// A caller's number: the first number of the first, middle or last contact,
// or one that no contact holds, asked in the notation it is stored in
// (international) or in the other one (national, "0" for "+33").
struct NumberCase {
    enum Notation { Same, Mixed } notation;
    enum Place { First, Middle, Last, Miss } place;

    std::string name() const {
        static const char *const places[] = {"first", "middle", "last", "miss"};
        return std::string(notation == Same ? "same/" : "mixed/") + places[place];
    }

    // The contact found, -1 for none.
    int contact(int size) const {
        switch (place) {
        case First:
            return 0;
        case Middle:
            return size / 2;
        case Last:
            return size - 1;
        case Miss:
            break;
        }
        return -1;
    }

    std::string asked(int size) const {
        std::string international = numberOf(place == Miss ? 9999999 : contact(size));
        return notation == Same ? international : "0" + international.substr(3);
    }
};

const NumberCase kNumberCases[] = {
    {NumberCase::Same, NumberCase::First},  {NumberCase::Same, NumberCase::Middle},
    {NumberCase::Same, NumberCase::Last},   {NumberCase::Same, NumberCase::Miss},
    {NumberCase::Mixed, NumberCase::First}, {NumberCase::Mixed, NumberCase::Middle},
    {NumberCase::Mixed, NumberCase::Last},  {NumberCase::Mixed, NumberCase::Miss},
};

// A number as the plug-in keeps it: each "+" written "00".
std::string storedText(const std::string &number) {
    std::string stored;
    for (char c : number)
        stored += c == '+' ? std::string("00") : std::string(1, c);
    return stored;
}

// The numbers of a phonebook of `size` contacts, in the order they were added.
std::vector<peers::HeldNumber> heldNumbers(int size) {
    std::vector<peers::HeldNumber> numbers;
    for (int i = 0; i < size; ++i) {
        json held = contact(i);
        for (const json &number : held["telephoneNumbers"])
            numbers.push_back({i, storedText(number["name"].get<std::string>())});
    }
    return numbers;
}

// The contact of a getContactByNumber answer, -1 for none.
int answeredContact(const json &answer) {
    if (answer.is_null())
        return -1;
    std::string uniqueID = answer.value("uniqueID", std::string());
    if (uniqueID.rfind("id-", 0) != 0)
        fail("getContactByNumber answered a map without a known uniqueID: " + answer.dump());
    return std::atoi(uniqueID.c_str() + 3);
}

std::string contactText(int contact) {
    return contact < 0 ? "none" : "contact " + std::to_string(contact);
}

// The plug-in's index of numbers alone, without the contact map of the
// answer: the copy of its modules built in here, filed afresh from the
// phonebook that the test host serves (the host's plug-in keeps its own).
object_t *indexedPhonebook(zebtest::TestHost &host) {
    object_t *phonebook = datamodel_getObject(zeb_datamodel(host.context()), "Phonebook", 0);
    number_index_rebuild(phonebook);
    return phonebook;
}

int indexedContact(object_t *phonebook, const std::string &asked) {
    object_t *entry = number_index_findEntry(phonebook, asked.c_str());
    const char *uniqueID =
        entry != nullptr ? variant_da_char(object_parameterValue(entry, "UniqueID")) : nullptr;
    return uniqueID != nullptr && std::strncmp(uniqueID, "id-", 3) == 0 ? std::atoi(uniqueID + 3)
                                                                        : -1;
}

struct NumberPeers {
    explicit NumberPeers(int count)
        : size(count), numbers(heldNumbers(count)), floor(numbers), sqlite(numbers),
          libphonenumber(numbers) {}

    int size;
    std::vector<peers::HeldNumber> numbers;
    peers::Floor floor;
    peers::Sqlite sqlite;
    peers::Libphonenumber libphonenumber;
};

std::unique_ptr<NumberPeers> numberPeers;

// The peers of the phonebook of `size` contacts, checked on every case against
// the in-process plug-in before the first of them is timed.
NumberPeers &checkedPeers(int size) {
    if (numberPeers != nullptr && numberPeers->size == size)
        return *numberPeers;
    numberPeers.reset();
    peers::loadCallingCodes(PHONEBOOK_CCC);
    auto checked = std::make_unique<NumberPeers>(size);
    zebtest::TestHost &host = phonebook(size);
    for (const NumberCase &lookup : kNumberCases) {
        std::string asked = lookup.asked(size);
        zebtest::CallResult call =
            host.call("Phonebook", "getContactByNumber", {{"number", asked}});
        int expected = lookup.contact(size);
        int plugin = call.ok ? answeredContact(call.value()) : -2;
        int floor = checked->floor.find(asked.c_str());
        int sqlite = checked->sqlite.find(asked.c_str());
        int indexed = indexedContact(indexedPhonebook(host), asked);
        if (plugin != expected || floor != expected || sqlite != expected || indexed != expected)
            fail("lookup by number, N = " + std::to_string(size) + ", " + lookup.name() + " (" +
                 asked + "): expected " + contactText(expected) + "; the plug-in answers " +
                 (call.ok ? contactText(plugin) : "an error") + ", its index alone " +
                 contactText(indexed) + ", the floor " + contactText(floor) + ", SQLite " +
                 contactText(sqlite));
        // The peers hold the numbers as the plug-in does.
        if (expected >= 0 &&
            call.value()["telephoneNumbers"][0]["name"] != storedText(numberOf(expected)))
            fail("the plug-in keeps " + call.value()["telephoneNumbers"][0].dump() +
                 ", the peers " + storedText(numberOf(expected)));
    }
    numberPeers = std::move(checked);
    return *numberPeers;
}

// getContactByNumber through the test host, as a bus client calls it.
void BM_GetContactByNumber(benchmark::State &state, NumberCase lookup) {
    int size = sizeOf(state);
    checkedPeers(size);
    zebtest::TestHost &host = phonebook(size);
    Arguments args = argumentsOf({{"number", lookup.asked(size)}});
    for (auto _ : state)
        benchmark::DoNotOptimize(host.callVars("Phonebook", "getContactByNumber", args, true));
}

void BM_NumberIndex(benchmark::State &state, NumberCase lookup) {
    int size = sizeOf(state);
    checkedPeers(size);
    object_t *served = indexedPhonebook(phonebook(size));
    std::string asked = lookup.asked(size);
    for (auto _ : state)
        benchmark::DoNotOptimize(number_index_findEntry(served, asked.c_str()));
}

void BM_NumberFloor(benchmark::State &state, NumberCase lookup) {
    NumberPeers &checked = checkedPeers(sizeOf(state));
    std::string asked = lookup.asked(sizeOf(state));
    for (auto _ : state)
        benchmark::DoNotOptimize(checked.floor.find(asked.c_str()));
}

// `notations`: the queries of a lookup, one per notation of the asked number.
void BM_NumberSQLite(benchmark::State &state, NumberCase lookup) {
    NumberPeers &checked = checkedPeers(sizeOf(state));
    std::string asked = lookup.asked(sizeOf(state));
    for (auto _ : state)
        benchmark::DoNotOptimize(checked.sqlite.find(asked.c_str()));
    state.counters["notations"] = peers::Sqlite::notationsOf(asked.c_str());
}

// Its answers are not checked but counted: `answer` is the contact found (-1
// for none) where the plug-in finds `expected`, `judged_otherwise` the numbers
// of the phonebook on which libphonenumber and compare_numbers disagree.
void BM_NumberLibphonenumber(benchmark::State &state, NumberCase lookup) {
    int size = sizeOf(state);
    NumberPeers &checked = checkedPeers(size);
    std::string asked = lookup.asked(size);
    peers::Libphonenumber::Verdicts verdicts = checked.libphonenumber.verdicts(asked);
    for (auto _ : state)
        benchmark::DoNotOptimize(checked.libphonenumber.find(asked));
    state.counters["answer"] = verdicts.first;
    state.counters["expected"] = lookup.contact(size);
    state.counters["judged_otherwise"] = static_cast<double>(verdicts.judgedOtherwise);
}

void BM_GetAllContacts(benchmark::State &state) {
    int size = sizeOf(state);
    zebtest::TestHost &host = phonebook(size);
    for (auto _ : state)
        benchmark::DoNotOptimize(host.callVars("Phonebook", "getAllContacts", {}, true));
    state.SetItemsProcessed(state.iterations() * size);
    state.counters["per_contact"] = benchmark::Counter(
        size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One contact more, then removed again so that the size stays; only the add
// or only the removal is timed.
void addThenRemove(benchmark::State &state, bool timeAdd) {
    zebtest::TestHost &host = phonebook(sizeOf(state));
    Arguments added = argumentsOf({{"contact", contact(1000000)}});
    Arguments removed = argumentsOf({{"uniqueID", "id-1000000"}});
    for (auto _ : state) {
        if (!timeAdd)
            state.PauseTiming();
        zebtest::CallResult add = host.callVars("Phonebook", "addContact", added, true);
        if (timeAdd)
            state.PauseTiming();
        else
            state.ResumeTiming();
        zebtest::CallResult remove =
            host.callVars("Phonebook", "removeContactByUniqueID", removed, true);
        if (timeAdd)
            state.ResumeTiming();
        if (!returnedTrue(add) || !returnedTrue(remove))
            fail("cannot add and remove a contact");
    }
}

void BM_AddContact(benchmark::State &state) {
    addThenRemove(state, true);
}

void BM_RemoveContact(benchmark::State &state) {
    addThenRemove(state, false);
}

void BM_SaveDataModel(benchmark::State &state) {
    zebtest::TestHost &host = phonebook(sizeOf(state));
    for (auto _ : state)
        save(host);
    state.counters["bytes"] = static_cast<double>(host.readFile(kSavedFile).size());
}

// The lower bound of a load: the JSON library parsing the saved file alone.
void BM_ParseSavedFile(benchmark::State &state) {
    const std::string &file = savedFile(sizeOf(state));
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(file));
    state.counters["bytes"] = static_cast<double>(file.size());
}

// A start of the phonebook with the saved file in place, until it answers a
// call. Its stop, which frees the entries, is not timed.
void BM_LoadSavedFile(benchmark::State &state) {
    int size = sizeOf(state);
    const std::string &file = savedFile(size);
    zebtest::TestHost &host = newHost();
    for (auto _ : state) {
        state.PauseTiming();
        host.stop();
        host.writeFile(kSavedFile, file); // as saved, whatever the last stop wrote
        state.ResumeTiming();
        if (!host.start(PHONEBOOK_DEFINITION))
            fail("cannot start the phonebook: " + host.lastError());
        zebtest::CallResult count = host.call("Phonebook", "getNumberOfContacts");
        state.PauseTiming();
        if (!count.ok || count.value() != size)
            fail("the saved file was not loaded in full");
        state.ResumeTiming();
    }
    host.stop();
    state.counters["bytes"] = static_cast<double>(file.size());
}

// The CPU time this process has used, in ms.
double cpuMilliseconds() {
    timespec used;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) * 1e-6;
}

// The first page and the first search after a filling: the indexes catching
// up with every contact added, which the additions only marked. Their CPU
// time in ms, and the heap bytes per contact that the indexes took.
std::pair<double, double> indexesCatchingUp(zebtest::TestHost &filled, int size) {
    double before = static_cast<double>(heapInUse());
    double start = cpuMilliseconds();
    for (const auto &[function, named] :
         {std::make_pair("getContactsRange", json{{"count", 1}}),
          std::make_pair("searchContacts", json{{"text", "c"}, {"count", 1}})}) {
        if (!filled.call("Phonebook", function, named).value().contains("total"))
            fail(std::string(function) + " failed after the filling");
    }
    return {cpuMilliseconds() - start, (static_cast<double>(heapInUse()) - before) / size};
}

// Every contact into an empty phonebook, in calls of kBatch contacts. The
// phonebook filled last is the one the benchmarks of the same size use next.
// `indexes_ms`, `indexes_B_per_contact`: indexesCatchingUp() after the last
// filling.
void BM_AddContacts(benchmark::State &state) {
    int size = sizeOf(state);
    std::vector<Arguments> calls = fillingArguments(size);
    for (auto _ : state) {
        state.PauseTiming();
        zebtest::TestHost &empty = newHost(); // the previous one's stop is not timed
        startPhonebook(empty, size + 10);
        state.ResumeTiming();
        addAll(empty, calls);
    }
    currentSize = size;
    auto [ms, bytes] = indexesCatchingUp(*current, size);
    state.counters["indexes_ms"] = ms;
    state.counters["indexes_B_per_contact"] = bytes;
    state.SetItemsProcessed(state.iterations() * size);
    state.counters["per_contact"] = benchmark::Counter(
        size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// ---- The phonebook served by zebd ----------------------------------------

// zebd serving the phonebook in a temporary system root, and a client
// connected to it.
struct Served {
    explicit Served(std::vector<std::string> options = {}) {
        // Errors only: nobody reads zebd's standard error while it runs.
        options.insert(options.begin(), {"-v", "100"});
        if (!daemon.start(options))
            fail("cannot start zebd: " + daemon.log());
        // The calls that fill a large phonebook take long.
        client = std::make_unique<bustest::Client>(daemon.socket, 600000);
        if (!client->connected())
            fail("cannot connect to zebd: " + client->message());
    }

    void fill(int count) {
        bustest::Var limit(json{{"MaxNumberOfEntries", count + 10}});
        if (!zeb_bus_set(client->get(), "Phonebook", limit.map()))
            fail("cannot set MaxNumberOfEntries: " + client->message());
        for (const json &named : fillingCalls(count)) {
            bustest::Var args(named), added;
            if (!zeb_bus_call(client->get(), "Phonebook", "addContacts", args.get(), added.get(),
                              nullptr) ||
                added.toJson() != true)
                fail("cannot fill the phonebook over the bus: " + client->message());
        }
        size = count;
        settled = false;
    }

    // Waits, once after the filling, until the daemon is idle again: after a
    // change come the announcements, then the save, 5 s later. A save that
    // fails (a phonebook whose file would pass the data model's size limit)
    // writes nothing: then idle is the daemon's CPU time standing still
    // once the save was due.
    void settle() {
        if (settled)
            return;
        bustest::Deadline deadline(60000);
        bustest::Deadline saveDue(static_cast<int>(PHONEBOOK_SAVE_DELAY_MS) + 1000);
        for (double used = cpuSeconds();
             !std::filesystem::exists(daemon.sysroot + kSavedFile) && deadline.remaining() > 0;) {
            usleep(100000);
            double now = cpuSeconds();
            if (saveDue.remaining() == 0 && now == used)
                break;
            used = now;
        }
        // Answered once the save is over.
        if (!zeb_bus_call(client->get(), "Phonebook", "getNumberOfContacts", nullptr, nullptr,
                          nullptr))
            fail("zebd does not answer: " + client->message());
        settled = true;
    }

    // The CPU time the daemon has used so far, in seconds: on a shared
    // machine the wall time of a call also counts the time others ran.
    double cpuSeconds() const {
        clockid_t clock;
        timespec used;
        if (clock_getcpuclockid(daemon.process->pid, &clock) != 0 ||
            clock_gettime(clock, &used) != 0)
            fail("cannot read the CPU time of zebd");
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
    }

    // The daemon's resident memory, from /proc.
    long residentKiB() const {
        std::ifstream status("/proc/" + std::to_string(daemon.process->pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        }
        fail("no VmRSS in the status of zebd");
    }

    bustest::PhonebookDaemon daemon;
    std::unique_ptr<bustest::Client> client;
    int size = 0;        /* contacts added */
    bool settled = true; /* nothing changed since settle() */
};

std::unique_ptr<Served> served;

Served &newServed() {
    served.reset();
    served = std::make_unique<Served>();
    return *served;
}

Served &servedPhonebook(int size) {
    if (served != nullptr && served->size == size)
        return *served;
    Served &filled = newServed();
    filled.fill(size);
    return filled;
}

// zebd's resident memory per contact: started empty, then filled over the
// bus. The time is that of the filling.
void BM_ResidentMemory(benchmark::State &state) {
    int size = sizeOf(state);
    double perContact = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Served &daemon = newServed();
        long before = daemon.residentKiB();
        state.ResumeTiming();
        daemon.fill(size);
        state.PauseTiming();
        long after = daemon.residentKiB();
        perContact += static_cast<double>(after - before) / size;
        state.counters["rss_empty_KiB"] = static_cast<double>(before);
        state.counters["rss_full_KiB"] = static_cast<double>(after);
        state.ResumeTiming();
    }
    state.counters["KiB_per_contact"] = perContact / static_cast<double>(state.iterations());
}

// The phonebook read to its end through getChangesSince: the token of a
// client that is up to date.
std::string upToDateToken(zebtest::TestHost &host) {
    json answer = json{{"token", ""}, {"more", true}};
    while (answer["more"] == true) {
        answer =
            host.call("Phonebook", "getChangesSince", {{"token", answer["token"]}, {"count", 500}})
                .value();
        if (!answer.contains("token"))
            fail("getChangesSince answered " + answer.dump());
    }
    return answer["token"];
}

// One contact changes (untimed), then a client up to date asks what changed.
// The log's own memory, full (10 000 changes of entries), is reported beside.
void BM_GetChangesSince(benchmark::State &state) {
    int size = sizeOf(state);
    zebtest::TestHost &host = phonebook(size);
    object_t *entries = zeb_getObject(host.context(), "Phonebook.Entry", 0);
    // The last two entries, found by index as any other would be.
    object_t *changing[2] = {nullptr, nullptr};
    for (object_t *e = object_firstInstance(entries); e != nullptr; e = object_nextInstance(e)) {
        changing[0] = changing[1];
        changing[1] = e;
    }
    // Measured once per phonebook: the runs after the first find the log full.
    static std::map<int, double> logKiB;
    if (!logKiB.count(size)) {
        double before = static_cast<double>(heapInUse());
        for (int i = 0; i < 10000; ++i) {
            object_parameterSetCharValue(changing[i % 2], "Title", std::to_string(i).c_str());
            object_commit(changing[i % 2]);
        }
        logKiB[size] = (static_cast<double>(heapInUse()) - before) / 1024;
    }
    state.counters["log_KiB"] = logKiB[size];
    std::string token = upToDateToken(host);
    static int change = 0; // never the value the title holds already
    for (auto _ : state) {
        state.PauseTiming();
        object_parameterSetCharValue(changing[0], "Title", std::to_string(++change).c_str());
        object_commit(changing[0]);
        Arguments since = argumentsOf({{"token", token}, {"count", 100}});
        state.ResumeTiming();
        zebtest::CallResult answer = host.callVars("Phonebook", "getChangesSince", since, true);
        state.PauseTiming();
        json value = answer.value();
        if (value["changed"].size() != 1 || value["more"] != false)
            fail("getChangesSince after one change answered " + value.dump().substr(0, 200));
        token = value["token"];
        state.ResumeTiming();
    }
}

// ---- Sorted pages and search ---------------------------------------------

// Heap bytes per contact that a call takes and keeps: the index it builds
// on first use. Measured once per phonebook and call.
double keptBytesPerContact(zebtest::TestHost &host, int size, const char *function,
                           const json &named) {
    static std::map<std::pair<int, std::string>, double> kept;
    auto key = std::make_pair(size, std::string(function) + named.dump());
    if (!kept.count(key)) {
        double before = static_cast<double>(heapInUse());
        json answer = host.call("Phonebook", function, named).value();
        if (!answer.contains("total"))
            fail(std::string(function) + " answered " + answer.dump().substr(0, 200));
        answer = json();
        kept[key] = (static_cast<double>(heapInUse()) - before) / size;
    }
    return kept[key];
}

// Calls of `function` cycling through `variants` of the arguments, each
// answer a page of `total` contacts. (What the first call after a filling
// costs, the indexes catching up, is BM_AddContacts' `indexes_ms`.)
void pages(benchmark::State &state, const char *function, const std::vector<json> &variants,
           int total) {
    zebtest::TestHost &host = phonebook(sizeOf(state));
    std::vector<Arguments> calls;
    for (const json &named : variants) {
        json answer = host.call("Phonebook", function, named).value();
        if (answer.value("total", -1) != total || answer["contacts"].empty())
            fail(std::string(function) + " answered " + answer.dump().substr(0, 200));
        calls.push_back(argumentsOf(named));
    }
    size_t next = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            host.callVars("Phonebook", function, calls[next++ % calls.size()], true));
}

// The pages of the paging benchmarks and their peers: 64 random offsets,
// and as many texts to jump to.
std::vector<size_t> randomOffsets(int size) {
    std::mt19937 random(7);
    std::vector<size_t> offsets;
    for (int i = 0; i < 64; ++i)
        offsets.push_back(random() % static_cast<unsigned>(size));
    return offsets;
}

std::vector<std::string> fromTexts(int size) {
    std::vector<std::string> texts;
    for (size_t offset : randomOffsets(size))
        texts.push_back("contact " + std::to_string(offset));
    return texts;
}

constexpr size_t kPage = 50;

// A page of 50 from a random offset, by formatted name in the root order.
// The order index of another collation, built for the count, is what each
// collation in use costs.
void BM_ContactsRange(benchmark::State &state) {
    int size = sizeOf(state);
    std::vector<json> variants;
    for (size_t offset : randomOffsets(size))
        variants.push_back({{"offset", offset}, {"count", kPage}});
    pages(state, "getContactsRange", variants, size);
    state.counters["order_index_B_per_contact"] = keptBytesPerContact(
        phonebook(size), size, "getContactsRange", {{"locale", "de"}, {"count", 1}});
}

// A jump to the first contact at or after a text, and the page of 50 there.
void BM_ContactsFrom(benchmark::State &state) {
    int size = sizeOf(state);
    std::vector<json> variants;
    for (const std::string &from : fromTexts(size))
        variants.push_back({{"from", from}, {"count", kPage}});
    pages(state, "getContactsRange", variants, size);
}

// The searches: "c" and "co" begin a word of every contact ("Contact",
// "c12@example.com"); "1" and "12" begin the number in the name of a ninth
// and of a ninetieth of them; "14009", five digits, is also looked for in
// the telephone numbers, where "+331400<n>" holds it for every n beginning
// with 9 (and n = 14009).
const char *const kSearches[] = {"c", "co", "1", "12", "14009"};

bool foundBy(const std::string &text, int i) {
    if (text[0] == 'c' || std::to_string(i).compare(0, text.size(), text) == 0)
        return true;
    if (text.size() < 3)
        return false;
    json held = contact(i);
    return std::any_of(
        held["telephoneNumbers"].begin(), held["telephoneNumbers"].end(), [&](const json &number) {
            return peers::digitsOf(storedText(number["name"])).find(text) != std::string::npos;
        });
}

// A search of two words, as a person types "Contact 12": "co" begins a word
// of every contact, "12" the number in the name of a ninetieth of them; the
// contacts of the rarer are checked for the other. The peers search one
// word: this one is the plug-in's alone.
const char *const kWordsSearch = "co 12";

// Contact i is found when each blank-separated word of `text` finds it.
bool foundByEach(const std::string &text, int i) {
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find(' ', start), text.size());
        if (end > start && !foundBy(text.substr(start, end - start), i))
            return false;
        start = end + 1;
    }
    return true;
}

int foundCount(const std::string &text, int size) {
    int found = 0;
    for (int i = 0; i < size; ++i)
        found += foundByEach(text, i);
    return found;
}

// The first page of 50 of a search.
void BM_SearchContacts(benchmark::State &state, const std::string &text) {
    int size = sizeOf(state);
    int found = foundCount(text, size);
    pages(state, "searchContacts", {{{"text", text}}}, found);
    state.counters["found"] = found;
}

// ---- Their peers ----------------------------------------------------------

const collation_t *rootCollation() {
    return collation_forLocale("root");
}

// The peers of the phonebook of one size, in the root collation.
struct PagePeers {
    explicit PagePeers(int count, const std::vector<peers::PagedContact> &contacts)
        : size(count), floor(rootCollation(), contacts), sqlite(rootCollation(), contacts) {}
    int size;
    peers::SortFloor floor;
    peers::SqlitePages sqlite;
};

std::unique_ptr<PagePeers> pagePeers;

std::vector<peers::PagedContact> pagedContacts(int size) {
    std::vector<peers::PagedContact> paged;
    for (int i = 0; i < size; ++i) {
        json held = contact(i);
        std::vector<std::string> texts = {held["formattedName"], held.value("name", ""),
                                          held["organisation"]};
        std::vector<std::string> numbers;
        for (const json &email : held["emails"])
            texts.push_back(email["name"]);
        for (const json &number : held["telephoneNumbers"])
            numbers.push_back(storedText(number["name"]));
        paged.push_back(peers::pagedContact(rootCollation(), held["uniqueID"],
                                            held["formattedName"], texts, numbers, held.dump()));
    }
    return paged;
}

// The UniqueIDs of a page, from the plug-in's answer or from the peers' texts.
std::vector<std::string> uniqueIDsOf(const json &answer) {
    std::vector<std::string> ids;
    for (const json &held : answer.value("contacts", json::array()))
        ids.push_back(held["uniqueID"]);
    return ids;
}

std::vector<std::string> uniqueIDsOf(const peers::Page &page) {
    std::vector<std::string> ids;
    for (const std::string &text : page)
        ids.push_back(json::parse(text)["uniqueID"]);
    return ids;
}

// One query of the paging benchmarks, as the plug-in is asked it and as each
// peer answers it.
struct PageQuery {
    json named;
    const char *function;
    std::function<peers::Page(const peers::SortFloor &)> floor;
    std::function<peers::Page(const peers::SqlitePages &)> sqlite;
};

std::vector<PageQuery> rangeQueries(int size) {
    std::vector<PageQuery> queries;
    for (size_t offset : randomOffsets(size))
        queries.push_back({{{"offset", offset}, {"count", kPage}},
                           "getContactsRange",
                           [=](const peers::SortFloor &p) { return p.range(offset, kPage); },
                           [=](const peers::SqlitePages &p) { return p.range(offset, kPage); }});
    return queries;
}

std::vector<PageQuery> fromQueries(int size) {
    std::vector<PageQuery> queries;
    for (const std::string &from : fromTexts(size))
        queries.push_back({{{"from", from}, {"count", kPage}},
                           "getContactsRange",
                           [=](const peers::SortFloor &p) { return p.from(from, kPage); },
                           [=](const peers::SqlitePages &p) { return p.from(from, kPage); }});
    return queries;
}

std::vector<PageQuery> searchQueries(const std::string &text) {
    return {{{{"text", text}},
             "searchContacts",
             [=](const peers::SortFloor &p) { return p.search(text, 0, kPage); },
             [=](const peers::SqlitePages &p) { return p.search(text, 0, kPage); }}};
}

// The peers of the phonebook of `size` contacts, built once. Before a peer
// of a query is timed, both answer its first cases as the plug-in does.
PagePeers &checkedPagePeers(int size, const std::vector<PageQuery> &queries) {
    if (pagePeers == nullptr || pagePeers->size != size) {
        pagePeers.reset();
        pagePeers = std::make_unique<PagePeers>(size, pagedContacts(size));
    }
    zebtest::TestHost &host = phonebook(size);
    for (size_t i = 0; i < std::min<size_t>(queries.size(), 4); ++i) {
        const PageQuery &query = queries[i];
        std::vector<std::string> plugin =
            uniqueIDsOf(host.call("Phonebook", query.function, query.named).value());
        if (plugin.empty() || uniqueIDsOf(query.floor(pagePeers->floor)) != plugin ||
            uniqueIDsOf(query.sqlite(pagePeers->sqlite)) != plugin)
            fail(std::string("the page peers answer otherwise than ") + query.function + " " +
                 query.named.dump() + ", N = " + std::to_string(size));
    }
    return *pagePeers;
}

enum class Peer { Floor, Sqlite };
// Each peer's benchmarks are those of the plug-in with this after the name.
const std::pair<Peer, const char *> kPagePeers[] = {{Peer::Floor, "Floor"},
                                                    {Peer::Sqlite, "SQLite"}};

void pagesOfPeer(benchmark::State &state, Peer peer, const std::vector<PageQuery> &queries) {
    PagePeers &checked = checkedPagePeers(sizeOf(state), queries);
    size_t next = 0;
    for (auto _ : state) {
        const PageQuery &query = queries[next++ % queries.size()];
        benchmark::DoNotOptimize(peer == Peer::Floor ? query.floor(checked.floor)
                                                     : query.sqlite(checked.sqlite));
    }
}

void BM_ContactsRangePeer(benchmark::State &state, Peer peer) {
    pagesOfPeer(state, peer, rangeQueries(sizeOf(state)));
}

void BM_ContactsFromPeer(benchmark::State &state, Peer peer) {
    pagesOfPeer(state, peer, fromQueries(sizeOf(state)));
}

void BM_SearchContactsPeer(benchmark::State &state, Peer peer, const std::string &text) {
    pagesOfPeer(state, peer, searchQueries(text));
}

// ---- Through zebd ---------------------------------------------------------

// Calls of `function` through the client library, the socket and the daemon,
// cycling through `variants` of the named arguments, each answer checked
// once before timing; `zebd_cpu_us` is the daemon's CPU time per call.
void busCalls(benchmark::State &state, const char *function, const std::vector<json> &variants,
              const std::function<bool(const json &)> &expected) {
    Served &daemon = servedPhonebook(sizeOf(state));
    daemon.settle();
    std::vector<bustest::Var> calls;
    calls.reserve(variants.size());
    bustest::Var answer;
    auto call = [&](bustest::Var &args) {
        if (!zeb_bus_call(daemon.client->get(), "Phonebook", function, args.get(), answer.get(),
                          nullptr))
            fail(std::string(function) + " failed: " + daemon.client->message());
    };
    for (const json &named : variants) {
        calls.emplace_back(named);
        call(calls.back());
        if (!expected(answer.toJson()))
            fail(std::string("zebd answers ") + function + " " + named.dump() + " with " +
                 answer.toJson().dump().substr(0, 200));
    }
    double before = daemon.cpuSeconds();
    size_t next = 0;
    for (auto _ : state)
        call(calls[next++ % calls.size()]);
    state.counters["zebd_cpu_us"] =
        (daemon.cpuSeconds() - before) * 1e6 / static_cast<double>(state.iterations());
}

// The daemon's resident memory per contact, in bytes, that the first page
// and the first search after the filling add: its indexes catching up,
// measured as BM_ResidentMemory measures the phonebook's. Once per daemon.
double indexesResidentBytes(int size) {
    static std::map<int, double> perContact;
    if (!perContact.count(size)) {
        Served &daemon = servedPhonebook(size);
        daemon.settle();
        long before = daemon.residentKiB();
        for (const auto &[function, named] :
             {std::make_pair("getContactsRange", json{{"count", 1}}),
              std::make_pair("searchContacts", json{{"text", "c"}, {"count", 1}})}) {
            bustest::Var args(named), answer;
            if (!zeb_bus_call(daemon.client->get(), "Phonebook", function, args.get(), answer.get(),
                              nullptr))
                fail(std::string(function) + " failed: " + daemon.client->message());
        }
        perContact[size] = static_cast<double>(daemon.residentKiB() - before) * 1024 / size;
    }
    return perContact[size];
}

// The pages of BM_ContactsRange. `indexes_rss_B_per_contact`:
// indexesResidentBytes().
void BM_BusContactsRange(benchmark::State &state) {
    int size = sizeOf(state);
    state.counters["indexes_rss_B_per_contact"] = indexesResidentBytes(size);
    std::vector<json> variants;
    for (size_t offset : randomOffsets(size))
        variants.push_back({{"offset", offset}, {"count", kPage}});
    busCalls(state, "getContactsRange", variants, [size](const json &answer) {
        return answer.value("total", -1) == size && !answer["contacts"].empty();
    });
}

void BM_BusGetContactByUniqueID(benchmark::State &state) {
    std::string last = "id-" + std::to_string(sizeOf(state) - 1);
    busCalls(state, "getContactByUniqueID", {{{"uniqueID", last}}},
             [&](const json &answer) { return answer.value("uniqueID", "") == last; });
}

// A call that does next to nothing in the phonebook, through the client
// library, the socket and the daemon, once the daemon is idle.
void BM_BusRoundTrip(benchmark::State &state) {
    Served &daemon = servedPhonebook(sizeOf(state));
    daemon.settle();
    bustest::Var count;
    for (auto _ : state) {
        if (!zeb_bus_call(daemon.client->get(), "Phonebook", "getNumberOfContacts", nullptr,
                          count.get(), nullptr))
            fail("getNumberOfContacts failed: " + daemon.client->message());
    }
    if (count.toJson() != sizeOf(state))
        fail("zebd counts the contacts wrong");
}

// getContactByNumber through the client library, the socket and the daemon,
// the answer checked once before timing; `zebd_cpu_us` is the daemon's CPU
// time per call.
void BM_BusGetContactByNumber(benchmark::State &state, NumberCase lookup) {
    int size = sizeOf(state);
    Served &daemon = servedPhonebook(size);
    daemon.settle();
    bustest::Var args(json{{"number", lookup.asked(size)}}), answer;
    auto call = [&] {
        if (!zeb_bus_call(daemon.client->get(), "Phonebook", "getContactByNumber", args.get(),
                          answer.get(), nullptr))
            fail("getContactByNumber failed: " + daemon.client->message());
    };
    call();
    int found = answeredContact(answer.toJson());
    if (found != lookup.contact(size))
        fail("zebd answers " + lookup.name() + " with " + contactText(found) + ", not " +
             contactText(lookup.contact(size)));
    double before = daemon.cpuSeconds();
    for (auto _ : state)
        call();
    state.counters["zebd_cpu_us"] =
        (daemon.cpuSeconds() - before) * 1e6 / static_cast<double>(state.iterations());
}

// BM_BusRoundTrip with the example access rules: each request's path is
// made canonical and checked (as root, whom every rule allows, the check
// itself is short).
void BM_BusRoundTripWithRules(benchmark::State &state) {
    served.reset();
    served = std::make_unique<Served>(std::vector<std::string>{"--acl", ACL_EXAMPLES});
    served->fill(sizeOf(state));
    BM_BusRoundTrip(state);
    served.reset();
}

// ---- The bare transport ---------------------------------------------------

bool sendAll(int fd, const std::string &bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads until `buffer` holds a whole frame; false when the peer is gone.
bool receiveFrame(int fd, std::string &buffer) {
    buffer.clear();
    char chunk[64 * 1024];
    while (buffer.size() < 4 || buffer.size() < 4 + zeb_bus_frameBodySize(buffer.data())) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

// A child process sending back each frame it receives, until the peer closes.
[[noreturn]] void echoFrames(int fd) {
    std::string frame;
    while (receiveFrame(fd, frame) && sendAll(fd, frame)) {
    }
    _exit(0);
}

// The transport alone: the request frame of BM_BusRoundTrip, sent back as it
// is by another process over a Unix socket.
void BM_FramedEcho(benchmark::State &state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        fail("socketpair failed");
    pid_t echo = fork();
    if (echo < 0)
        fail("fork failed");
    if (echo == 0) {
        close(fds[0]);
        echoFrames(fds[1]);
    }
    close(fds[1]);
    std::string request = bustest::frameOf(bustest::Var(json{
        {"id", 1}, {"op", "call"}, {"path", "Phonebook"}, {"function", "getNumberOfContacts"}}));
    std::string reply;
    for (auto _ : state) {
        if (!sendAll(fds[0], request) || !receiveFrame(fds[0], reply))
            fail("the echo failed");
    }
    close(fds[0]);
    waitpid(echo, nullptr, 0);
    if (reply != request)
        fail("the echo changed the frame");
}

// Sizes above this run the benchmarks whose every iteration fills a
// phonebook or loads one a fixed, small number of times.
constexpr int kLargeSize = 1000;

// libphonenumber's scan parses both texts at each comparison: at 50 000
// contacts a lookup would take about 2 s, and the count of its disagreements
// as long again for each case. Sizes up to this one show its linear growth.
constexpr int kLibphonenumberMaxSize = 10000;

// The lookups by number run a shorter while each: there are many of them,
// and at 10 000 contacts the walks take tens of milliseconds.
constexpr double kNumberMinTime = 0.2;

using NumberBenchmark = void (*)(benchmark::State &, NumberCase);

// Each of `runs` for each case, named "<run>/<case>/<size>".
std::vector<benchmark::internal::Benchmark *>
registerNumberBenchmarks(int size,
                         const std::vector<std::pair<const char *, NumberBenchmark>> &runs) {
    std::vector<benchmark::internal::Benchmark *> registered;
    for (const auto &[name, run] : runs) {
        for (const NumberCase &lookup : kNumberCases)
            registered.push_back(
                benchmark::RegisterBenchmark((name + ("/" + lookup.name())).c_str(), run, lookup)
                    ->Arg(size)
                    ->Unit(benchmark::kMicrosecond)
                    ->MinTime(kNumberMinTime));
    }
    return registered;
}

const std::pair<const char *, void (*)(benchmark::State &)> kBusPages[] = {
    {"BM_BusContactsRange", BM_BusContactsRange},
    {"BM_BusGetContactByUniqueID", BM_BusGetContactByUniqueID}};

benchmark::internal::Benchmark *sized(const char *name, void (*run)(benchmark::State &), int size) {
    return benchmark::RegisterBenchmark(name, run)->Arg(size);
}

// In process: the filling, then the benchmarks that use its phonebook.
void registerInProcess(int size) {
    using benchmark::kMicrosecond;
    using benchmark::kMillisecond;
    auto *add = sized("BM_AddContacts", BM_AddContacts, size)->Unit(kMillisecond);
    if (size > kLargeSize)
        add->Iterations(1);
    sized("BM_GetContactByUniqueID", BM_GetContactByUniqueID, size)->Unit(kMicrosecond);
    sized("BM_GetContactByFormattedName", BM_GetContactByFormattedName, size)->Unit(kMicrosecond);
    std::vector<std::pair<const char *, NumberBenchmark>> numbers = {
        {"BM_GetContactByNumber", BM_GetContactByNumber},
        {"BM_NumberIndex", BM_NumberIndex},
        {"BM_NumberFloor", BM_NumberFloor},
        {"BM_NumberSQLite", BM_NumberSQLite}};
    if (size <= kLibphonenumberMaxSize)
        numbers.emplace_back("BM_NumberLibphonenumber", BM_NumberLibphonenumber);
    registerNumberBenchmarks(size, numbers);
    sized("BM_GetAllContacts", BM_GetAllContacts, size)->Unit(kMillisecond);
    sized("BM_AddContact", BM_AddContact, size)->Unit(kMicrosecond);
    sized("BM_RemoveContact", BM_RemoveContact, size)->Unit(kMicrosecond);
    sized("BM_SaveDataModel", BM_SaveDataModel, size)->Unit(kMillisecond);
    sized("BM_ParseSavedFile", BM_ParseSavedFile, size)->Unit(kMillisecond);
}

// Sorted pages, search and changes in process, beside their peers.
void registerPages(int size) {
    using benchmark::kMicrosecond;
    sized("BM_GetChangesSince", BM_GetChangesSince, size)->Unit(kMicrosecond);
    sized("BM_ContactsRange", BM_ContactsRange, size)->Unit(kMicrosecond);
    sized("BM_ContactsFrom", BM_ContactsFrom, size)->Unit(kMicrosecond);
    for (const char *text : kSearches)
        benchmark::RegisterBenchmark((std::string("BM_SearchContacts/") + text).c_str(),
                                     BM_SearchContacts, std::string(text))
            ->Arg(size)
            ->Unit(kMicrosecond);
    benchmark::RegisterBenchmark((std::string("BM_SearchContacts/") + kWordsSearch).c_str(),
                                 BM_SearchContacts, std::string(kWordsSearch))
        ->Arg(size)
        ->Unit(kMicrosecond);
    for (const auto &[peer, name] : kPagePeers) {
        auto named = [name = name](const char *benchmark, const char *text = nullptr) {
            std::string full = std::string(benchmark) + name;
            return text == nullptr ? full : full + "/" + text;
        };
        benchmark::RegisterBenchmark(named("BM_ContactsRange").c_str(), BM_ContactsRangePeer, peer)
            ->Arg(size)
            ->Unit(kMicrosecond);
        benchmark::RegisterBenchmark(named("BM_ContactsFrom").c_str(), BM_ContactsFromPeer, peer)
            ->Arg(size)
            ->Unit(kMicrosecond);
        for (const char *text : kSearches)
            benchmark::RegisterBenchmark(named("BM_SearchContacts", text).c_str(),
                                         BM_SearchContactsPeer, peer, std::string(text))
                ->Arg(size)
                ->Unit(kMicrosecond);
    }
}

// The start with the saved file, after the benchmarks that use the filled
// phonebook: it leaves none in process.
void registerLoad(int size) {
    auto *load = sized("BM_LoadSavedFile", BM_LoadSavedFile, size)->Unit(benchmark::kMillisecond);
    if (size > kLargeSize)
        load->Iterations(1);
}

// Through zebd: BM_ResidentMemory fills the daemon that the others use, but
// for the one with access rules, last, which fills its own.
void registerThroughZebd(int size, bool pages) {
    using benchmark::kMicrosecond;
    sized("BM_ResidentMemory", BM_ResidentMemory, size)
        ->Iterations(size > kLargeSize ? 1 : 3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    sized("BM_BusRoundTrip", BM_BusRoundTrip, size)->UseRealTime()->Unit(kMicrosecond);
    for (benchmark::internal::Benchmark *bus :
         registerNumberBenchmarks(size, {{"BM_BusGetContactByNumber", BM_BusGetContactByNumber}}))
        bus->UseRealTime();
    if (pages) {
        for (const auto &[name, run] : kBusPages)
            sized(name, run, size)->UseRealTime()->Unit(kMicrosecond);
    }
    sized("BM_BusRoundTripWithRules", BM_BusRoundTripWithRules, size)
        ->UseRealTime()
        ->Unit(kMicrosecond);
}

// Grouped by size, each group filling its phonebooks once. 50 000 contacts
// are as many as MaxNumberOfEntries can be raised to in a gateway's memory.
void registerBenchmarks() {
    benchmark::RegisterBenchmark("BM_FramedEcho", BM_FramedEcho)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    for (int size : kSizes) {
        bool pages = std::find(kPageSizes.begin(), kPageSizes.end(), size) != kPageSizes.end();
        registerInProcess(size);
        if (pages)
            registerPages(size);
        registerLoad(size);
        registerThroughZebd(size, pages);
    }
}

// ---- The tables after the run ---------------------------------------------

// The lookup by number of the table of all benchmarks: the longest walk.
const char *const kNumberRow = "BM_GetContactByNumber/mixed/last";

// A figure of the run, absent when its benchmark did not run (filtered out,
// or failed).
using Figure = std::optional<double>;

const char *const kMissing = "–";

Figure ratio(Figure numerator, Figure denominator) {
    if (!numerator || !denominator || *denominator <= 0)
        return std::nullopt;
    return *numerator / *denominator;
}

// 1000 as "1 000".
std::string grouped(int number) {
    std::string digits = std::to_string(number);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), " ");
    return digits;
}

// Three significant digits, without an exponent: 0.665, 10.0, 271.
std::string significant(double value) {
    int decimals = 2;
    for (double bound = 9.995; value >= bound && decimals > 0; bound *= 10)
        --decimals;
    for (double bound = 0.9995; value > 0 && value < bound && decimals < 9; bound /= 10)
        ++decimals;
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// `amount` of units[unit], moved to the larger units (each 1 000 times the
// previous) while it reaches 1 000: 0.665 ms, 14.9 ms, 88.5 s; 72.7 kB.
std::string scaled(double amount, size_t unit, const char *const (&units)[4]) {
    for (; amount >= 999.5 && unit + 1 < std::size(units); ++unit)
        amount /= 1000;
    return significant(amount) + " " + units[unit];
}

// A time in `smallest`, the benchmark's own unit, or a larger one.
std::string duration(Figure seconds, benchmark::TimeUnit smallest) {
    static const char *const units[] = {"ns", "µs", "ms", "s"};
    if (!seconds)
        return kMissing;
    return scaled(*seconds * benchmark::GetTimeUnitMultiplier(smallest), smallest, units);
}

Figure microseconds(Figure count) {
    return count ? Figure(*count * 1e-6) : std::nullopt;
}

std::string fileSize(Figure bytes) {
    static const char *const units[] = {"bytes", "kB", "MB", "GB"};
    return bytes ? scaled(*bytes, 0, units) : kMissing;
}

// Two significant digits, at least the units: 0.0017, 1.3, 17, 128.
std::string ratioText(Figure value) {
    if (!value)
        return kMissing;
    char text[64];
    if (*value < 0.095)
        snprintf(text, sizeof text, "%.2g", *value); // 0.0017, not 0.0
    else
        snprintf(text, sizeof text, *value < 9.95 ? "%.1f" : "%.0f", *value);
    return text;
}

// Google Benchmark's usual display of the runs, then the tables of
// docs/performance.md. The display is the one the command line asks for
// (format, colours, tabular counters), wrapped rather than reimplemented so
// that its output stays as it is; the tables follow the console format only.
class TablesReporter : public benchmark::BenchmarkReporter {
  public:
    explicit TablesReporter(benchmark::BenchmarkReporter &display) : display_(display) {}

    bool ReportContext(const Context &context) override { return display_.ReportContext(context); }

    void ReportRuns(const std::vector<Run> &runs) override {
        display_.ReportRuns(runs);
        for (const Run &run : runs)
            record(run);
    }

    void Finalize() override {
        display_.Finalize();
        if (dynamic_cast<benchmark::ConsoleReporter *>(&display_) != nullptr)
            print(display_.GetOutputStream());
    }

  private:
    // What a benchmark measured at one size, per iteration: the median of
    // the repetitions when there are several.
    struct Measured {
        double cpuSeconds = 0;
        double wallSeconds = 0;
        benchmark::TimeUnit unit = benchmark::kMicrosecond; // the one it is reported in
        benchmark::UserCounters counters;
        bool median = false;
    };

    void record(const Run &run) {
        bool median = run.run_type == Run::RT_Aggregate;
        if (run.error_occurred || (median && run.aggregate_name != "median"))
            return;
        // No size (BM_FramedEcho) is size 0.
        Measured &measured =
            measured_[{run.run_name.function_name, std::atoi(run.run_name.args.c_str())}];
        if (measured.median && !median)
            return;
        double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
        measured = {run.GetAdjustedCPUTime() / perSecond, run.GetAdjustedRealTime() / perSecond,
                    run.time_unit, run.counters, median};
    }

    const Measured *find(const std::string &name, int size) const {
        auto found = measured_.find({name, size});
        return found == measured_.end() ? nullptr : &found->second;
    }

    Figure cpu(const std::string &name, int size) const {
        const Measured *measured = find(name, size);
        return measured ? Figure(measured->cpuSeconds) : std::nullopt;
    }

    Figure wall(const std::string &name, int size) const {
        const Measured *measured = find(name, size);
        return measured ? Figure(measured->wallSeconds) : std::nullopt;
    }

    Figure counter(const std::string &name, int size, const std::string &counter) const {
        const Measured *measured = find(name, size);
        if (measured == nullptr)
            return std::nullopt;
        auto found = measured->counters.find(counter);
        return found == measured->counters.end() ? std::nullopt : Figure(found->second.value);
    }

    std::string cpuTime(const std::string &name, int size) const {
        const Measured *measured = find(name, size);
        return measured ? duration(measured->cpuSeconds, measured->unit) : kMissing;
    }

    std::string wallTime(const std::string &name, int size) const {
        const Measured *measured = find(name, size);
        return measured ? duration(measured->wallSeconds, measured->unit) : kMissing;
    }

    // The size of the saved file, from whichever benchmark of it ran.
    Figure savedBytes(int size) const {
        for (const char *name : {"BM_ParseSavedFile", "BM_LoadSavedFile", "BM_SaveDataModel"}) {
            if (Figure bytes = counter(name, size, "bytes"))
                return bytes;
        }
        return std::nullopt;
    }

    std::string residentMiB(int size) const {
        Figure empty = counter("BM_ResidentMemory", size, "rss_empty_KiB");
        Figure full = counter("BM_ResidentMemory", size, "rss_full_KiB");
        if (!empty || !full)
            return kMissing;
        return significant(*empty / 1024) + " → " + significant(*full / 1024) + " MiB";
    }

    // Ends the header of a table: a column per size, "<label>N = 1 000", then
    // the alignment row, `alignedBefore` for the columns before those.
    static void endHeader(std::ostream &out, const char *label, const char *alignedBefore,
                          const char *sizeAlignment) {
        for (int size : kSizes)
            out << " " << label << "N = " << grouped(size) << " |";
        out << '\n' << alignedBefore;
        for (size_t column = 0; column < std::size(kSizes); ++column)
            out << sizeAlignment;
        out << '\n';
    }

    // The ratio at the largest size, then those at the smaller sizes that
    // ran: "128 (17 at 1 000, 10 at 100)".
    static std::string acrossSizes(const std::function<Figure(int)> &ratioAt) {
        std::string others;
        for (auto size = std::next(std::rbegin(kSizes)); size != std::rend(kSizes); ++size) {
            if (Figure value = ratioAt(*size))
                others += (others.empty() ? "" : ", ") + ratioText(value) + " at " + grouped(*size);
        }
        std::string text = ratioText(ratioAt(std::rbegin(kSizes)[0]));
        return others.empty() ? text : text + " (" + others + ")";
    }

    void print(std::ostream &out) const {
        using Cell = std::function<std::string(int)>;
        auto row = [&out](const std::string &label, const Cell &cell) {
            out << "| " << label << " |";
            for (int size : kSizes) {
                std::string text = cell(size);
                out << (text.empty() ? "" : " ") << text << " |";
            }
            out << '\n';
        };
        auto cpuOf = [this](const char *name) {
            return [this, name](int size) { return cpuTime(name, size); };
        };
        auto perContact = [this](const char *name) {
            return [this, name](int size) {
                return duration(counter(name, size, "per_contact"), benchmark::kMicrosecond);
            };
        };
        const int smallest = kSizes[0];
        const int largest = std::rbegin(kSizes)[0];

        out << "\nIn-process benchmarks: CPU time of the benchmark process. Benchmarks through "
               "`zebd`: wall time.\n\n| Benchmark |";
        endHeader(out, "", "|---|", "---:|");
        row("`BM_AddContacts` (all N)", cpuOf("BM_AddContacts"));
        row("” per contact", perContact("BM_AddContacts"));
        row("`BM_LoadSavedFile`", cpuOf("BM_LoadSavedFile"));
        row("`BM_ParseSavedFile`", cpuOf("BM_ParseSavedFile"));
        row("saved file size", [this](int size) { return fileSize(savedBytes(size)); });
        for (const char *name :
             {"BM_SaveDataModel", "BM_AddContact", "BM_RemoveContact", "BM_GetContactByUniqueID",
              "BM_GetContactByFormattedName", kNumberRow, "BM_GetAllContacts"})
            row(std::string("`") + name + "`", cpuOf(name));
        row("” per contact", perContact("BM_GetAllContacts"));
        row("`BM_ResidentMemory`: KiB per contact", [this](int size) {
            Figure perContactKiB = counter("BM_ResidentMemory", size, "KiB_per_contact");
            return perContactKiB ? significant(*perContactKiB) : kMissing;
        });
        row("” VmRSS empty → full", [this](int size) { return residentMiB(size); });
        row("” filling over the bus (wall)",
            [this](int size) { return wallTime("BM_ResidentMemory", size); });
        row("`BM_BusRoundTrip` (wall)",
            [this](int size) { return wallTime("BM_BusRoundTrip", size); });
        row("`BM_FramedEcho` (wall, independent of N)", [this, smallest](int size) {
            return size == smallest ? wallTime("BM_FramedEcho", 0) : "";
        });

        out << "\nRatios, from the same run:\n\n| Ratio | Value |\n|---|---:|\n";
        auto ratioRow = [&out](const std::string &label, const std::string &value) {
            out << "| " << label << " | " << value << " |\n";
        };
        std::string atLargest = ", N = " + grouped(largest);
        ratioRow("load / JSON parse of the same file" + atLargest, acrossSizes([this](int size) {
                     return ratio(cpu("BM_LoadSavedFile", size), cpu("BM_ParseSavedFile", size));
                 }));
        ratioRow("`addContacts` of all N / load" + atLargest, acrossSizes([this](int size) {
                     return ratio(cpu("BM_AddContacts", size), cpu("BM_LoadSavedFile", size));
                 }));
        const std::pair<const char *, const char *> growths[] = {
            {"`addContact`", "BM_AddContact"},
            {"`removeContactByUniqueID`", "BM_RemoveContact"},
            {"`getContactByUniqueID`", "BM_GetContactByUniqueID"},
            {"`getContact` (formatted name)", "BM_GetContactByFormattedName"},
            {"`getContactByNumber` (national, last entry)", kNumberRow}};
        for (const auto &[call, name] : growths)
            ratioRow(std::string(call) + " at " + grouped(largest) + " / at " + grouped(smallest),
                     ratioText(ratio(cpu(name, largest), cpu(name, smallest))));
        ratioRow("`getAllContacts` per contact" + atLargest,
                 perContact("BM_GetAllContacts")(largest));
        ratioRow("resident memory per contact" + atLargest, residentPerContact(largest));
        ratioRow("bus round trip / bare framed echo", acrossSizes([this](int size) {
                     return ratio(wall("BM_BusRoundTrip", size), wall("BM_FramedEcho", 0));
                 }));
        printNumberTables(out);
        printPageTable(out);
        out.flush();
    }

    // The lookups by number: per size, the plug-in beside its peers, then how
    // the plug-in grows and where libphonenumber answers otherwise.
    void printNumberTables(std::ostream &out) const {
        const char *const peerNames[] = {"BM_NumberFloor", "BM_NumberSQLite",
                                         "BM_NumberLibphonenumber"};
        auto of = [](const char *name, const NumberCase &lookup) {
            return std::string(name) + "/" + lookup.name();
        };
        auto ranAt = [&](int size) {
            for (const NumberCase &lookup : kNumberCases) {
                for (const char *name :
                     {"BM_GetContactByNumber", "BM_NumberIndex", "BM_NumberFloor",
                      "BM_NumberSQLite", "BM_NumberLibphonenumber", "BM_BusGetContactByNumber"}) {
                    if (find(of(name, lookup), size) != nullptr)
                        return true;
                }
            }
            return false;
        };
        if (std::none_of(std::begin(kSizes), std::end(kSizes), ranAt))
            return;
        for (int size : kSizes) {
            if (!ranAt(size))
                continue;
            out << "\nLookup by number, N = " << grouped(size)
                << ": CPU time in process; through `zebd`, wall time and the daemon's CPU time "
                   "per call.\n\n"
                   "| Case | plug-in | its index alone | floor | SQLite | libphonenumber | "
                   "plug-in / floor | plug-in / SQLite | plug-in / libphonenumber | "
                   "index alone / SQLite | through `zebd` | through `zebd` / round trip | "
                   "`zebd` CPU |\n"
                   "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
            for (const NumberCase &lookup : kNumberCases) {
                std::string plugin = of("BM_GetContactByNumber", lookup);
                std::string bus = of("BM_BusGetContactByNumber", lookup);
                std::string index = of("BM_NumberIndex", lookup);
                out << "| " << lookup.name() << " | " << cpuTime(plugin, size) << " | "
                    << cpuTime(index, size);
                for (const char *peer : peerNames)
                    out << " | " << cpuTime(of(peer, lookup), size);
                for (const char *peer : peerNames)
                    out << " | "
                        << ratioText(ratio(cpu(plugin, size), cpu(of(peer, lookup), size)));
                out << " | "
                    << ratioText(ratio(cpu(index, size), cpu(of("BM_NumberSQLite", lookup), size)));
                out << " | " << wallTime(bus, size) << " | "
                    << ratioText(ratio(wall(bus, size), wall("BM_BusRoundTrip", size))) << " | "
                    << duration(microseconds(counter(bus, size, "zebd_cpu_us")),
                                benchmark::kMicrosecond)
                    << " |\n";
            }
        }

        const int smallest = kSizes[0];
        const int largest = std::rbegin(kSizes)[0];
        out << "\nThe plug-in's growth, and libphonenumber's disagreements: the numbers of the "
               "phonebook that it and the plug-in judge otherwise, and its answer where it "
               "differs.\n\n| Case | plug-in at "
            << grouped(largest) << " / at " << grouped(smallest) << " |";
        endHeader(out, "libphonenumber, ", "|---|---:|", "---|");
        for (const NumberCase &lookup : kNumberCases) {
            std::string plugin = of("BM_GetContactByNumber", lookup);
            out << "| " << lookup.name() << " | "
                << ratioText(ratio(cpu(plugin, largest), cpu(plugin, smallest))) << " |";
            for (int size : kSizes)
                out << " " << disagreement(of("BM_NumberLibphonenumber", lookup), size) << " |";
            out << '\n';
        }
    }

    // Sorted pages, search and changes: per size, the plug-in beside its
    // peers, how it grows, and the target of each row.
    void printPageTable(std::ostream &out) const {
        const int smallest = kPageSizes[0];
        const int largest = std::rbegin(kPageSizes)[0];
        auto ranAt = [this](int size) {
            for (const char *name : {"BM_ContactsRange", "BM_ContactsFrom", "BM_GetChangesSince",
                                     "BM_BusContactsRange", "BM_SearchContacts/c"}) {
                if (find(name, size) != nullptr)
                    return true;
            }
            return false;
        };
        if (std::none_of(std::begin(kPageSizes), std::end(kPageSizes), ranAt))
            return;
        using Cell = std::function<std::string(int)>;
        auto row = [&out](const std::string &label, const Cell &cell, const std::string &growth,
                          const std::string &target) {
            out << "| " << label << " |";
            for (int size : kPageSizes)
                out << " " << cell(size) << " |";
            out << " " << growth << " | " << target << " |\n";
        };
        auto growthOf = [&](const std::function<Figure(int)> &figure) {
            Figure growth = ratio(figure(largest), figure(smallest));
            return growth ? ratioText(growth) + " ×" : kMissing;
        };
        auto timed = [&](const std::string &label, const std::string &name,
                         const std::string &target) {
            row(
                label, [&](int size) { return cpuTime(name, size); },
                growthOf([&](int size) { return cpu(name, size); }), target);
        };
        auto ratioRow = [&](const std::string &label, const std::function<Figure(int)> &value,
                            const std::string &target) {
            row(
                label, [&](int size) { return ratioText(value(size)); }, "", target);
        };
        // The plug-in's benchmark, its peers' and the ratios.
        auto withPeers = [&](const std::string &label, const std::string &name,
                             const std::string &suffix, const std::string &target,
                             const std::string &sqliteTarget) {
            timed(label, name + suffix, target);
            for (const auto &[peer, peerName] : kPagePeers)
                timed(std::string("” ") + (peer == Peer::Sqlite ? "SQLite" : "floor"),
                      name + peerName + suffix, "");
            for (const auto &[peer, peerName] : kPagePeers) {
                std::string other = name + peerName + suffix;
                ratioRow(
                    std::string("” ours ÷ ") + (peer == Peer::Sqlite ? "SQLite" : "floor"),
                    [&](int size) { return ratio(cpu(name + suffix, size), cpu(other, size)); },
                    peer == Peer::Sqlite ? sqliteTarget : "");
            }
        };

        out << "\nSorted pages, search and changes: CPU time in process, wall time through "
               "`zebd`.\n\n| Measure |";
        for (int size : kPageSizes)
            out << " N = " << grouped(size) << " |";
        out << " N = " << grouped(largest) << " ÷ N = " << grouped(smallest)
            << " | Target |\n|---|";
        for (size_t column = 0; column < std::size(kPageSizes); ++column)
            out << "---:|";
        out << "---:|---|\n";

        const std::string pageTarget =
            "≤ 200 µs at " + grouped(largest) + ", ≤ 1.5 × N = " + grouped(smallest);
        withPeers("page of 50 at a random offset", "BM_ContactsRange", "", pageTarget, "< 1");
        withPeers("jump by `from`, page of 50", "BM_ContactsFrom", "", pageTarget, "");
        for (const char *text : kSearches) {
            std::string searched = text;
            if (searched == "1" || searched == "12")
                continue; // letters and digits alike: "c" and "co" tell it
            bool digits = searched.size() >= 3;
            withPeers(std::string(digits ? "search digits \"" : "search \"") + text +
                          "\", first page",
                      "BM_SearchContacts", "/" + searched,
                      digits ? "" : "≤ 1 ms at " + grouped(largest), "");
        }
        timed(std::string("search \"") + kWordsSearch + "\", first page",
              std::string("BM_SearchContacts/") + kWordsSearch, "≤ 1 ms at " + grouped(largest));
        timed("`getChangesSince` after one change", "BM_GetChangesSince",
              "≤ 50 µs at " + grouped(largest));

        auto perContact = [this](const char *name) {
            return [this, name](int size) { return counter(name, size, "per_contact"); };
        };
        auto indexesPerContact = [this](int size) {
            Figure ms = counter("BM_AddContacts", size, "indexes_ms");
            return ms ? Figure(*ms * 1e-3 / size) : std::nullopt;
        };
        auto inMicroseconds = [](const std::function<Figure(int)> &figure) {
            return [figure](int size) { return duration(figure(size), benchmark::kMicrosecond); };
        };
        row("`addContacts` per contact", inMicroseconds(perContact("BM_AddContacts")),
            growthOf(perContact("BM_AddContacts")), "");
        row("” indexes catching up, per contact", inMicroseconds(indexesPerContact),
            growthOf(indexesPerContact), "");
        row(
            "” indexes ÷ `addContacts`",
            [&](int size) {
                Figure share = ratio(indexesPerContact(size), perContact("BM_AddContacts")(size));
                return share ? significant(*share * 100) + " %" : kMissing;
            },
            "", "≤ 10 %");
        auto bytesOf = [this](const char *name, const char *counterName) {
            return [this, name, counterName](int size) {
                Figure bytes = counter(name, size, counterName);
                return bytes ? significant(*bytes) : kMissing;
            };
        };
        row("index bytes per contact (heap): order and words",
            bytesOf("BM_AddContacts", "indexes_B_per_contact"), "", "≤ 100 bytes");
        row("” `zebd`'s VmRSS, as `BM_ResidentMemory`",
            bytesOf("BM_BusContactsRange", "indexes_rss_B_per_contact"), "", "≤ 100 bytes");
        row("” one more collation's order",
            bytesOf("BM_ContactsRange", "order_index_B_per_contact"), "", "");

        auto wallOf = [this](const char *name) {
            return [this, name](int size) { return wall(name, size); };
        };
        row("through `zebd`: page of 50", inMicroseconds(wallOf("BM_BusContactsRange")),
            growthOf(wallOf("BM_BusContactsRange")), "");
        row("” `getContactByUniqueID`", inMicroseconds(wallOf("BM_BusGetContactByUniqueID")),
            growthOf(wallOf("BM_BusGetContactByUniqueID")), "");
        ratioRow(
            "” page ÷ `getContactByUniqueID`",
            [&](int size) {
                return ratio(wall("BM_BusContactsRange", size),
                             wall("BM_BusGetContactByUniqueID", size));
            },
            "≤ 3");
        row(
            "” `zebd` CPU per call, page / `getContactByUniqueID`",
            [this](int size) {
                return duration(microseconds(counter("BM_BusContactsRange", size, "zebd_cpu_us")),
                                benchmark::kMicrosecond) +
                       " / " +
                       duration(
                           microseconds(counter("BM_BusGetContactByUniqueID", size, "zebd_cpu_us")),
                           benchmark::kMicrosecond);
            },
            "", "");
    }

    // "2 of 200 numbers, answers none".
    std::string disagreement(const std::string &name, int size) const {
        Figure judged = counter(name, size, "judged_otherwise");
        Figure answer = counter(name, size, "answer");
        Figure expected = counter(name, size, "expected");
        if (!judged || !answer || !expected)
            return kMissing;
        std::string text = grouped(static_cast<int>(*judged)) + " of " + grouped(2 * size);
        if (*answer != *expected)
            text += ", answers " + contactText(static_cast<int>(*answer));
        return text;
    }

    // "13.6 KiB (19 × the 737 bytes it takes in the saved file)".
    std::string residentPerContact(int size) const {
        Figure perContactKiB = counter("BM_ResidentMemory", size, "KiB_per_contact");
        if (!perContactKiB)
            return kMissing;
        std::string text = significant(*perContactKiB) + " KiB";
        if (Figure bytes = savedBytes(size)) {
            double inFile = *bytes / size;
            char bytesText[64];
            snprintf(bytesText, sizeof bytesText, "%.0f", inFile);
            text += " (" + ratioText(*perContactKiB * 1024 / inFile) + " × the " + bytesText +
                    " bytes it takes in the saved file)";
        }
        return text;
    }

    benchmark::BenchmarkReporter &display_;
    std::map<std::pair<std::string, int>, Measured> measured_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (kSizes.empty()) {
        std::fprintf(stderr, "ZEB_BENCH_MAX_N leaves no size: the smallest is 100\n");
        return 1;
    }
    registerBenchmarks();
    TablesReporter reporter(*benchmark::CreateDefaultDisplayReporter());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    served.reset();
    current.reset();
    return 0;
}
