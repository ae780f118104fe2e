// history_test.cpp - the client's history in process: what it keeps and what it does not, its
// bounds, the files it takes for days, the order lines come back in, and its flusher at rest.
#include "client/core/history.h"
#include "client/core/room_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The day the tests' clock shows, and its file.
const char DAY[] = "2026-12-09";

class fixed_clock : public feed_clock {
public:
    long long steady_ms() override { return 5000000; }
    clock_time local() override { return {12, 34, 56, 2026, 12, 9}; }
};

// The day file's name of the day this many days back: "YYYY-MM-DD.txt".
std::string day_file(int days_back)
{
    std::time_t t = std::time(nullptr) - days_back * 86400L;
    std::tm tm{};
    localtime_r(&t, &tm);
    char name[32];
    std::strftime(name, sizeof name, "%Y-%m-%d.txt", &tm);
    return name;
}

std::string file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string &path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0;
}

// Each test has a data and a settings folder of its own. A history runs as long as the process (its
// writer is never joined): each test starts its own and leaves it.
class History : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/history-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        setenv("XDG_DATA_HOME", dir, 1);
        setenv("XDG_CONFIG_HOME", dir, 1);
        folder = dir_ + "/chat_client/history";
        ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    chat_history &started(bool off_this_run = false)
    {
        auto *h = new chat_history;
        h->start([this](const std::string &said) { notes += said + "\n"; }, off_this_run);
        return *h;
    }
    void write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
    }
    std::string kept() { return file(folder + "/" + DAY + ".txt"); }

    std::string dir_, folder, notes;
};

// Turned off, the history keeps nothing the feed shows: the room's lines, our own, the notes.
// --no-history keeps nothing of the run, the history being on.
TEST_F(History, OffKeepsNothingOfTheRoomAndNoHistoryNothingOfTheRun)
{
    chat_history &h = started();
    fixed_clock clock;
    room_feed feed(clock);
    feed.keep_in(&h);
    feed.chat("bob: before\n", false);
    h.turn(false);
    feed.chat("bob: after\n", false);
    feed.own_line("alice: mine");
    feed.note("a note");
    h.flush();
    EXPECT_EQ(kept(), "12:34:56 bob: before\n");

    h.turn(true);
    std::remove((folder + "/" + DAY + ".txt").c_str());
    chat_history &run = started(true);
    EXPECT_FALSE(run.keeping());
    EXPECT_NE(notes.find("the history is off for this run (--no-history)"), std::string::npos) << notes;
    room_feed other(clock);
    other.keep_in(&run);
    other.chat("bob: secret\n", false);
    other.own_line("alice: secret too");
    other.note("a secret note");
    run.flush();
    EXPECT_FALSE(exists(folder + "/" + DAY + ".txt")) << kept();
}

// Of days that hold more than 200 MB in all, the oldest go (sparse files: their size costs no disk);
// only "YYYY-MM-DD.txt" is a day's file: a backup beside one is neither read nor pruned.
TEST_F(History, PrunesTheOldestDaysBeyond200MBAndTakesOnlyDayFiles)
{
    for (int back : {1, 2, 3}) {
        write(day_file(back), "");
        ASSERT_EQ(truncate((folder + "/" + day_file(back)).c_str(), 80ll << 20), 0);
    }
    write("2000-01-01.txt.bak", "10:00:00 a backup\n");
    write(day_file(0) + "~", "10:00:00 an editor's copy\n");
    started();
    EXPECT_FALSE(exists(folder + "/" + day_file(3))) << "the oldest day stayed";
    EXPECT_TRUE(exists(folder + "/" + day_file(2))) << "a newer day went";
    EXPECT_TRUE(exists(folder + "/" + day_file(1))) << "the newest day went";
    EXPECT_NE(notes.find("removed from the history: 1 day, 80.0 MB"), std::string::npos) << notes;
    EXPECT_EQ(file(folder + "/2000-01-01.txt.bak"), "10:00:00 a backup\n");
    EXPECT_EQ(file(folder + "/" + day_file(0) + "~"), "10:00:00 an editor's copy\n");

    for (int back : {1, 2})
        std::remove((folder + "/" + day_file(back)).c_str());
    EXPECT_TRUE(chat_history::recent(10).empty());
    EXPECT_TRUE(chat_history::search("a", 10).empty());
    std::size_t printed = 0;
    chat_history::each("", [&printed](const kept_line &) { ++printed; });
    EXPECT_EQ(printed, 0u);
}

// A last line torn by a power cut is ended before the day's lines go after it; the lines come back
// oldest first, across days; a search looks at a line's text, not at its time.
TEST_F(History, EndsATornLineAndGivesLinesBackOldestFirstSearchingTheirText)
{
    write("2026-12-08.txt", "08:34:00 yesterday first\n08:34:01 yesterday at 34 past\n");
    write(std::string(DAY) + ".txt", "09:00:00 torn");
    chat_history &h = started();
    h.keep(DAY, "12:34:56", "bob: new");
    h.flush();
    EXPECT_EQ(kept(), "09:00:00 torn\n12:34:56 bob: new\n");

    std::vector<kept_line> last = chat_history::recent(3);
    ASSERT_EQ(last.size(), 3u);
    EXPECT_EQ(last[0].day + " " + last[0].time + " " + last[0].text, "2026-12-08 08:34:01 yesterday at 34 past");
    EXPECT_EQ(last[1].text, "torn");
    EXPECT_EQ(last[2].text, "bob: new");

    std::string found;
    for (const kept_line &k : chat_history::search("34", 10))
        found += k.text + "\n";
    EXPECT_EQ(found, "yesterday at 34 past\n");
    std::string printed;
    chat_history::each("08:", [&printed](const kept_line &k) { printed += k.text + "\n"; });
    EXPECT_EQ(printed, "");
}

// A burst (1 MiB) is written at once, the rest within the second; then the writer rests again:
// the process takes next to no CPU time while the room is quiet.
TEST_F(History, TheWriterRestsAfterABurst)
{
    chat_history &h = started();
    const std::string line = "bob: " + std::string(1000, 'x');
    for (int i = 0; i < 1500; ++i)
        h.keep(DAY, "12:34:56", line);
    const std::size_t all = 1500 * (9 + line.size() + 1);
    for (int i = 0; i < 100 && kept().size() < all; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(kept().size(), all);
    auto cpu = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    };
    double before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(cpu() - before, 0.1) << "CPU seconds taken by a quiet history";
}

}  // namespace
