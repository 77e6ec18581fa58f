#include "keltrace/keltrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "keltrace_testing.h"

namespace {

struct Captured {
    int level;
    std::string line;
};

void capture(void *userData, int level, const char *, const char *line) {
    static_cast<std::vector<Captured> *>(userData)->push_back(Captured{level, line});
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

TEST_F(TraceTest, LinesMatchTheFormatByteForByte) {
    kelTraceAddZone(500, "phonebook");
    kelTraceWrite("phonebook", 400, "zeb_getContact", "/src/phonebook/phonebook_zeb.c", 42,
                  "found %s", "Alice");
    kelTraceWrite(nullptr, 100, "zeb_plugin_initialize", "phonebook.c", 7,
                  "Phonebook object not found!");
    // An unregistered zone has the default level but still shows its name.
    kelTraceWrite("zone", 200, "f", "a/b.c", 1, "w");
    kelTraceWrite("zone", 300, "f", "b.c", 2, "n");
    kelTraceCall("phonebook", true, "remap_paths", "common/variant_path_remap.c", 10);
    kelTraceCall("phonebook", false, "remap_paths", "common/variant_path_remap.c", 20);
    kelTraceIn("other"); // default level 200: dropped
    const std::pair<int, const char *> expected[] = {
        {400, "phonebo - [i]found Alice - (zeb_getContact@phonebook_zeb.c:42)"},
        {100, "        - [x]Phonebook object not found! - (zeb_plugin_initialize@phonebook.c:7)"},
        {200, "zone    - [!]w - (f@b.c:1)"},
        {500, "phonebo - >>>>>>>>>> - (remap_paths@variant_path_remap.c:10)"},
        {500, "phonebo - <<<<<<<<<< - (remap_paths@variant_path_remap.c:20)"},
    };
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(std::to_string(lines[i].level) + lines[i].line,
                  std::to_string(expected[i].first) + expected[i].second);
    kelTrace(100, "%s", std::string(3 * KELTRACE_LINE_MAX, 'a').c_str());
    EXPECT_EQ(lines.back().line.size(), static_cast<size_t>(KELTRACE_LINE_MAX - 1)) << "cut";
}

TEST_F(TraceTest, ZoneAndDefaultLevelsFilter) {
    kelTraceAddZone(300, "pb");
    kelTraceZ(400, "pb", "%s", "dropped");
    kelTraceZ(300, "pb", "%s", "kept");
    kelTraceAddZone(400, "pb");
    kelTraceZ(400, "pb", "%s", "now kept");
    EXPECT_EQ(kelTraceZoneLevel("pb"), 400);
    EXPECT_EQ(kelTraceZoneLevel("p"), kelTraceDefaultLevel());
    EXPECT_FALSE(kelTraceAddZone(500, ""));
    EXPECT_FALSE(kelTraceAddZone(500, nullptr));

    kelTrace(300, "notice dropped by default");
    kelTrace(200, "warning kept");
    kelTraceSetDefaultLevel(400);
    kelTrace(400, "info kept");
    kelTrace(500, "calls dropped");
    std::string all;
    for (const Captured &c : lines)
        all += c.line.substr(c.line.find('['), c.line.find(" - (") - c.line.find('[')) + "|";
    EXPECT_EQ(all, "[n]kept|[i]now kept|[!]warning kept|[i]info kept|");
    kelTraceReset();
    EXPECT_EQ(kelTraceDefaultLevel(), 200);
}

// Standard error captured in a file, on a clock the test steps.
class RateLimitTest : public ::testing::Test {
  protected:
    static uint64_t now;
    static uint64_t clock() { return now; }

    void SetUp() override {
        now = 1000;
        kelTraceSetClock(clock);
        kelTraceReset();
        std::fflush(stderr);
        savedStderr = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    void TearDown() override {
        std::fflush(stderr);
        dup2(savedStderr, 2);
        close(savedStderr);
        unlink(path.c_str());
        unsetenv("KELTRACE_RATE_LIMIT");
        kelTraceSetClock(nullptr);
        kelTraceReset();
    }
    std::vector<std::string> written() {
        std::fflush(stderr);
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    void storm(int count, const char *what = "storm") {
        for (int i = 0; i < count; ++i)
            kelTraceWrite("pb", 200, "convert", "remap.c", 7, "%s %d", what, i);
    }
    long containing(const std::string &text) {
        const std::vector<std::string> lines = written();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
            return line.find(text) != std::string::npos;
        });
    }

    std::string path = ::testing::TempDir() + "keltrace_stderr_" + std::to_string(getpid());
    int savedStderr = -1;
};

uint64_t RateLimitTest::now = 0;

TEST_F(RateLimitTest, AStormFromOneSiteIsCutCountedAndReported) {
    kelTraceSetRateLimit(3, 5);
    storm(10);
    kelTraceWrite("pb", 100, "save", "save.c", 9, "other site");
    std::vector<std::string> lines = written();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[2].find("storm 2"), std::string::npos);
    EXPECT_NE(lines[3].find("other site"), std::string::npos);

    now += 4999; // still the same interval
    storm(1, "late");
    EXPECT_EQ(containing("late"), 0);
    now += 1;
    storm(1, "next");
    lines = written();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "pb      - [!]8 similar lines suppressed - (convert@remap.c:7)");
    EXPECT_NE(lines[5].find("next 0"), std::string::npos);

    std::vector<Captured> sunk;
    kelTraceSetSink(capture, &sunk);
    storm(10);
    kelTraceSetSink(nullptr, nullptr);
    EXPECT_EQ(sunk.size(), 10u);
}

TEST_F(RateLimitTest, ZeroTurnsItOffAndTheEnvironmentSetsIt) {
    kelTraceSetRateLimit(0, 5);
    storm(50);
    EXPECT_EQ(written().size(), 50u);

    setenv("KELTRACE_RATE_LIMIT", "2/1", 1);
    kelTraceReset();
    storm(5, "env");
    EXPECT_EQ(containing("env"), 2);

    setenv("KELTRACE_RATE_LIMIT", "lots", 1);
    kelTraceReset();
    storm(20, "bad");
    EXPECT_EQ(containing("bad"), 10); // the default stays
    EXPECT_EQ(containing("KELTRACE_RATE_LIMIT=lots is not"), 1);

    unsigned burst = 7, seconds = 7;
    for (const char *wrong : {"", "5", "5/", "/5", "-1/5", "5/-1", "5/5x", "1/ 5", "99999999999/1"})
        EXPECT_FALSE(kelTraceParseRateLimit(wrong, &burst, &seconds)) << wrong;
    EXPECT_FALSE(kelTraceParseRateLimit(nullptr, &burst, &seconds));
    EXPECT_EQ(burst + seconds, 14u);
    EXPECT_TRUE(kelTraceParseRateLimit("0", &burst, &seconds));
    EXPECT_EQ(burst + seconds, 0u);
    EXPECT_TRUE(kelTraceParseRateLimit("20/60", &burst, &seconds));
    EXPECT_EQ(std::make_pair(burst, seconds), std::make_pair(20u, 60u));
}

} // namespace
