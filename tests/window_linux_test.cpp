// window_linux_test.cpp - the Linux chat window (chat_window, Qt 6) on an X server of the test's
// own (Xvfb) with a window manager (fluxbox) and a D-Bus session of its own, against the real
// relay: what the room says shows safe, what is typed on the X keyboard reaches the room, a mention
// while behind is noticed on the desktop, the relay's loss is survived. The window is read over the
// accessibility bus as a screen reader reads it (atspi_probe.py).
#include "harness.h"

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

#ifndef RELAY_WINDOW
#error "RELAY_WINDOW must name chat_window, RELAY_WINDOW_PROBE atspi_probe.py"
#endif

namespace {

// Starts a program with its output thrown away (or into out_fd); its pid.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int keep_fd = -1, int out_fd = -1)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(out_fd >= 0 ? out_fd : null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (keep_fd >= 0)
            fcntl(keep_fd, F_SETFD, 0);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void end(pid_t &pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

std::string run(const std::string &command)
{
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p != nullptr)
        pclose(p);
    return out;
}

// Reads what a program writes to the descriptor until it is read no more.
std::string read_line(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// A desktop of the test's own: an X server, a window manager (which keeps _NET_WM_STATE), a D-Bus
// session (and through it the accessibility bus), and the chat window on it.
class LinuxWindow : public Relay {
protected:
    void SetUp() override
    {
        Relay::SetUp();
        char dir[] = "/tmp/relay-qtwindow-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        home_ = "HOME=" + dir_;
        // Xvfb picks a free display and says which once it takes connections.
        int ready[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        xvfb_ = spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", "1024x700x24", "-nolisten", "tcp"},
                      {}, ready[1]);
        ::close(ready[1]);
        std::string number = read_line(ready[0]);
        ::close(ready[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        display_ = "DISPLAY=:" + number;
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        // The services the session starts (the accessibility bus) live under this test's runtime
        // directory, not under one that tests running at once would share.
        runtime_ = "XDG_RUNTIME_DIR=" + dir_;
        bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {display_, home_, runtime_}, -1,
                     ready[1]);
        ::close(ready[1]);
        std::string address = read_line(ready[0]);
        ::close(ready[0]);
        ASSERT_FALSE(address.empty()) << "no D-Bus session";
        bus_address_ = "DBUS_SESSION_BUS_ADDRESS=" + address;
        // The accessibility bus, started through the session before the window asks for it: a
        // window that finds none when it starts is never read.
        deadline_wait("the accessibility bus", [this] {
            return x("dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress")
                       .find("unix:") != std::string::npos;
        });
        wm_ = spawn({"fluxbox"}, {display_, home_});
        auto deadline = Clock::now() + seconds(20);
        while (x("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") == std::string::npos) {
            ASSERT_LT(Clock::now(), deadline) << "no window manager (fluxbox) came up";
            std::this_thread::sleep_for(milliseconds(200));
        }
    }

    template <typename Ready>
    void deadline_wait(const char *what, Ready ready)
    {
        auto deadline = Clock::now() + seconds(20);
        while (!ready()) {
            ASSERT_LT(Clock::now(), deadline) << what << " did not come up";
            std::this_thread::sleep_for(milliseconds(200));
        }
    }

    // The window's title as the window manager shows it.
    std::string title(const std::string &window) { return x("xdotool getwindowname " + window); }

    bool wait_title(const std::string &window, const std::string &shown, Clock::duration timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (title(window) != shown + "\n") {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(200));
        }
        return true;
    }

    void TearDown() override
    {
        window.stop();
        end(monitor_);
        end(other_);
        end(wm_);
        end(bus_);
        end(xvfb_);
        // The accessibility bus the session started ends with its session.
        Relay::TearDown();
        if (!dir_.empty())
            std::system(("rm -rf " + dir_).c_str());
    }

    std::string env()
    {
        std::size_t eq = bus_address_.find('=');
        return display_ + " " + home_ + " " + runtime_ + " " + bus_address_.substr(0, eq + 1) + "'" + bus_address_.substr(eq + 1) + "' ";
    }

    // Runs an X client (xdotool, xprop, import) on the test's desktop; its output.
    std::string x(const std::string &command) { return run(env() + command + " 2>/dev/null"); }

    void start_window(const std::vector<std::string> &args)
    {
        window.start(RELAY_WINDOW, args,
                     {display_, home_, runtime_, bus_address_, "USER=window-tester", "LC_ALL=C.UTF-8",
                      "QT_QPA_PLATFORM=xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "QT_ACCESSIBILITY=1"});
    }

    // What a screen reader reads of the window: the text of the conversation ("Conversation"), the
    // box ("Message"), the status bar ("Status"), or the window's title ("title").
    std::string read(const std::string &what) { return x(RELAY_WINDOW_PROBE " '" + what + "'"); }

    bool wait_read(const std::string &what, const std::string &shown, Clock::duration timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (read(what).find(shown) == std::string::npos) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(200));
        }
        return true;
    }

    // The window's X window: its title ends in "Chat" ("(3) Chat" with lines unread).
    std::string x_window()
    {
        std::string found = x("xdotool search --onlyvisible --classname chat_window");
        return found.substr(0, found.find('\n'));
    }

    void bring_forward() { x("xdotool windowactivate --sync " + x_window()); }

    // Types with the X keyboard, as a person does. A character the keyboard lacks is first given a
    // spare key of its own (xmodmap): xdotool would otherwise map one for the moment and back, and
    // the window may read the key after it is mapped back, losing the character.
    void type(const std::string &text)
    {
        static const int SPARE[] = {93, 97, 103, 120, 132, 149, 154, 168, 178, 183, 184, 197, 202, 217};
        std::vector<std::string> mapped;
        std::string keys;
        for (std::size_t at = 0; at < text.size();) {
            unsigned char c = static_cast<unsigned char>(text[at]);
            std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            std::string ch = text.substr(at, n);
            at += n;
            if (n == 1 || std::find(mapped.begin(), mapped.end(), ch) != mapped.end())
                continue;
            std::uint32_t code = c & (0xFF >> (n + 1));
            for (std::size_t i = 1; i < n; ++i)
                code = (code << 6) | (static_cast<unsigned char>(ch[i]) & 0x3F);
            char keysym[16];
            std::snprintf(keysym, sizeof keysym, "U%04X", static_cast<unsigned>(code));
            keys += " -e 'keycode " + std::to_string(SPARE[mapped.size() % 14]) + " = " + keysym + " " + keysym + "'";
            mapped.push_back(ch);
        }
        if (!keys.empty()) {
            x("xmodmap" + keys);
            std::this_thread::sleep_for(milliseconds(300));
        }
        x("xdotool type --delay 40 '" + text + "'");
    }
    void press(const std::string &key) { x("xdotool key " + key); }

    void shot(const std::string &name)
    {
        std::system("mkdir -p /tmp/shots");
        x("import -window root /tmp/shots/" + name);
    }

    Program window;
    pid_t xvfb_ = -1, wm_ = -1, bus_ = -1, other_ = -1, monitor_ = -1;
    std::string dir_, display_, home_, runtime_, bus_address_;
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
    type("hello all");
    press("Return");
    std::string sent = gb18030("\u5c0f\u660e: hello all\n");
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);
    type("\u4f60\u597d\uff0c\u4e16\u754c");
    press("shift+Return");
    type("two");
    press("Return");
    sent = gb18030("\u5c0f\u660e: \u4f60\u597d\uff0c\u4e16\u754c\n\u5c0f\u660e: two\n");
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);
    EXPECT_EQ(read("Message"), "") << "the box was not emptied";
    EXPECT_TRUE(wait_read("Conversation", "\u5c0f\u660e: \u4f60\u597d\uff0c\u4e16\u754c", seconds(5))) << read("Conversation");
    shot("linux-window-room.png");

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
    int seen[2];
    ASSERT_EQ(pipe2(seen, O_CLOEXEC), 0);
    monitor_ = spawn({"dbus-monitor", "--session", "interface='org.freedesktop.Notifications'"}, {bus_address_}, -1, seen[1]);
    ::close(seen[1]);
    fcntl(seen[0], F_SETFL, O_NONBLOCK);
    start_window({"--name", "alice", "127.0.0.1"});
    ASSERT_TRUE(wait_read("Conversation", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << read("Conversation");
    std::string chat = x_window();
    // Another program's window comes in front.
    other_ = spawn({"xmessage", "-geometry", "300x80+500+400", "another program"}, {display_});
    auto deadline = Clock::now() + seconds(20);
    while (x("xdotool getactivewindow") == chat + "\n" || x("xdotool getactivewindow").empty()) {
        ASSERT_LT(Clock::now(), deadline) << "the other window never came in front";
        x("xdotool search --sync --name '^xmessage$' windowactivate --sync");
        std::this_thread::sleep_for(milliseconds(300));
    }
    peer.send("bob: is anyone there\n");
    EXPECT_TRUE(wait_title(chat, "(1) Chat", seconds(10))) << title(chat);
    EXPECT_EQ(x("xprop -id " + chat + " _NET_WM_STATE").find("DEMANDS_ATTENTION"), std::string::npos)
        << "a line that does not mention the name asked for attention";
    peer.send("bob: alice, the meeting starts\n");
    EXPECT_TRUE(wait_title(chat, "(2) Chat", seconds(10))) << title(chat);
    deadline = Clock::now() + seconds(5);
    while (x("xprop -id " + chat + " _NET_WM_STATE").find("_NET_WM_STATE_DEMANDS_ATTENTION") == std::string::npos &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(200));
    EXPECT_NE(x("xprop -id " + chat + " _NET_WM_STATE").find("_NET_WM_STATE_DEMANDS_ATTENTION"), std::string::npos)
        << "the window did not ask for attention";
    std::string calls;
    deadline = Clock::now() + seconds(5);
    for (char buf[4096]; calls.find("bob: alice, the meeting starts") == std::string::npos && Clock::now() < deadline;) {
        ssize_t n = ::read(seen[0], buf, sizeof buf);
        if (n > 0)
            calls.append(buf, static_cast<size_t>(n));
        else
            std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_NE(calls.find("member=Notify"), std::string::npos) << calls;
    EXPECT_NE(calls.find("bob: alice, the meeting starts"), std::string::npos) << calls;
    // At most one notice every few seconds: a second mention right after asks for none.
    peer.send("bob: alice?\n");
    EXPECT_TRUE(wait_title(chat, "(3) Chat", seconds(10))) << title(chat);
    std::this_thread::sleep_for(milliseconds(500));
    for (char buf[4096];;) {
        ssize_t n = ::read(seen[0], buf, sizeof buf);
        if (n <= 0)
            break;
        calls.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(calls.find("bob: alice?"), std::string::npos) << calls;
    ::close(seen[0]);
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
    server.stop();
    expect_exit = true;
    ASSERT_TRUE(wait_read("Conversation", "*** connection lost ", seconds(10))) << read("Conversation");
    EXPECT_TRUE(wait_read("Status", "relay 198.18.0.1 lost, reconnecting", seconds(5))) << read("Status");
    // The relay's address goes away while it restarts, so that the peer is in the room before the
    // window comes back.
    ip_batch("addr del 198.18.0.1/24 dev rl0\n");
    bring_forward();
    type("while away");
    press("Return");
    EXPECT_TRUE(wait_read("Status", "1 line waiting", seconds(5))) << read("Status");
    ServerProcess again;
    again.start();
    ASSERT_FALSE(again.wait_for_lines(1, START_TIMEOUT).empty());
    Client peer;
    ASSERT_EQ(again.wait_for_lines(2, seconds(10)).size(), 2u);
    ip_batch("addr add 198.18.0.1/24 dev rl0\n");
    const std::string held = "alice: while away\n";
    EXPECT_EQ(peer.recv_exact(held.size(), seconds(20)), held);
    EXPECT_TRUE(wait_read("Status", "relay 198.18.0.1   name: alice", seconds(5))) << read("Status");
    EXPECT_EQ(run("cat " + dir_ + "/.config/chat_client/name"), "alice");
}

}  // namespace
