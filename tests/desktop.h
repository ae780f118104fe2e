// desktop.h - a desktop of each test's own for the window tests: an X server (Xvfb), a window
// manager (fluxbox, which keeps _NET_WM_STATE, where a window asks for attention) and, for a window
// read over the accessibility bus, a D-Bus session; driven and read with the X clients a person's
// keyboard and eyes stand in for (xdotool, xprop, import).
#pragma once

#include "harness.h"

#include <functional>
#include <string>
#include <vector>

class Desktop : public Relay {
protected:
    // session_bus: a D-Bus session too, and through it the accessibility bus. window_search: the
    // words of `xdotool search` that find the chat window. typing_delay: between the keys typed.
    Desktop(bool session_bus, std::string window_search, milliseconds typing_delay);

    void SetUp() override;
    void TearDown() override;

    // The desktop's environment, "NAME=value" each: display, home, runtime directory, session bus.
    std::vector<std::string> environment() const;
    // Runs an X client (xdotool, xprop, import) or another program of the desktop's; its output.
    std::string x(const std::string &command);

    // The chat window's X window; "" if none shows.
    std::string x_window();
    void bring_forward();
    // The window's title as the window manager shows it, with its line end.
    std::string title(const std::string &window);
    // Whether the window asks for attention (_NET_WM_STATE_DEMANDS_ATTENTION) within the time-out.
    bool asks_for_attention(const std::string &window, Clock::duration timeout);
    // Another program's window (xmessage) brought in front until the chat window is not, as
    // chat_in_front tells; false if it still was after 20 s.
    bool another_window_in_front(const std::function<bool()> &chat_in_front);

    // Types with the X keyboard, as a person does. A character the keyboard lacks is first given a
    // spare key of its own (xmodmap): xdotool would otherwise map one for the moment and back, and
    // the window may read the key after it is mapped back, losing the character.
    void type(const std::string &text);
    void press(const std::string &key);
    // Types the lines, Shift+Enter between them and Enter after the last: the peer receives each as
    // a line of its own from the window's user, "name: line" in GB18030.
    void typed_lines_reach(Client &peer, const std::string &name, const std::vector<std::string> &lines);
    // The whole screen, into /tmp/shots.
    void shot(const std::string &name);

    // The parts of the chat window that the tests read, and what one shows, as each window's test
    // reads it.
    enum class Part { conversation, status };
    virtual std::string shown(Part part) = 0;
    bool wait_shown(Part part, const std::string &text, Clock::duration timeout);

    // The relay at 198.18.0.1, with the window on it as alice, stopped and started again (as
    // `again`): the window says it lost the relay; a line typed meanwhile waits, and reaches a peer
    // that came in before the window came back (the address is gone while the relay restarts); the
    // status bar says it is back.
    void relay_lost_and_found_again(ServerProcess &again);

    Program window;  // the chat window, ended before its desktop
    std::string dir_, display_, home_, runtime_, bus_address_;

private:
    bool session_bus_;
    std::string window_search_;
    milliseconds typing_delay_;
    Program xvfb_, bus_, wm_, other_;
};
