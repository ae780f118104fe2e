// screen.h - the client on a terminal: messages scroll above, a status line, and an input
// line at the bottom that nothing arriving ever breaks. VT sequences only, no curses.
#pragma once

#include "client/core/room_feed.h"
#include "client/core/text.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The terminal's background, as it answers when asked (OSC 11); until then, or for good, what the
// platform's terminals have (background_dark_unless_told), or unknown.
enum class background { unknown, dark, light };

// A view of the room's feed on a terminal.
class screen {
public:
    // Takes the terminal over and shows what the feed hands over; false if it cannot, and then
    // nothing has changed. A connection lost for good calls leave with the exit status.
    bool start(void (*leave)(int status), room_feed &feed);
    // Draws no more, once the frame being drawn is out: the terminal is about to be given back.
    void stop();

    // Edits the input line from standard input until it ends; each line entered goes to on_line
    // (GB18030, no line end), which returns false to end it. Ctrl-D on an empty line and Ctrl-C end
    // it too.
    void run_editor(const std::function<bool(const std::string &)> &on_line);

private:
    void add_line(const std::string &shown);  // under mu_
    void show_line(const room_line &line);    // under mu_
    void render_loop();
    void render();  // under mu_
    void draw_input(std::string &out);  // under mu_
    bool key(const std::string &k, const std::function<bool(const std::string &)> &on_line);
    bool submit(const std::function<bool(const std::string &)> &on_line);

    void (*leave_)(int status) = nullptr;
    room_feed *feed_ = nullptr;
    room_frame frame_;  // the last taken, its storage used again

    std::mutex mu_;
    std::condition_variable changed_;
    int rows_ = 0, cols_ = 0;
    std::deque<std::string> transcript_;  // the lines as shown, for redrawing; capped
    std::size_t transcript_bytes_ = 0;
    std::size_t fresh_ = 0;  // how many of the transcript's last lines are not drawn yet
    bool stopped_ = false;
    bool redraw_all_ = true, redraw_status_ = true, redraw_input_ = true, bell_due_ = false;
    bool feed_due_ = true;  // the feed has a frame for us
    background background_ = background::unknown;  // what the terminal says its background is
    std::string relay_;
    bool connected_ = false;
    std::string name_;
    std::chrono::steady_clock::time_point last_bell_;  // when the bell last rang
    std::size_t waiting_ = 0;

    // The line editor: the line as GB18030 text, the cursor as a byte offset at a character's start.
    std::string line_;
    std::size_t cursor_ = 0;
    std::vector<std::string> history_;
    std::size_t history_at_ = 0;  // history_.size() while editing a new line
    bool pasting_ = false;
    bool paste_cr_ = false;  // a pasted CR was a line end: a LF right after it is part of it
};

// The colour a name shows in (name_colour: the same name, the same colour, on every client), in a
// shade readable on the terminal's background. An SGR sequence.
std::string colour_sequence(int colour, background behind);
