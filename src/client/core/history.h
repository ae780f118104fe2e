// history.h - what was said stays: every line the client shows (the room's, its own, its notes on
// the connection) kept as it was shown, in a file a local day, "HH:MM:SS text" a line in UTF-8;
// read back for the last lines at the next start, and searched. The room's feed keeps each line as
// it makes it (room_feed.h): a front-end gets its history by showing the feed.
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
    // the days over 365 days old, and the oldest beyond 200 MB in all, go first, and then at each
    // new day. What it has to say (what went, what failed, that it is off) goes to says. Lines are
    // written at least each second, and by flush(); before each second's writing, tick is called
    // (the feed ends a line that waited too long for its end).
    void start(std::function<void(const std::string &)> says, bool off_this_run, std::function<void()> tick = {});
    bool keeping() const { return keeping_; }
    // /history on|off: for this run and the ones after; said to the view.
    void turn(bool on);

    // A line as it is shown (UTF-8, made safe on one row), on this day ("YYYY-MM-DD") at this time
    // ("HH:MM:SS"): kept if the history is on.
    void keep(const std::string &day, const std::string &hh_mm_ss, const std::string &utf8);
    // Writes what waits, now: at exit.
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
    void flusher();
    void write_batches(std::deque<std::pair<std::string, std::string>> &batches);
    void prune(const std::string &today);
    void say(const std::string &text);
    void said_later();

    std::function<void(const std::string &)> say_;
    std::function<void()> tick_;
    std::atomic<bool> keeping_{false};
    std::atomic<bool> started_{false};

    std::mutex mu_;  // the lines on their way to the files
    std::condition_variable full_;
    std::deque<std::pair<std::string, std::string>> batches_;  // a day's name, and its lines
    std::size_t waiting_bytes_ = 0;

    std::mutex write_mu_;  // one writer at a time: the flusher, or flush() at exit
    std::string open_day_;
    std::intptr_t file_ = -1;
    std::set<std::string> refused_;  // days whose file is no regular file: not kept
    bool failing_ = false;           // a failure was said, and nothing has been written since
    std::vector<std::string> to_say_;  // said under write_mu_, to be said once it is let go
};

// The client's history: one for the process.
chat_history &client_history();
