// core_test.cpp - the client's core in the test's own process: the room's feed (the one line cutter,
// the display rule, the flood policy, the lines shown again) and the history it keeps, on a clock
// the tests move themselves. No network, no terminal, no window: each case takes milliseconds.
#include "client/core/history.h"
#include "client/core/links.h"
#include "client/core/room_feed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

class fake_clock : public feed_clock {
public:
    long long ms = 5000000;
    clock_time at{12, 34, 56, 2026, 12, 9};
    long long steady_ms() override { return ms; }
    clock_time local() override { return at; }
};

std::vector<room_line> frame_lines(room_feed &feed, room_frame *out = nullptr)
{
    room_frame frame;
    feed.take(frame);
    if (out != nullptr)
        *out = frame;
    return frame.lines;
}

// "bob: " and text of this many characters.
std::string bob_says(std::size_t chars, char c = 'x')
{
    return "bob: " + std::string(chars, c) + "\n";
}

// A folder of the test's own for the history and the settings, emptied.
std::string fresh_home(const char *name)
{
    std::string dir = ::testing::TempDir() + "core_test_" + name + "_" + std::to_string(::getpid());
    std::string clear = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(std::system(clear.c_str()), 0);
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    return dir;
}

std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

// A line comes in pieces (a character cut by a receive, CR LF split), with what a terminal would
// obey: the view gets it once, whole, safe, in UTF-8, its name apart and coloured; a line begun
// waits for its end a second from its own first byte, and then shows as it is.
TEST(Feed, CutsReadsAndMakesSafeOnceForEveryView)
{
    fake_clock clock;
    room_feed feed(clock);
    int woken = 0;
    feed.wake_with([&woken] { ++woken; });
    feed.hear_with([](const std::string &line) {
        heard_line h;
        h.name = name_in(line, &h.text_at);
        h.mention = line.find("alice") != std::string::npos;
        return h;
    });
    feed.chat("bob: ni \xC4", false);
    feed.chat("\xE3\x1b[2J ok\r", false);
    feed.chat("\ncarol: hi alice\nmallory", false);
    EXPECT_EQ(woken, 1) << "woken again before a frame was taken";
    room_frame frame;
    std::vector<room_line> lines = frame_lines(feed, &frame);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(frame.heard, 2u);
    EXPECT_EQ(frame.mention, 1);
    EXPECT_EQ(lines[0].kind, room_line::PEER);
    EXPECT_EQ(lines[0].time, "12:34");
    EXPECT_EQ(lines[0].name, "bob: ");
    EXPECT_EQ(lines[0].colour, name_colour("bob"));
    EXPECT_EQ(lines[0].text, "ni \xE4\xBD\xA0^[[2J ok");
    EXPECT_FALSE(lines[0].mention);
    EXPECT_EQ(lines[1].name, "carol: ");
    EXPECT_TRUE(lines[1].mention);

    clock.ms += 700;
    feed.chat("_x", false);  // the same line goes on: its wait counts from its first byte
    clock.ms += 300;
    EXPECT_TRUE(frame_lines(feed).empty());
    clock.ms += 1;
    lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].name, "");
    EXPECT_EQ(lines[0].text, "mallory_x");
    EXPECT_EQ(woken, 1) << "woken for a line the frame took itself";

    // A line longer than a view can use is cut by the one cutter, saying how much was left out; a
    // byte that begins no character is a mark of its own, and the stream's end ends a line.
    // (The long line takes a frame of its own: the next waits.)
    feed.chat(std::string(20000, 'w') + "\r\n\x80zed: end", true);
    lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(line_cutter::LINE_SHOWN, 'w') + " ... (3616 bytes not shown)");
    lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].name + lines[0].text, "\xEF\xBF\xBDzed: end");
}

// A frame takes 100 lines or 4,000 characters at most, oldest first, and the rest wait; past 200
// lines or 64 K characters waiting, the oldest go, counted in a note; during such a flood a long
// line shows a frame's worth, and out of it whole.
TEST(Feed, AFloodWaitsInFramesAndDropsTheOldestCounted)
{
    fake_clock clock;
    room_feed feed(clock);
    for (int i = 0; i < 250; ++i)
        feed.chat("bob: line " + std::to_string(i) + "\n", false);
    room_frame frame;
    std::vector<room_line> lines = frame_lines(feed, &frame);
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines[0].kind, room_line::NOTE);
    EXPECT_EQ(lines[0].text, "*** 50 lines came faster than they could be shown: skipped");
    EXPECT_EQ(lines[1].text, "line 50");
    EXPECT_EQ(lines[100].text, "line 149");
    EXPECT_TRUE(frame.more);
    lines = frame_lines(feed, &frame);
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines[0].text, "line 150");
    EXPECT_EQ(lines[99].text, "line 249");
    EXPECT_FALSE(frame.more);

    // More dropped within the note's pause are told after it, all together.
    for (int i = 0; i < 201; ++i)
        feed.chat("bob: again\n", false);
    EXPECT_EQ(frame_lines(feed).size(), 100u);
    clock.ms += room_feed::SKIP_NOTE_MS;
    lines = frame_lines(feed);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text, "*** 1 line came faster than they could be shown: skipped");

    // Characters: 1,007 a line ("12:34", "bob: ", 995 more, and two): three a frame.
    clock.ms += room_feed::FLOOD_MS;
    for (int i = 0; i < 4; ++i)
        feed.chat(bob_says(995), false);
    EXPECT_EQ(frame_lines(feed).size(), 3u);
    EXPECT_EQ(frame_lines(feed).size(), 1u);

    // A flood of long lines: each shows a frame's worth, saying what was left out.
    clock.ms += room_feed::SKIP_NOTE_MS;
    for (int i = 0; i < 7; ++i)
        feed.chat(bob_says(10000), false);
    lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "*** 1 line came faster than they could be shown: skipped");
    EXPECT_EQ(lines[1].text, std::string(room_feed::FRAME_CHARS, 'x') + " ... (6000 characters not shown)");
    // Out of the flood, one long line shows whole.
    clock.ms += room_feed::FLOOD_MS;
    while (!frame_lines(feed).empty()) {
    }
    feed.chat(bob_says(10000), false);
    lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.size(), 10000u);
}

// The lines of the history shown again: dimmed (KEPT), with their day where it is not today, a
// long one cut, and the rule after them; what /search found with its day and seconds, no rule.
TEST(Feed, LinesShownAgainComeBeforeTheRule)
{
    fake_clock clock;
    room_feed feed(clock);
    std::vector<kept_line> kept = {{"2026-12-08", "23:59:01", "zed: late"},
                                   {"2026-12-09", "08:00:02", "zed: \xC4\xE3"},
                                   {"2026-12-09", "08:00:03", std::string(1500, 'y')}};
    feed.history_lines(kept, false);
    std::vector<room_line> lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].kind, room_line::KEPT);
    EXPECT_EQ(lines[0].time, "2026-12-08 23:59");
    EXPECT_EQ(lines[0].text, "zed: late");
    EXPECT_EQ(lines[1].time, "08:00");
    EXPECT_EQ(lines[1].text, "zed: \xE4\xBD\xA0");
    EXPECT_EQ(lines[2].text, std::string(room_feed::KEPT_CHARS, 'y') + " ...");
    EXPECT_EQ(lines[3].kind, room_line::RULE);
    feed.history_lines({kept[0]}, true);
    lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].time, "2026-12-08 23:59:01");
}

// The history keeps what the feed hands over, as it was shown: the peer's line with its marks, our
// own, the connection's notes; a command's answer is shown and not kept.
TEST(Feed, TheHistoryKeepsWhatTheViewShows)
{
    std::string home = fresh_home("keeps");
    static chat_history history;  // its writer lives as long as the process
    std::vector<std::string> said;
    history.start([&said](const std::string &s) { said.push_back(s); }, false);
    ASSERT_TRUE(history.keeping());
    fake_clock clock;
    room_feed feed(clock);
    feed.keep_in(&history);
    feed.chat("bob: ni \xC4\xE3\x1b[2J\n", false);
    feed.note("connected to 127.0.0.1:8888");
    feed.answer("commands: /me TEXT");
    feed.own_line("alice: hi");
    std::vector<room_line> lines = frame_lines(feed);
    ASSERT_EQ(lines.size(), 4u);
    history.flush();
    std::string kept = file_text(home + "/chat_client/history/2026-12-09.txt");
    EXPECT_EQ(kept, "12:34:56 " + lines[0].name + lines[0].text + "\n12:34:56 " + lines[1].text + "\n12:34:56 " +
                        lines[3].name + lines[3].text + "\n");
    EXPECT_EQ(kept, "12:34:56 bob: ni \xE4\xBD\xA0^[[2J\n12:34:56 *** connected to 127.0.0.1:8888\n12:34:56 alice: hi\n");
    EXPECT_EQ(lines[2].text, "*** commands: /me TEXT");
}

// The windows' links: http and https addresses of printable ASCII only, the sentence's punctuation
// after one left out; nothing else, and nothing with a mark or another character in it.
TEST(Links, OnlyWebAddressesOfPrintableAsciiAreLinks)
{
    const std::string address = "https://example.org/a?q=1&r=%20x";
    const std::string text = "see " + address + ", not file://c:/windows/win.ini \\\\host\\share ftp://example.org/f "
                             "https://exa^[mple.org xhttp://example.org/w HTTP://Upper.example (http://[::1]:8/p) "
                             "http://example.org/\xE4\xBD\xA0 http://example.org/x\xE3\x80\x80" "after";
    std::vector<std::string> found;
    for (const auto &a : web_addresses(text))
        found.push_back(text.substr(a.first, a.second));
    EXPECT_EQ(found, (std::vector<std::string>{address, "HTTP://Upper.example", "http://[::1]:8/p", "http://example.org/x"}));
    EXPECT_TRUE(is_web_address(address));
    EXPECT_FALSE(is_web_address(address + " "));
    EXPECT_FALSE(is_web_address("javascript:alert(1)"));
    EXPECT_FALSE(is_web_address("https://"));
}
