// The streaming reader of datamodel_load against the whole-document reader.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "dm_test_support.h"
#include "keltrace/keltrace.h"
#include "zeb_dm_testing.h"

using namespace dmtest;

namespace {

using Ordered = nlohmann::ordered_json;

class Loads : public FileTest {
  protected:
    void SetUp() override {
        FileTest::SetUp();
        /* Thousands of saves: no fsync. */
        zeb_dm_file_ops_t quick = {nullptr, write, nullptr, close, rename, unlink, read};
        quick.open = [](const char *name, int flags, mode_t mode) {
            return open(name, flags, mode);
        };
        quick.fsync = [](int) { return 0; };
        zeb_dm_setFileOps(&quick);
    }

    /* Entries, committed or pending, for a load to reuse, rekey, delete or refuse. */
    void prepare(unsigned seed) {
        std::mt19937 rng(seed);
        if (rng() % 2)
            refusedIds.push_back("id-" + std::to_string(rng() % 8));
        for (int i = 0, count = static_cast<int>(rng() % 4); i < count; ++i) {
            std::string key = "k" + std::to_string(rng() % 6);
            object_t *entry = object_createInstance(entries(), rng() % 6, key.c_str());
            if (entry && rng() % 2)
                object_parameterSetCharValue(entry, "UniqueID", "old");
            if (entry && rng() % 3 == 0 && object_commit(entry) && rng() % 2)
                object_delete(entry);
        }
        if (rng() % 2)
            object_parameterSetCharValue(get("Book"), "Comment", "pending before");
    }

    /* Everything a load leaves behind, as text. */
    std::string load(const std::string &content, unsigned prepared, uint32_t flags, bool document) {
        fresh();
        refusedIds.clear();
        if (prepared != 0)
            prepare(prepared);
        spill(path, content);
        std::remove((path + ".invalid").c_str());
        std::vector<std::string> traces;
        events.clear();
        kelTraceSetSink(collect, &traces);
        zeb_dm_setDocumentLoad(document);
        const bool loaded = datamodel_load(dm, path.c_str(), flags);
        zeb_dm_setDocumentLoad(false);
        kelTraceSetSink(nullptr, nullptr);
        std::string outcome =
            loaded ? "loaded\n" : std::to_string(zeb_error) + " " + zeb_errorMessage() + "\n";
        for (const auto &[prefix, lines] :
             {std::pair{"event ", &events}, std::pair{"trace ", &traces}})
            for (const std::string &line : *lines)
                outcome += prefix + line + "\n";
        const std::string dump = dir + "/dump.json";
        EXPECT_TRUE(datamodel_save(get("Book"), -1, dump.c_str(), 0)) << zeb_errorMessage();
        outcome += slurp(dump);
        for (object_t *e = object_firstInstance(entries()); e; e = object_nextInstance(e))
            outcome += " " + std::to_string(object_state(e));
        return outcome + (exists(path) ? "\nkept" : "\nmoved") + slurp(path + ".invalid");
    }

    /* Loads `content` both ways; true when the streaming reader read it. */
    bool compare(const std::string &content, unsigned prepared, uint32_t flags,
                 const std::string &what) {
        const std::string reference = load(content, prepared, flags, true);
        const unsigned before = zeb_dm_streamedLoads();
        EXPECT_EQ(load(content, prepared, flags, false), reference) << what << "\n"
                                                                    << content.substr(0, 2000);
        return zeb_dm_streamedLoads() != before;
    }
};

const char *const kTexts[] = {"", "a", "id-1", "id-2", "Zoë \"Z\" \\ /", "\xe2\x82\xac 5", "1"};

std::string pick(std::mt19937 &rng) {
    return kTexts[rng() % (sizeof kTexts / sizeof *kTexts)];
}

/* A random phonebook, saved by the data model itself. */
std::string savedBook(datamodel_t *dm, std::mt19937 &rng, const std::string &path, uint32_t flags) {
    object_t *book = datamodel_getObject(dm, "Book", 0);
    object_t *entries = datamodel_getObject(dm, "Book.Entry", 0);
    object_parameterSetCharValue(book, "Comment", pick(rng).c_str());
    object_parameterSetCharValue(book, "MaxEntries", std::to_string(rng() % 50).c_str());
    for (int i = 0, count = static_cast<int>(rng() % 6); i < count; ++i) {
        std::string key = "k" + std::to_string(rng() % 8);
        object_t *entry =
            object_createInstance(entries, rng() % 10, rng() % 2 ? key.c_str() : nullptr);
        if (!entry)
            continue;
        object_parameterSetCharValue(entry, "UniqueID", ("id-" + std::to_string(i)).c_str());
        object_parameterSetCharValue(entry, "FormattedName", pick(rng).c_str());
        if (rng() % 2)
            object_parameterSetCharValue(entry, "BirthDay", "1990-05-17T08:30:00Z");
        object_parameterSetCharValue(entry, "Age", std::to_string(rng() % 90).c_str());
        object_parameterSetCharValue(entry, "Secret", "s");
        object_t *numbers = object_getObject(entry, "Number", 0, nullptr);
        for (unsigned n = rng() % 4; n > 0; --n) {
            object_t *number = object_createInstance(numbers, rng() % 5, nullptr);
            object_parameterSetCharValue(number, "Value", pick(rng).c_str());
        }
    }
    object_commit(book);
    datamodel_save(book, -1, path.c_str(), flags);
    return slurp(path);
}

/* Every object and array of a document, to pick one to spoil. */
void containers(Ordered &node, std::vector<Ordered *> &out) {
    if (node.is_object() || node.is_array()) {
        out.push_back(&node);
        for (auto &child : node)
            containers(child, out);
    }
}

const char *const kNames[] = {"version", "path",  "index",      "key",      "parameters",
                              "objects", "Entry", "instances",  "UniqueID", "Age",
                              "Number",  "Value", "Unknown",    "Secret",   "BirthDay",
                              "Count",   "Shelf", "MaxEntries", "Comment"};

Ordered oddValue(std::mt19937 &rng) {
    // clang-format off
    const Ordered kValues[] = {nullptr, true, 0, -1, 1, 4294967296u, 2.5, "", "a.b",
                               "2024-02-30T00:00:00Z", "x", Ordered::object(), Ordered::array(),
                               Ordered::array({Ordered::object()}), Ordered{{"index", 1}},
                               18446744073709551615u, -9223372036854775807 - 1, 1e300};
    // clang-format on
    return kValues[rng() % (sizeof kValues / sizeof *kValues)];
}

/* The file with one fault, or one oddity a save does not write. */
std::string spoiled(const std::string &file, std::mt19937 &rng) {
    switch (rng() % 6) {
    case 0:
        return file.substr(0, rng() % (file.size() + 1));
    case 1: {
        std::string copy = file;
        copy[rng() % copy.size()] = "{}[],:\"0a-. "[rng() % 12];
        return copy;
    }
    case 2: {
        size_t at = file.find('{', rng() % file.size());
        std::string name = kNames[rng() % (sizeof kNames / sizeof *kNames)];
        std::string member = "\"" + name + "\": " + oddValue(rng).dump() + ", ";
        return at == std::string::npos ? file
                                       : file.substr(0, at + 1) + member + file.substr(at + 1);
    }
    case 3: {
        size_t at = file.find(": ", rng() % file.size());
        return at == std::string::npos
                   ? file
                   : file.substr(0, at + 2) + std::string(31, '[') + "1" + std::string(31, ']') +
                         ", \"Unknown\": " + file.substr(at + 2);
    }
    default: {
        Ordered document = Ordered::parse(file, nullptr, false);
        if (document.is_discarded())
            return file;
        std::vector<Ordered *> nodes;
        containers(document, nodes);
        Ordered &node = *nodes[rng() % nodes.size()];
        if (node.empty()) {
            node = oddValue(rng);
        } else if (node.is_array()) {
            node[rng() % node.size()] = oddValue(rng);
        } else {
            auto it = std::next(node.begin(), static_cast<long>(rng() % node.size()));
            if (rng() % 3 == 0)
                node.erase(it);
            else
                it.value() = oddValue(rng);
        }
        return document.dump(rng() % 2 ? -1 : 1);
    }
    }
}

TEST_F(Loads, StreamingAndDocumentReadersAgreeOnRandomAndSpoiledFiles) {
    const unsigned seed = 27;
    std::mt19937 rng(seed);
    size_t spoiledRead = 0;
    for (int round = 0; round < 150 && !HasFailure(); ++round) {
        fresh();
        uint32_t flags = rng() % 3 == 0 ? DATAMODEL_FLAG_PERSISTENT_ONLY : 0;
        std::string file = savedBook(dm, rng, dir + "/source.json", flags);
        ASSERT_FALSE(file.empty()) << zeb_errorMessage();
        std::string what = "seed " + std::to_string(seed) + " round " + std::to_string(round);
        const unsigned prepared = rng();
        EXPECT_TRUE(compare(file, 0, flags, what + ", as saved"))
            << "the streaming reader takes every file a save writes";
        compare(file, prepared, flags, what + ", as saved, into a data model in use");
        for (int fault = 0; fault < 6; ++fault) {
            std::string bad = spoiled(file, rng);
            if (rng() % 4 == 0)
                bad = spoiled(bad, rng);
            spoiledRead += compare(bad, rng() % 2 ? prepared : 0, flags,
                                   what + ", spoiled " + std::to_string(fault));
        }
    }
    EXPECT_GT(spoiledRead, 0u) << "some spoiled files are still valid files to stream";
}

} // namespace
