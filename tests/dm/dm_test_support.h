/*
 * Shared fixture of the data-model tests: a small phonebook-like definition
 * whose handlers log what they see, resolved by name through a test resolver.
 */
#ifndef DM_TEST_SUPPORT_H
#define DM_TEST_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zeb/dm.h"

namespace dmtest {

/* Book.Entry.{i}.Number.{i}: every handler logs into `events`. */
extern const char *const kDefinition;

/* Handler log, e.g. "write UniqueID=a"; onWrite runs after each parameter's. */
extern std::vector<std::string> events;
extern std::function<void(parameter_t *)> onWrite;
extern std::vector<std::string> refusedIds;

void *resolve(void *userData, const char *library, const char *symbol);

std::string text(const variant_t *value);
std::string valueOf(const object_t *object, const char *name);
std::string pathOf(const object_t *object, uint32_t flags = 0);

/* A file's bytes ("" when unreadable). */
std::string slurp(const std::string &path);
void spill(const std::string &path, const std::string &content);
bool exists(const std::string &path);

class DataModelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    object_t *get(const char *path, uint32_t flags = 0) {
        return datamodel_getObject(dm, path, flags);
    }
    object_t *entries() { return get("Book.Entry"); }
    /* A committed entry with the given UniqueID and numbers. */
    object_t *addEntry(const char *id, std::vector<std::string> numbers = {});

    datamodel_t *dm = nullptr;
};

/* With a temporary directory, removed with what it holds, and `path` in it. */
class FileTest : public DataModelTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    /* A fresh `dm`; reload then loads `path` into it. */
    void fresh();
    bool reload();

    std::string dir;
    std::string path;
};

/* A trace sink that appends each line to the std::vector<std::string> it gets. */
void collect(void *lines, int level, const char *zone, const char *line);

} // namespace dmtest

#endif
