// window_linux_test.cpp - the Linux chat window (chat_window, Qt 6) on an X server of the test's
// own (Xvfb) with a window manager (fluxbox) and a D-Bus session of its own, against the real
// relay: what the room says shows safe, what is typed on the X keyboard reaches the room, a mention
// while behind is noticed on the desktop, the relay's loss is survived. The window is read over the
// accessibility bus as a screen reader reads it (atspi_probe.py).
#include "desktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#ifndef RELAY_WINDOW
#error "RELAY_WINDOW must name chat_window, RELAY_WINDOW_PROBE atspi_probe.py"
#endif

namespace {

// The chat window on a desktop of the test's own with a D-Bus session, through which it is read.
class LinuxWindow : public Desktop {
protected:
    LinuxWindow() : Desktop(true, "--classname chat_window", milliseconds(40)) {}

    bool wait_title(const std::string &window, const std::string &shown, Clock::duration timeout)
    {
        return eventually([&] { return title(window) == shown + "\n"; }, timeout, milliseconds(200));
    }

    void start_window(const std::vector<std::string> &args)
    {
        std::vector<std::string> env = environment();
        env.insert(env.end(), {"USER=window-tester", "LC_ALL=C.UTF-8", "QT_QPA_PLATFORM=xcb",
                               "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "QT_ACCESSIBILITY=1"});
        window.start(RELAY_WINDOW, args, env);
    }

    // What a screen reader reads of the window: the text of the conversation ("Conversation"), the
    // box ("Message"), the status bar ("Status"), or the window's title ("title").
    std::string read(const std::string &what) { return x(RELAY_WINDOW_PROBE " '" + what + "'"); }

    std::string shown(Part part) override { return read(part == Part::conversation ? "Conversation" : "Status"); }

    bool wait_read(const std::string &what, const std::string &shown, Clock::duration timeout)
    {
        return eventually([&] { return read(what).find(shown) != std::string::npos; }, timeout, milliseconds(200));
    }

};

// And the history: written out at Ctrl+Q and at a signal, shown again above the rule, and not kept
// with --no-history.
TEST_F(LinuxWindow, ThePeersLinesShowAsPlainTextAndTypedLinesReachThemInGb18030)
{
    start_server();
    Client peer;
    start_window({"--name", "\u5c0f\u660e", "127.0.0.1"});
    ASSERT_TRUE(wait_read("Conversation", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << read("Conversation");
    ASSERT_EQ(server.wait_for_lines(3, seconds(10)).size(), 3u);
    EXPECT_EQ(read("Status"), "relay 127.0.0.1   name: \u5c0f\u660e");

    // A peer's Chinese is read as Chinese; escape sequences, markup, a direction override and a
    // zero-width space show as marks and characters, as on the terminal client's screen.
    peer.send(gb18030("\u8001\u738b: \u65e9\u4e0a\u597d\x1b[2J<b>bold</b>\u202eevil\u200b!\n"));
    ASSERT_TRUE(wait_read("Conversation", "\u8001\u738b: \u65e9\u4e0a\u597d^[[2J<b>bold</b>\ufffdevil\ufffd!", seconds(10)))
        << read("Conversation");

    // Typed on the X keyboard: ASCII and Chinese; Enter sends, Shift+Enter begins a line of its own.
    bring_forward();
    typed_lines_reach(peer, "\u5c0f\u660e", {"hello all"});
    typed_lines_reach(peer, "\u5c0f\u660e", {"\u4f60\u597d\uff0c\u4e16\u754c", "two"});
    EXPECT_EQ(read("Message"), "") << "the box was not emptied";
    EXPECT_TRUE(wait_read("Conversation", "\u5c0f\u660e: \u4f60\u597d\uff0c\u4e16\u754c", seconds(5))) << read("Conversation");
    shot("linux-window-room.png");

    // A name is shown as it is written: markup in it is no markup in the status bar.
    type("/nick <u>x</u>");
    press("Return");
    EXPECT_TRUE(wait_read("Status", "relay 127.0.0.1   name: <u>x</u>", seconds(5))) << read("Status");
    type("/nick \u5c0f\u660e");
    press("Return");
    EXPECT_TRUE(wait_read("Status", "name: \u5c0f\u660e", seconds(5))) << read("Status");

    // Chat > Quit (Ctrl+Q) leaves, and what was shown just before it is in the history (quit well
    // within the second the history otherwise waits to write).
    peer.send("bob: the last word, https://example.com/a\n");
    std::this_thread::sleep_for(milliseconds(150));
    press("ctrl+q");
    EXPECT_EQ(window.wait_exit(seconds(10)), 0);
    const std::string history = std::string("cat ") + std::getenv("XDG_DATA_HOME") + "/chat_client/history/*.txt";
    EXPECT_NE(run(history).find(" bob: the last word, https://example.com/a\n"), std::string::npos) << run(history);

    // The next start shows the last lines again above the rule, this run's below it.
    window.stop();
    start_window({"--name", "\u5c0f\u660e", "127.0.0.1"});
    ASSERT_TRUE(wait_read("Conversation", "the history above; this run below", START_TIMEOUT)) << read("Conversation");
    ASSERT_TRUE(wait_read("Conversation", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << read("Conversation");
    std::string shown = read("Conversation");
    std::size_t rule = shown.find("the history above; this run below");
    EXPECT_LT(shown.find("bob: the last word, https://example.com/a"), rule) << shown;
    EXPECT_GT(shown.rfind("*** connected to 127.0.0.1:8888"), rule) << shown;
    shot("linux-window-history.png");
    // A signal to end closes the window as Quit does: what was shown is kept.
    peer.send("bob: at the signal\n");
    ASSERT_TRUE(wait_read("Conversation", "bob: at the signal", seconds(10))) << read("Conversation");
    kill(window.pid(), SIGTERM);
    EXPECT_EQ(window.wait_exit(seconds(10)), 0);
    EXPECT_NE(run(history).find(" bob: at the signal\n"), std::string::npos) << run(history);

    // --no-history: nothing shown again, nothing kept.
    window.stop();
    start_window({"--no-history", "--name", "\u5c0f\u660e", "127.0.0.1"});
    ASSERT_TRUE(wait_read("Conversation", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << read("Conversation");
    shown = read("Conversation");
    EXPECT_NE(shown.find("the history is off for this run (--no-history)"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("the last word"), std::string::npos) << shown;
    peer.send("bob: off the record\n");
    ASSERT_TRUE(wait_read("Conversation", "bob: off the record", seconds(10))) << read("Conversation");
    bring_forward();
    type("/quit");
    press("Return");
    EXPECT_EQ(window.wait_exit(seconds(10)), 0);
    EXPECT_EQ(run(history).find("off the record"), std::string::npos) << run(history);
}

TEST_F(LinuxWindow, AMentionWhileBehindIsCountedNotifiedAndAsksForAttention)
{
    start_server();
    Client peer;
    // The desktop's notification service, as a screen sees it: the calls on the session bus.
    Program monitor;
    monitor.start("dbus-monitor", {"--session", "interface='org.freedesktop.Notifications'"}, {bus_address_});
    start_window({"--name", "alice", "127.0.0.1"});
    ASSERT_TRUE(wait_read("Conversation", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << read("Conversation");
    std::string chat = x_window();
    // Another program's window comes in front.
    ASSERT_TRUE(another_window_in_front([&] {
        std::string active = x("xdotool getactivewindow");
        return active == chat + "\n" || active.empty();
    })) << "the other window never came in front";
    peer.send("bob: is anyone there\n");
    EXPECT_TRUE(wait_title(chat, "(1) Chat", seconds(10))) << title(chat);
    EXPECT_FALSE(asks_for_attention(chat, milliseconds(0))) << "a line that does not mention the name asked for attention";
    peer.send("bob: alice, the meeting starts\n");
    EXPECT_TRUE(wait_title(chat, "(2) Chat", seconds(10))) << title(chat);
    EXPECT_TRUE(asks_for_attention(chat, seconds(5))) << "the window did not ask for attention";
    monitor.wait_for_output("bob: alice, the meeting starts", seconds(5));
    std::string calls = monitor.output();
    EXPECT_NE(calls.find("member=Notify"), std::string::npos) << calls;
    EXPECT_NE(calls.find("bob: alice, the meeting starts"), std::string::npos) << calls;
    // At most one notice every few seconds: a second mention right after asks for none.
    peer.send("bob: alice?\n");
    EXPECT_TRUE(wait_title(chat, "(3) Chat", seconds(10))) << title(chat);
    std::this_thread::sleep_for(milliseconds(500));
    calls = monitor.output();
    EXPECT_EQ(calls.find("bob: alice?"), std::string::npos) << calls;
    shot("linux-window-attention.png");

    // Brought forward, it is read: the count goes.
    bring_forward();
    EXPECT_TRUE(wait_title(chat, "Chat", seconds(10))) << title(chat);
    // A screen reader reads the same title.
    auto until = Clock::now() + seconds(10);
    while (read("title") != "Chat" && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(read("title"), "Chat");
}

TEST_F(LinuxWindow, TheFirstStartAsksForANameThenFindsTheRelayAgainAndSendsWhatWaited)
{
    start_server();
    // No name given and none remembered: the dialog asks, offering the login name; a name the rule
    // refuses keeps it open and says why; a good one is taken and remembered in the name file.
    start_window({"198.18.0.1"});
    ASSERT_TRUE(wait_read("Name", "window-tester", START_TIMEOUT)) << read("Name");
    x("xdotool search --sync --name '^Your name in the chat$' windowactivate --sync");
    type("a: b");
    press("Return");
    EXPECT_TRUE(wait_read("Problem with the name", "a name cannot hold \": \"", seconds(5)))
        << read("Problem with the name");
    press("ctrl+a");
    type("alice");
    press("Return");
    ASSERT_TRUE(wait_read("Conversation", "*** connected to 198.18.0.1:8888", START_TIMEOUT)) << read("Conversation");
    ServerProcess again;
    ASSERT_NO_FATAL_FAILURE(relay_lost_and_found_again(again));
    EXPECT_EQ(run("cat " + dir_ + "/.config/chat_client/name"), "alice");
}

}  // namespace
