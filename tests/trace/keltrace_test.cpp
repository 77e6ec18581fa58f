#include "keltrace/keltrace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Captured {
    int level;
    std::string zone;
    std::string line;
};

void capture(void *userData, int level, const char *zone, const char *line) {
    static_cast<std::vector<Captured> *>(userData)->push_back(
        Captured{level, zone != nullptr ? zone : "", line});
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kelTraceReset();
        kelTraceSetSink(capture, &lines);
    }
    void TearDown() override {
        kelTraceSetSink(nullptr, nullptr);
        kelTraceReset();
    }
    std::vector<Captured> lines;
};

TEST_F(TraceTest, MessageLinesMatchTheFormatByteForByte) {
    kelTraceAddZone(500, "phonebook");
    kelTraceWrite("phonebook", 400, "zeb_getContact", "/src/phonebook/phonebook_zeb.c", 42,
                  "found %s", "Alice");
    kelTraceWrite(nullptr, 100, "zeb_plugin_initialize", "phonebook.c", 7,
                  "Phonebook object not found!");
    kelTraceWrite("zone", 200, "f", "a/b.c", 1, "w");
    kelTraceWrite("zone", 300, "f", "b.c", 2, "n");

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].line, "phonebo - [i]found Alice - (zeb_getContact@phonebook_zeb.c:42)");
    EXPECT_EQ(lines[1].line,
              "        - [x]Phonebook object not found! - (zeb_plugin_initialize@phonebook.c:7)");
    // An unregistered zone falls back to the default level (warnings pass,
    // notices do not) but its name still appears, padded to seven.
    EXPECT_EQ(lines[2].line, "zone    - [!]w - (f@b.c:1)");
    EXPECT_EQ(lines[2].level, 200);
}

TEST_F(TraceTest, EntryAndExitLinesAreLevel500InTheirZone) {
    kelTraceAddZone(500, "phonebook");
    kelTraceCall("phonebook", true, "remap_paths", "common/variant_path_remap.c", 10);
    kelTraceCall("phonebook", false, "remap_paths", "common/variant_path_remap.c", 20);
    kelTraceIn("other"); // default level 200: dropped

    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, "phonebo - >>>>>>>>>> - (remap_paths@variant_path_remap.c:10)");
    EXPECT_EQ(lines[1].line, "phonebo - <<<<<<<<<< - (remap_paths@variant_path_remap.c:20)");
    EXPECT_EQ(lines[0].level, 500);
}

TEST_F(TraceTest, ZoneLevelFilters) {
    kelTraceAddZone(300, "pb");
    kelTraceZ(400, "pb", "%s", "dropped");
    kelTraceZ(300, "pb", "%s", "kept");
    kelTraceZ(100, "pb", "%s", "kept too");
    ASSERT_EQ(lines.size(), 2u);

    // Raising an existing zone replaces its level rather than adding a twin.
    kelTraceAddZone(400, "pb");
    kelTraceZ(400, "pb", "%s", "now kept");
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(kelTraceZoneLevel("pb"), 400);

    // Zone names compare exactly; a prefix is another zone.
    EXPECT_EQ(kelTraceZoneLevel("p"), kelTraceDefaultLevel());
    EXPECT_FALSE(kelTraceAddZone(500, ""));
    EXPECT_FALSE(kelTraceAddZone(500, nullptr));
}

TEST_F(TraceTest, DefaultLevelGovernsLinesWithoutZone) {
    kelTrace(300, "notice dropped by default");
    kelTrace(200, "warning kept");
    kelTraceSetDefaultLevel(400);
    kelTrace(400, "info kept");
    kelTrace(500, "calls dropped");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].line.find("[i]info kept"), std::string::npos);

    kelTraceReset();
    EXPECT_EQ(kelTraceDefaultLevel(), 200);
}

TEST_F(TraceTest, OverlongMessagesAreCutNotOverflowed) {
    std::string big(3 * KELTRACE_LINE_MAX, 'a');
    kelTrace(100, "%s", big.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line.size(), static_cast<size_t>(KELTRACE_LINE_MAX - 1));
}

} // namespace
