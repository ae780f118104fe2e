// screen.h - the client on a terminal: messages scroll above, a status line, and an input
// line at the bottom that nothing arriving ever breaks. VT sequences only, no curses.
#pragma once

#include "client/core/view.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class screen : public room_view {
public:
    // Takes the terminal over; false if it cannot, and then nothing has changed.
    bool start();
    // Draws no more, once the frame being drawn is out: the terminal is about to be given back.
    void stop();

    void chat(const std::string &bytes, bool at_end) override;
    void note(const std::string &text) override;
    void relay_state(const std::string &address, bool connected) override;

    // A line this client sent (GB18030, its name prefix included), shown as sent.
    void own_line(const std::string &line);
    // The client's answer to a command, or anything else it has to say, shown as "*** text".
    void say(const std::string &text) { note(text); }
    void set_name(const std::string &name);
    void set_bell(bool on);
    void set_waiting(std::size_t lines);
    // The names heard in lines of the form "NAME: text" within the time, most recent first.
    std::vector<std::string> names_heard(std::chrono::seconds within);

    // Edits the input line from standard input until it ends; each line entered goes to on_line
    // (GB18030, no line end). Ctrl-D on an empty line and Ctrl-C end it too.
    void run_editor(const std::function<void(const std::string &)> &on_line);

private:
    void add_line(const std::string &shown);  // under mu_
    void show_chat_line(const std::string &line);  // under mu_
    void heard(const std::string &name);  // under mu_
    void take_partial(const char *bytes, std::size_t len);  // under mu_
    void end_partial();  // under mu_
    void render_loop();
    void render();  // under mu_
    void draw_input(std::string &out);  // under mu_
    void key(const std::string &k, const std::function<void(const std::string &)> &on_line);
    void submit(const std::function<void(const std::string &)> &on_line);

    std::mutex mu_;
    std::condition_variable changed_;
    int rows_ = 0, cols_ = 0;
    std::deque<std::string> transcript_;  // the lines as shown, for redrawing; capped
    std::size_t transcript_bytes_ = 0;
    std::size_t fresh_ = 0;  // how many of the transcript's last lines are not drawn yet
    bool stopped_ = false;
    bool redraw_all_ = true, redraw_status_ = true, redraw_input_ = true, bell_due_ = false;
    std::string partial_;  // the start of a line from the relay whose end is still to come; capped
    std::size_t partial_cut_ = 0;  // the bytes of that line past the cap, not kept
    bool cut_ends_cr_ = false;     // the last of them was a CR (the line end's, if a LF follows)
    std::chrono::steady_clock::time_point partial_since_;  // when its first byte came
    std::string relay_;
    bool connected_ = false;
    std::string name_;
    bool bell_ = true;
    std::chrono::steady_clock::time_point last_bell_;  // when the bell last rang
    std::size_t waiting_ = 0;
    // The names heard lately, most recent first, each once; capped in time and count.
    using heard_list = std::list<std::pair<std::string, std::chrono::steady_clock::time_point>>;
    heard_list heard_;
    std::unordered_map<std::string, heard_list::iterator> heard_at_;

    // The line editor: the line as GB18030 text, the cursor as a byte offset at a character's start.
    std::string line_;
    std::size_t cursor_ = 0;
    std::vector<std::string> history_;
    std::size_t history_at_ = 0;  // history_.size() while editing a new line
    bool pasting_ = false;
    bool paste_cr_ = false;  // a pasted CR was a line end: a LF right after it is part of it
};

// The colour a name shows in: the same name, the same colour, on every client. An SGR sequence.
std::string colour_of(const std::string &name);
