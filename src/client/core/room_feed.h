// room_feed.h - the room as every front-end shows it. What the connection receives and what the
// commands say comes in here, from the core's threads; it is cut into lines once (line_cutter),
// read as whole characters, made safe by the display rule (safe_to_show) and decoded to UTF-8 once,
// kept in the history once, and handed to the front-end a frame at a time under one flood policy.
// A front-end is a view: it takes a frame (take) and turns its lines into its own strings.
#pragma once

#include "client/core/text.h"
#include "client/core/view.h"
#include "platform/system.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class chat_history;

// The client's one clock: the steady milliseconds that time waits and floods, and the local time of
// day that lines are stamped with. A test gives one of its own.
class feed_clock {
public:
    virtual ~feed_clock() = default;
    virtual long long steady_ms() = 0;
    virtual clock_time local() = 0;
};
// The system's. The feed reads the local time at most every tenth of a second (reading it can cost
// a walk over the time zone files: not something to do for each line of a flood).
feed_clock &system_clock();

// One line of the room as it is shown: every string in it is UTF-8 and safe (nothing in it can be
// obeyed, hide text or turn it round), on one row.
struct room_line {
    enum kind_t {
        PEER,  // a line from the room
        OWN,   // a line this client sent
        NOTE,  // a sentence of the client's own; its text begins "*** "
        KEPT,  // a line of the history shown again at the start, or found by /search
        RULE,  // the rule between the lines shown again and this run's
    } kind = PEER;
    kind_t kept_as = PEER;  // a KEPT line's kind when it was shown: PEER, OWN or NOTE
    std::string time;      // "HH:MM"; a KEPT line's with its day before where that is not today
                           // ("YYYY-MM-DD HH:MM"), and with its seconds where found
    std::string name;      // the name part ("NAME: " or "* NAME "), coloured; may be empty
    int colour = 0;        // the name's: 0 to 11 (name_colour)
    bool mention = false;  // a peer's line that says our name, with the bell on
    std::size_t offer = 0; // a peer's line that offers a file: the number /get fetches it by; else 0
    bool outcome = false;  // a note that says how a transfer ended
    std::string text;      // the rest
};

// What a status bar shows.
struct room_status {
    std::string relay;  // the relay's address, "" while none is known (as typed or heard: show it safe)
    bool connected = false;
    std::string name;   // GB18030, "" for none (show it safe)
    std::size_t waiting = 0;  // lines typed that wait for the relay
    std::string transfers;    // the files moving, in a few words (UTF-8, safe); "" when none
    int percent = -1;         // how far they are, 0 to 100; -1 when none
    bool bell = true;
};

// What a view takes once a frame.
struct room_frame {
    std::vector<room_line> lines;  // oldest first
    bool status_changed = false;   // status differs from the last frame's (true at the first)
    room_status status;
    int lost = -1;  // the exit status of a connection lost for good, or -1
    std::size_t heard = 0;  // how many of the lines are the peers' (for a count of the unread)
    int mention = -1;       // the index of the last of them that mentions our name, or -1
    int outcome = -1;       // the index of the last note that says how a transfer ended, or -1
    bool more = false;  // lines still wait: take the next frame without waiting to be woken
};

// The characters a line takes in a frame: its code points, and two for the space and the line end.
std::size_t line_chars(const room_line &line);

class room_feed : public chat_view {
public:
    // The flood policy. A frame takes at most FRAME_LINES lines and FRAME_CHARS characters (one
    // line at least), oldest first; the rest wait for the next frames. Past WAITING_LINES lines or
    // WAITING_CHARS characters waiting, the oldest are dropped and counted, and told in a note at
    // most every SKIP_NOTE_MS. While lines have been dropped within FLOOD_MS, a line longer than
    // FRAME_CHARS characters shows that many, saying how many more there were. The history keeps
    // every line all the same.
    static const std::size_t FRAME_LINES = 100;
    static const std::size_t FRAME_CHARS = 4000;
    static const std::size_t WAITING_LINES = 2 * FRAME_LINES;
    static const std::size_t WAITING_CHARS = 64 * 1024;
    static const long long SKIP_NOTE_MS = 5000;
    static const long long FLOOD_MS = 1000;
    // The characters of a line of the history shown again or found: the file keeps them whole.
    static const std::size_t KEPT_CHARS = 1000;

    explicit room_feed(feed_clock &clock = system_clock());
    room_feed(const room_feed &) = delete;
    room_feed &operator=(const room_feed &) = delete;

    // ---- the wiring, before the connection starts (running_client does it) ----
    // What a room's line says: its name, and whether it mentions ours (the commands' heard). Without
    // it the name is read from the line alone and nothing mentions.
    void hear_with(std::function<heard_line(const std::string &gb18030)> hear);
    // Where every line made is kept as it is made (nullptr: nowhere); its own words come back here
    // as notes it does not keep.
    void keep_in(chat_history *history);
    // Called, from any thread, when a frame has something new: the view's cue to take one soon.
    void wake_with(std::function<void()> wake);
    // Pipes: the room's bytes go on to raw as they came, and the notes and the loss too; lines are
    // still cut and kept, but no frames are made.
    void pass_to(room_view &raw);

    // ---- from the core's threads (room_view and chat_view) ----
    void chat(const std::string &bytes, bool at_end) override;
    void note(const std::string &text) override;  // kept in the history
    void relay_state(const std::string &address, bool connected) override;
    void lost(int status) override;
    void own_line(const std::string &line) override;
    void answer(const std::string &text) override;  // a note not kept: a command's answer
    void set_name(const std::string &name) override;
    void set_bell(bool on) override;
    void set_waiting(std::size_t lines) override;
    void history_lines(const std::vector<kept_line> &lines, bool found) override;
    void transfer_progress(const std::string &text, int percent) override;
    void transfer_outcome(const std::string &text) override;  // kept in the history

    // ---- for the view's thread ----
    // The next frame: the lines due under the flood policy, and the status. A line begun whose end
    // has not come within line_cutter::LINE_WAIT shows as it is. The vector is reused.
    void take(room_frame &frame);
    // Ends a line begun that has waited long enough, where no view takes frames (pipes).
    void tick();

private:
    void add(room_line line);                          // under mu_
    void peer_line(const std::string &raw);            // under mu_
    void keep(const room_line &line);                  // under mu_
    room_line stamped(room_line::kind_t kind);         // under mu_
    void note_line(const std::string &text, bool kept, bool outcome = false);
    void wake_if_due(std::unique_lock<std::mutex> &lock);

    feed_clock &clock_;
    std::function<heard_line(const std::string &)> hear_;
    chat_history *history_ = nullptr;
    std::function<void()> wake_;
    room_view *raw_ = nullptr;

    std::mutex mu_;
    line_cutter cutter_;
    std::deque<room_line> waiting_;
    std::size_t waiting_chars_ = 0;
    std::size_t skipped_ = 0;          // lines dropped, not yet told
    long long dropped_ms_ = -1000000;  // when the last was
    long long skip_told_ms_ = -1000000;
    room_status status_;
    bool status_changed_ = true;
    bool woke_ = false;      // wake_ was called and no frame has been taken since
    bool wake_due_ = false;  // something new came: wake_ is called once mu_ is let go
    int lost_ = -1;
    // The clock read, as lines are stamped: the time of day shown, and the day and the time kept.
    long long read_ms_ = -1000000;
    std::string hh_mm_, day_, hh_mm_ss_;
};
