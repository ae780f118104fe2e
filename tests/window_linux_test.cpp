// window_linux_test.cpp - the Linux chat window (chat_window, Qt 6) on an X server of the test's
// own (Xvfb) with a window manager (fluxbox) and a D-Bus session of its own, against the real
// relay: what the room says shows safe, what is typed on the X keyboard reaches the room, a mention
// while behind is noticed on the desktop (and so is a file's transfer that ends, its progress shown
// in a bar before), the relay's loss is survived. The window is read over the
// accessibility bus as a screen reader reads it (atspi_probe.py).
#include "desktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#ifndef RELAY_WINDOW
#error "RELAY_WINDOW must name chat_window, RELAY_WINDOW_PROBE atspi_probe.py"
#endif

namespace {

// The luminance, 0 to 255, of a colour "R,G,B"; -1 if there is none.
double luminance(const std::string &colour)
{
    int r = -1, g = -1, b = -1;
    if (std::sscanf(colour.c_str(), "%d,%d,%d", &r, &g, &b) != 3)
        return -1;
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

// Stands in for a sender of files on 127.0.0.1:8891: one fetch, answered with the first half of
// its body and held open until the stand-in goes.
class HalfSender {
public:
    HalfSender()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8891);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
    }
    ~HalfSender() { end(); }
    bool bound() const { return bound_; }
    // Takes the fetch, reads its request and sends 200 with half the body: its request, or "".
    std::string answer_half(int size, std::chrono::milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1 || (conn_ = accept(fd_, nullptr, nullptr)) < 0)
            return "";
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd c{conn_, POLLIN, 0};
            ssize_t n = poll(&c, 1, 5000) == 1 ? recv(conn_, buf, sizeof buf, 0) : -1;
            if (n <= 0)
                return "";
            head.append(buf, static_cast<size_t>(n));
        }
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                             std::string(static_cast<size_t>(size / 2), 'x');
        return send(conn_, answer.data(), answer.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(answer.size()) ? head : "";
    }
    // The transfer breaks off.
    void end()
    {
        if (conn_ >= 0)
            close(conn_);
        if (fd_ >= 0)
            close(fd_);
        conn_ = fd_ = -1;
    }

private:
    int fd_ = -1, conn_ = -1;
    bool bound_ = false;
};

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
    // Isolates and tags turn or hide text as the others do: marks too. A letter after a stack of
    // marks takes its own.
    std::string stack = "\u8001\u738b: Z";
    for (int i = 0; i < 8; ++i)
        stack += "\u0301";
    peer.send(gb18030("\u8001\u738b: a\u2066b\u2067c\u2068d\u2069e\U000E0041f\n" + stack + "e\u0301\n"));
    ASSERT_TRUE(wait_read("Conversation", "\u8001\u738b: a\ufffdb\ufffdc\ufffdd\ufffde\ufffdf", seconds(10)))
        << read("Conversation");
    EXPECT_TRUE(wait_read("Conversation", "\u8001\u738b: Z\u0301\u0301\u0301\u0301\ufffde\u0301", seconds(5)))
        << read("Conversation");
    // A name's colour reads on the light background the desktop gives: darker than middle grey.
    EXPECT_LT(luminance(x(RELAY_WINDOW_PROBE " Conversation '\u8001\u738b: '")), 128) << "a light background's colour";

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
    // The peer joins now: the window's start on a busy machine may outlast a silent client's 10 s.
    Client peer;
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
    auto notified = Clock::now();
    // At most one notice in 5 s: a second mention a second or two after asks for none.
    std::this_thread::sleep_for(milliseconds(1500));
    peer.send("bob: alice?\n");
    EXPECT_TRUE(wait_title(chat, "(3) Chat", seconds(10))) << title(chat);
    std::this_thread::sleep_for(milliseconds(500));
    calls = monitor.output();
    EXPECT_EQ(calls.find("bob: alice?"), std::string::npos) << calls;
    // After them, the next mention has its notice; the daemon may read its body as markup, so the
    // peer's markup goes escaped.
    std::this_thread::sleep_until(notified + milliseconds(5200));
    peer.send("bob: alice <b>look</b> & <a href=\"http://198.18.0.9/\">here</a>\n");
    EXPECT_TRUE(wait_title(chat, "(4) Chat", seconds(10))) << title(chat);
    monitor.wait_for_output("bob: alice &lt;b&gt;look", seconds(5));
    auto fourth = Clock::now();
    calls = monitor.output();
    EXPECT_NE(calls.find("bob: alice &lt;b&gt;look&lt;/b&gt; &amp; &lt;a href=&quot;http://198.18.0.9/&quot;&gt;here&lt;/a&gt;"),
              std::string::npos) << calls;
    EXPECT_EQ(calls.find("<b>look"), std::string::npos) << calls;
    shot("linux-window-attention.png");

    // Brought forward, it is read: the count goes.
    bring_forward();
    EXPECT_TRUE(wait_title(chat, "Chat", seconds(10))) << title(chat);
    // A screen reader reads the same title.
    auto until = Clock::now() + seconds(10);
    while (read("title") != "Chat" && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(read("title"), "Chat");

    // A file offered has its Download action; fetched, its progress shows in the status bar's bar;
    // broken off while the window is behind, its end is noticed as a mention is.
    HalfSender sender;
    ASSERT_TRUE(sender.bound());
    peer.send("bob: [FILE] notes.txt (1000 bytes) http://127.0.0.1:8891/f/notesnotesnotesnotes/notes.txt size=1000 sha256=" +
              std::string(64, 'a') + "\n");
    ASSERT_TRUE(wait_read("Conversation", "notes.txt size=1000 sha256=" + std::string(64, 'a') + " Download (/get 1)", seconds(10)))
        << read("Conversation");
    type("/get 1");
    press("Return");
    EXPECT_NE(sender.answer_half(1000, seconds(10)).find("GET /f/notesnotesnotesnotes/notes.txt HTTP/1.1"), std::string::npos);
    EXPECT_TRUE(wait_read("Transfer progress", "50", seconds(10))) << read("Transfer progress");
    EXPECT_TRUE(wait_read("Status", "receiving notes.txt 50%", seconds(5))) << read("Status");
    // The other program's window, still open, in front again.
    ASSERT_TRUE(eventually([&] {
        std::string active = x("xdotool getactivewindow");
        if (active != chat + "\n" && !active.empty())
            return true;
        x("xdotool search --sync --name '^xmessage$' windowactivate --sync");
        return false;
    }, seconds(20), milliseconds(300))) << "the other window never came in front";
    std::this_thread::sleep_until(fourth + milliseconds(5200));  // the mentions' spacing
    sender.end();
    EXPECT_TRUE(wait_read("Conversation", "*** fetching notes.txt failed", seconds(10))) << read("Conversation");
    monitor.wait_for_output("A file transfer ended", seconds(5));
    calls = monitor.output();
    EXPECT_NE(calls.find("A file transfer ended"), std::string::npos) << calls;
    EXPECT_NE(calls.find("*** fetching notes.txt failed"), std::string::npos) << calls;
    EXPECT_TRUE(asks_for_attention(chat, seconds(5))) << "the window did not ask for attention";
}

TEST_F(LinuxWindow, TheFirstStartAsksForANameThenFindsTheRelayAgainAndSendsWhatWaited)
{
    start_server();
    // A name given that the rule refuses ends the window before it opens.
    Program refused;
    refused.start(RELAY_WINDOW, {"--name", "eve\x1b[8m", "198.18.0.1"}, {display_, home_, "LC_ALL=C.UTF-8"});
    EXPECT_EQ(refused.wait_exit(START_TIMEOUT), 1);
    EXPECT_TRUE(refused.wait_for_errors("chat_window: --name: a name cannot hold control characters", seconds(5)))
        << refused.errors();
    // No name given and none remembered: the dialog asks, offering the login name; a name the rule
    // refuses keeps it open and says why; a good one is taken and remembered in the name file. The
    // look is a dark one, as a style sheet gives it.
    std::FILE *sheet = std::fopen((dir_ + "/dark.qss").c_str(), "w");
    ASSERT_NE(sheet, nullptr);
    std::fputs("QPlainTextEdit { background-color: #1e1e1e; color: #dcdcdc; }\n", sheet);
    std::fclose(sheet);
    start_window({"-stylesheet", dir_ + "/dark.qss", "198.18.0.1"});
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
    // On the dark background, a name's colour is lighter than middle grey.
    Client peer;
    peer.send("bob: welcome back\n");
    ASSERT_TRUE(wait_read("Conversation", "bob: welcome back", seconds(10))) << read("Conversation");
    EXPECT_GT(luminance(x(RELAY_WINDOW_PROBE " Conversation 'bob: welcome'")), 128) << "a dark background's colour";
    shot("linux-window-dark.png");
}

}  // namespace
