// history.h - what was said stays: every line the client shows (the room's, its own, its notes on
// the connection) kept as it was shown, in a file a local day, "HH:MM:SS text" a line in UTF-8;
// read back for the last lines at the next start, and searched. The core keeps the lines itself,
// where it hands them to the view: a front-end gets its history by using the core.
#pragma once

#include "client/core/text.h"
#include "client/core/view.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class chat_history {
public:
    // Starts keeping, unless the person turned it off (/history off, remembered) or off_this_run:
    // the days over 365 days old, and the oldest beyond 200 MB in all (today's counted), go first,
    // and then at each new day and as today grows. A day keeps 64 MB at most; empty lines are kept
    // as nothing. What it has to say (what went, what failed, that it is off) goes to view as
    // notes. Lines are written at least each second, by one thread, and by flush().
    void start(room_view &view, bool off_this_run);
    bool keeping() const { return keeping_; }
    // /history on|off: for this run and the ones after; said to the view.
    void turn(bool on);

    // What is shown, as the core hands it to the view: the room's bytes as they come, a line of
    // our own (GB18030), a note of the client's (ASCII or GB18030).
    void chat(const std::string &bytes, bool at_end);
    void own_line(const std::string &line);
    void note(const std::string &text);
    // Writes what waits, now: at exit. A write that stalls holds it 2 s at most.
    void flush();

    // The last n lines kept, oldest first; only the ends of the newest files are read.
    static std::vector<kept_line> recent(std::size_t n);
    // The newest `most` lines kept whose text holds `text` (GB18030), the case of Latin letters
    // aside; oldest first.
    static std::vector<kept_line> search(const std::string &text, std::size_t most);
    // Every line kept whose text holds `text` (UTF-8; every line if ""), the case of Latin letters
    // aside, oldest first, to `each`.
    static void each(const std::string &text, const std::function<void(const kept_line &)> &each);

private:
    void keep(const std::string &shown);
    void flusher();
    void write_batches(std::deque<std::pair<std::string, std::string>> &batches);
    void prune(const std::string &today);
    void say(const std::string &text);
    static std::string day_full_note();

    room_view *view_ = nullptr;
    std::atomic<bool> keeping_{false};
    std::atomic<bool> started_{false};

    std::mutex mu_;  // the lines on their way to the files
    std::condition_variable full_;
    std::condition_variable flushed_;
    line_cutter cutter_;
    std::deque<std::pair<std::string, std::string>> batches_;  // a day's name, and its lines
    std::size_t waiting_bytes_ = 0;
    unsigned long long dropped_ = 0;      // lines not kept while a write stalled, not yet said
    unsigned long long flush_asked_ = 0;  // flush() calls, and the last one the flusher has done
    unsigned long long flush_done_ = 0;

    std::mutex write_mu_;  // the flusher's, and prune()'s at the start
    std::string open_day_;
    std::intptr_t file_ = -1;
    unsigned long long day_bytes_ = 0;  // the open day's file, as written so far
    unsigned long long pruned_at_ = 0;  // its size when the bounds were last kept
    std::string full_day_;              // a day that reached its bytes: nothing more of it is kept
    std::set<std::string> refused_;     // days whose file is no regular file of the user's own: not kept
    bool folder_refused_ = false;       // the folder is not the user's own: nothing is kept (said once)
    bool failing_ = false;              // a failure was said, and nothing has been written since
};

// The client's history: one for the process.
chat_history &client_history();
