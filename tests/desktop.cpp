// desktop.cpp - the window tests' desktop: its programs started, watched and ended with the test.
#include "desktop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

Desktop::Desktop(bool session_bus, std::string window_search, milliseconds typing_delay)
    : session_bus_(session_bus), window_search_(std::move(window_search)), typing_delay_(typing_delay)
{
}

// The first line a program of the desktop writes: where it can be reached.
static std::string first_line(Program &program)
{
    program.wait_for_output("\n", seconds(20));
    std::string out = program.output();
    return out.substr(0, out.find('\n'));
}

void Desktop::SetUp()
{
    Relay::SetUp();
    char dir[] = "/tmp/relay-desktop-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    home_ = "HOME=" + dir_;
    // The services a session starts (the accessibility bus) live under this test's runtime
    // directory, not under one that tests running at once would share.
    runtime_ = "XDG_RUNTIME_DIR=" + dir_;
    // Xvfb picks a free display and says which once it takes connections, on a pipe of its own
    // (it closes the descriptor after: were it standard output, a client's connection would take
    // that number, and with it whatever the server or its children write there).
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    xvfb_.keep_descriptor(ready[1]);
    xvfb_.start("Xvfb", {"-displayfd", std::to_string(ready[1]), "-screen", "0", "1024x700x24", "-nolisten", "tcp"});
    ::close(ready[1]);
    std::string number;
    for (char c; read(ready[0], &c, 1) == 1 && c != '\n';)
        number += c;
    ::close(ready[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start: " << xvfb_.errors();
    display_ = "DISPLAY=:" + number;
    if (session_bus_) {
        bus_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"}, {display_, home_, runtime_});
        std::string address = first_line(bus_);
        ASSERT_FALSE(address.empty()) << "no D-Bus session: " << bus_.errors();
        bus_address_ = "DBUS_SESSION_BUS_ADDRESS=" + address;
        // The accessibility bus, started through the session before the window asks for it: a
        // window that finds none when it starts is never read.
        ASSERT_TRUE(eventually(
            [this] {
                return x("dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress")
                           .find("unix:") != std::string::npos;
            },
            seconds(20), milliseconds(200)))
            << "the accessibility bus did not come up";
    }
    // fluxbox gives up at once when its first connection fails, as one now and then does while
    // other tests' X servers come and go (display numbers are the whole machine's): it is started
    // again.
    auto managed = [this] { return x("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos; };
    for (int tries = 0; tries < 3 && !managed(); ++tries) {
        if (tries > 0)
            std::fprintf(stderr, "desktop: fluxbox ended (%s), started again\n", wm_.errors().c_str());
        wm_.stop();
        wm_.start("fluxbox", {}, {display_, home_});
        eventually([&] { return !wm_.running() || managed(); }, seconds(20), milliseconds(200));
    }
    ASSERT_TRUE(managed()) << "no window manager (fluxbox) came up: " << wm_.errors();
}

void Desktop::TearDown()
{
    window.stop();
    // The accessibility bus the session started ends with its session.
    other_.stop();
    wm_.stop();
    bus_.stop();
    xvfb_.stop();
    Relay::TearDown();
    if (!dir_.empty())
        std::system(("rm -rf " + dir_).c_str());
}

std::vector<std::string> Desktop::environment() const
{
    std::vector<std::string> env{display_, home_, runtime_};
    if (!bus_address_.empty())
        env.push_back(bus_address_);
    return env;
}

std::string Desktop::x(const std::string &command)
{
    std::string words;
    for (const std::string &e : environment()) {
        std::size_t eq = e.find('=');
        words += e.substr(0, eq + 1) + "'" + e.substr(eq + 1) + "' ";
    }
    return run(words + command + " 2>/dev/null");
}

std::string Desktop::x_window()
{
    std::string found = x("xdotool search --onlyvisible " + window_search_);
    return found.substr(0, found.find('\n'));
}

void Desktop::bring_forward()
{
    x("xdotool windowactivate --sync " + x_window());
}

std::string Desktop::title(const std::string &window)
{
    return x("xdotool getwindowname " + window);
}

bool Desktop::asks_for_attention(const std::string &window, Clock::duration timeout)
{
    return eventually(
        [&] { return x("xprop -id " + window + " _NET_WM_STATE").find("_NET_WM_STATE_DEMANDS_ATTENTION") != std::string::npos; },
        timeout, milliseconds(200));
}

bool Desktop::another_window_in_front(const std::function<bool()> &chat_in_front)
{
    other_.start("xmessage", {"-geometry", "300x80+500+400", "another program"}, {display_});
    return eventually(
        [&] {
            if (!chat_in_front())
                return true;
            x("xdotool search --sync --name '^xmessage$' windowactivate --sync");
            return false;
        },
        seconds(20), milliseconds(300));
}

void Desktop::type(const std::string &text)
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
    x("xdotool type --delay " + std::to_string(typing_delay_.count()) + " '" + text + "'");
}

void Desktop::press(const std::string &key)
{
    x("xdotool key " + key);
}

void Desktop::typed_lines_reach(Client &peer, const std::string &name, const std::vector<std::string> &lines)
{
    std::string sent;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        type(lines[i]);
        press(i + 1 < lines.size() ? "shift+Return" : "Return");
        sent += gb18030(name + ": " + lines[i] + "\n");
    }
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);
}

void Desktop::shot(const std::string &name)
{
    std::system("mkdir -p /tmp/shots");
    x("import -window root /tmp/shots/" + name);
}

bool Desktop::wait_shown(Part part, const std::string &text, Clock::duration timeout)
{
    return eventually([&] { return shown(part).find(text) != std::string::npos; }, timeout, milliseconds(200));
}

void Desktop::relay_lost_and_found_again(ServerProcess &again)
{
    server.stop();
    expect_exit = true;
    ASSERT_TRUE(wait_shown(Part::conversation, "*** connection lost ", seconds(10))) << shown(Part::conversation);
    EXPECT_TRUE(wait_shown(Part::status, "relay 198.18.0.1 lost, reconnecting", seconds(5))) << shown(Part::status);
    // The relay's address goes away while it restarts, so that the peer is in the room before the
    // window comes back.
    ip_batch("addr del 198.18.0.1/24 dev rl0\n");
    bring_forward();
    type("while away");
    press("Return");
    EXPECT_TRUE(wait_shown(Part::status, "1 line waiting", seconds(5))) << shown(Part::status);
    ASSERT_NO_FATAL_FAILURE(relay_back_with_a_peer_first(again, "alice: while away\n"));
    EXPECT_TRUE(wait_shown(Part::status, "relay 198.18.0.1   name: alice", seconds(5))) << shown(Part::status);
}
