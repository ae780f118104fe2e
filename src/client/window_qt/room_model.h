// room_model.h - the room as the Linux window shows it: what the client's core reports, from its
// threads, gathered into lines shown safe, which the window's thread takes a frame at a time.
#pragma once

#include "client/core/text.h"
#include "client/core/connection.h"
#include "client/core/view.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One line of the conversation, shown safe: nothing in it can be obeyed or hide text.
struct room_line {
    enum kind_t { CHAT, OWN, NOTE } kind = CHAT;
    QString time;  // "HH:MM"
    QString name;  // the name part ("NAME: " or "* NAME "), coloured; may be empty
    QString text;  // the rest
    int colour = 0;        // of the name: 0 to 11
    bool mention = false;  // a peer's line that says our name, with the bell on
};

// What the status bar shows.
struct room_state {
    std::string relay;  // "" while none is known
    bool connected = false;
    std::string name;
    std::size_t waiting = 0;
    bool bell = true;
};

class room_model : public chat_view {
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

    // For the window's thread, once a frame: the lines that came since the last call (at most
    // LINES_KEPT: a room faster than the eye loses the oldest), and the state. A line begun and not
    // ended for a while is shown as it is.
    void take(std::vector<room_line> &lines, room_state &state, bool &state_changed);
    // The exit status of a connection lost for good, or -1 while there is none.
    int lost_status() const { return lost_; }

    // Lines kept in the conversation, and so at most waiting to be shown.
    static const std::size_t LINES_KEPT = 3000;

private:
    void show_chat_line(const std::string &raw);  // under mu_
    void add(room_line line);                     // under mu_

    std::mutex mu_;
    std::deque<room_line> fresh_;
    std::size_t fresh_chars_ = 0;
    line_cutter cutter_;
    room_state state_;
    bool state_changed_ = true;
    std::function<heard_line(const std::string &)> hear_;
    std::atomic<int> lost_{-1};
};

// GB18030 from the room as the window shows it on one row, by the client's one display rule
// (safe_to_show): what a peer sends cannot move text about, hide it or turn it round.
QString shown_text(const std::string &gb18030);
// Text typed in the window as it travels.
std::string gb18030_text(const QString &typed);
