// window_room.h - the room as the chat window shows it: what the client's core reports, from its
// threads, gathered into shown lines that the window's thread takes a frame at a time.
#pragma once

#include "client/core/text.h"
#include "client/core/view.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One line of the message list, shown safe.
struct shown_line {
    enum kind_t { CHAT, OWN, NOTE, KEPT } kind = CHAT;  // KEPT: from the history, as it was shown
    kept_kind kept = kept_kind::peer;  // a KEPT line's kind: our own bold, a note dimmed, a peer's plain
    std::wstring time;  // "HH:MM"; a line from the history's has its day before, where not today
    std::wstring name;  // the name part ("NAME: " or "* NAME "), coloured; may be empty
    std::wstring text;  // the rest
    int colour = 0;     // of the name: 0 to 11
    bool mention = false;  // a peer's line that says our name
};

// What the status bar shows.
struct room_status {
    std::string relay;  // "" while none is known
    bool connected = false;
    std::string name;
    std::size_t waiting = 0;
    bool bell = true;
};

class window_room : public chat_view {
public:
    // Where the lines shown are told, for the names heard and whether a line mentions the name (the
    // commands' heard); set before the connection starts.
    void tell_lines_to(std::function<heard_line(const std::string &)> hear) { hear_ = std::move(hear); }

    // From the core's threads, or the window's.
    void chat(const std::string &bytes, bool at_end) override;
    void note(const std::string &text) override;
    void relay_state(const std::string &address, bool connected) override;
    void lost(int status) override { lost_ = status; }
    void own_line(const std::string &line) override;
    void set_name(const std::string &name) override;
    void set_bell(bool on) override;
    void set_waiting(std::size_t lines) override;
    void history_lines(const std::vector<kept_line> &lines, bool found) override;

    // For the window's thread, once a frame: the lines that came since the last call (at most a
    // list's worth: a room faster than the eye loses the oldest), and the state. A line begun and
    // not ended for a while is shown as it is.
    void take(std::vector<shown_line> &lines, room_status &status, bool &status_changed);
    // The exit status of a connection lost for good, or -1 while there is none.
    int lost_status() const { return lost_; }

private:
    void show_chat_line(const std::string &raw);  // under mu_
    void add(shown_line line);  // under mu_

    std::mutex mu_;
    std::deque<shown_line> fresh_;
    std::size_t fresh_bytes_ = 0;
    line_cutter cutter_;  // the room's stream, into lines
    room_status status_;
    bool status_changed_ = true;
    std::function<heard_line(const std::string &)> hear_;
    std::atomic<int> lost_{-1};
};

// Lines kept in the message list, and so at most waiting to be shown.
const std::size_t LIST_CAP = 3000;
