// history.cpp - the history: lines kept as shown, a file a day, read back and searched.
#include "client/core/history.h"

#include "platform/history_files.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "platform/terminal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <functional>
#include <thread>

namespace {

using std::chrono::steady_clock;

const char SETTING[] = "history";               // the settings file that says "off" or "on"
const long KEPT_DAYS = 365;                      // a day older than this goes
const unsigned long long KEPT_BYTES = 200ull << 20;  // and the oldest days beyond this in all
const unsigned long long DAY_BYTES = 64ull << 20;  // kept a day at most: a flood stops there till the next
const unsigned long long PRUNE_STEP = 16ull << 20;  // today's growth after which the bound is kept again
const auto FLUSH_EVERY = std::chrono::seconds(1);
const std::size_t FLUSH_BYTES = 1u << 20;       // a burst is written sooner
const std::size_t WAITING_MOST = 16u << 20;     // lines waiting for a write that stalls, at most
const auto FLUSH_WAIT = std::chrono::seconds(2);  // flush() waits at most this for a write that stalls
const unsigned long long TAIL_BYTES = 256u << 10;  // read from the end of a file for the last lines
const std::size_t READ_BLOCK = 1u << 20;         // searches read the files a block at a time

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long days_from_civil(int y, int m, int d)
{
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long day_number(const std::string &name)
{
    return days_from_civil(std::atoi(name.substr(0, 4).c_str()), std::atoi(name.substr(5, 2).c_str()),
                           std::atoi(name.substr(8, 2).c_str()));
}

std::string today_file()
{
    clock_time t = local_clock();
    char day[32];
    std::snprintf(day, sizeof day, "%04d-%02d-%02d.txt", t.year, t.month, t.day);
    return day;
}

// Where the text of a kept line begins, after its time and its kind: "HH:MM:SS text" (a peer's,
// or any line of a file kept before kinds were), "HH:MM:SS\to text" (our own), "HH:MM:SS\tn text"
// (a note); 0 if the line has no time. *kind says whose it is.
std::size_t text_start(const char *p, std::size_t len, kept_kind *kind)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    *kind = kept_kind::peer;
    bool timed = len >= 9 && digit(p[0]) && digit(p[1]) && p[2] == ':' && digit(p[3]) && digit(p[4]) && p[5] == ':' &&
                 digit(p[6]) && digit(p[7]);
    if (!timed)
        return 0;
    if (p[8] == ' ')
        return 9;
    if (p[8] == '\t' && len >= 11 && (p[9] == 'o' || p[9] == 'n') && p[10] == ' ') {
        *kind = p[9] == 'o' ? kept_kind::own : kept_kind::note;
        return 11;
    }
    return 0;
}

// A line of a file as it is given back: its time if it has one, whose it is, and its text made
// safe again by the display rule, whatever the file holds (NUL bytes, what is no UTF-8, controls).
kept_line read_back(const std::string &file, const char *p, std::size_t len)
{
    kept_line k;
    k.day = file.substr(0, 10);
    if (len > 0 && p[len - 1] == '\r')
        --len;
    std::size_t text_at = text_start(p, len, &k.kind);
    if (text_at > 0)
        k.time.assign(p, 8);
    k.text = safe_to_show(gb18030_from_utf8(std::string(p + text_at, len - text_at)), true);
    return k;
}

char folded(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void lower_latin(std::string &text)
{
    for (char &c : text)
        c = folded(c);
}

std::vector<std::string> day_files_oldest_first()
{
    std::vector<std::string> names;
    for (const history_file_entry &e : list_history_files())
        names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

// Finds text with Latin letters in either case, the Boyer-Moore way: it moves on by what it has
// matched (the good suffix) as well as by the byte that did not match, so that no pattern makes
// it go over the text again and again: linear in the text, and most bytes never looked at. No
// copy of the text is made.
class latin_finder {
public:
    explicit latin_finder(const std::string &lowered) : needle_(lowered)
    {
        const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(needle_.size());
        for (std::ptrdiff_t &s : bad_)
            s = m;
        for (std::ptrdiff_t i = 0; i + 1 < m; ++i) {
            unsigned char c = static_cast<unsigned char>(needle_[i]);
            bad_[c] = m - 1 - i;
            if (c >= 'a' && c <= 'z')
                bad_[c - 'a' + 'A'] = m - 1 - i;
        }
        if (m == 0)
            return;
        std::size_t count[256] = {};
        for (char c : needle_)
            ++count[static_cast<unsigned char>(c)];
        guard_ = m - 1;
        for (std::ptrdiff_t i = m - 2; i >= 0; --i)
            if (count[static_cast<unsigned char>(needle_[i])] < count[static_cast<unsigned char>(needle_[guard_])])
                guard_ = i;
        guard_lower_ = guard_upper_ = needle_[guard_];
        // The rarest pair of bytes side by side in the needle (the last of them), if it has two.
        for (std::ptrdiff_t i = m - 2, fewest = m + 1; i >= 0; --i) {
            std::ptrdiff_t n = 0;
            for (std::ptrdiff_t k = 0; k + 1 < m; ++k)
                n += needle_[k] == needle_[i] && needle_[k + 1] == needle_[i + 1];
            if (n < fewest) {
                fewest = n;
                pair_ = i;
            }
            if (i < m - 64)
                break;  // a long needle's end has pairs enough to choose from
        }
        if (pair_ >= 0) {
            pair_first_ = needle_[pair_];
            pair_second_ = needle_[pair_ + 1];
        }
        if (guard_lower_ >= 'a' && guard_lower_ <= 'z')
            guard_upper_ = static_cast<char>(guard_lower_ - 'a' + 'A');
        // suffix[i]: the length of the longest piece ending at i that is also the needle's end.
        std::vector<std::ptrdiff_t> suffix(static_cast<std::size_t>(m));
        suffix[m - 1] = m;
        for (std::ptrdiff_t i = m - 2, g = m - 1, f = m - 1; i >= 0; --i) {
            if (i > g && suffix[i + m - 1 - f] < i - g) {
                suffix[i] = suffix[i + m - 1 - f];
            } else {
                g = std::min(g, i);
                f = i;
                while (g >= 0 && needle_[g] == needle_[g + m - 1 - f])
                    --g;
                suffix[i] = f - g;
            }
        }
        good_.assign(static_cast<std::size_t>(m), m);
        for (std::ptrdiff_t i = m - 1, j = 0; i >= 0; --i)
            if (suffix[i] == i + 1)
                for (; j < m - 1 - i; ++j)
                    if (good_[j] == m)
                        good_[j] = m - 1 - i;
        for (std::ptrdiff_t i = 0; i + 1 < m; ++i)
            good_[m - 1 - suffix[i]] = m - 1 - i;
    }
    bool empty() const { return needle_.empty(); }
    // Where the needle (not empty) first is in y[from, to), or npos.
    std::size_t find(const char *y, std::size_t from, std::size_t to) const
    {
        const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(needle_.size());
        const char *x = needle_.data();
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(to), last = end - m;
        // Each place is first asked whether the needle's rarest byte is where it must be (memchr
        // finds the next ones): the places between, where it is not, are never looked at. Where
        // that byte is everywhere, or that ever costs more than the plain way would, the rest is
        // searched the plain way.
        std::ptrdiff_t lower = -1, upper = -1;  // the next place of the guard's byte in each case
        std::ptrdiff_t budget = 4 * (end - static_cast<std::ptrdiff_t>(from)) + 2 * m;
        int gained_nothing = 0, pair_gained_nothing = 0;
        for (std::ptrdiff_t j = static_cast<std::ptrdiff_t>(from); j <= last;) {
            if (budget > 0 && gained_nothing < 16) {
                std::ptrdiff_t at = j + guard_;
                lower = next_place(y, at, end, guard_lower_, lower);
                upper = guard_upper_ == guard_lower_ ? lower : next_place(y, at, end, guard_upper_, upper);
                std::ptrdiff_t q = std::min(lower, upper);
                if (q >= end || q - guard_ > last)
                    return std::string::npos;
                gained_nothing = q - guard_ == j ? gained_nothing + 1 : 0;
                j = q - guard_;
            } else if (budget > 0 && pair_ >= 0 && pair_gained_nothing < 16) {
                // The byte is everywhere: the needle's rarest pair of bytes may not be.
                std::ptrdiff_t q = j + pair_;
                const std::ptrdiff_t stop = last + pair_;
                while (q <= stop && !(folded(y[q]) == pair_first_ && folded(y[q + 1]) == pair_second_))
                    ++q;
                if (q > stop)
                    return std::string::npos;
                pair_gained_nothing = q - pair_ == j ? pair_gained_nothing + 1 : 0;
                j = q - pair_;
            }
            std::ptrdiff_t i = m - 1;
            while (i >= 0 && x[i] == folded(y[i + j]))
                --i;
            budget -= m - i;
            if (i < 0)
                return static_cast<std::size_t>(j);
            j += std::max(good_[i], bad_[static_cast<unsigned char>(y[i + j])] - m + 1 + i);
        }
        return std::string::npos;
    }

private:
    // The next place at or after `at` (before end) of byte c, given the last found (still good if
    // not before at); end if none.
    static std::ptrdiff_t next_place(const char *y, std::ptrdiff_t at, std::ptrdiff_t end, char c, std::ptrdiff_t known)
    {
        if (known >= at)
            return known;
        const void *found = at < end ? std::memchr(y + at, c, static_cast<std::size_t>(end - at)) : nullptr;
        return found == nullptr ? end : static_cast<const char *>(found) - y;
    }

    std::string needle_;
    std::ptrdiff_t guard_ = 0;              // where the needle's rarest byte is (the last of them)
    char guard_lower_ = 0, guard_upper_ = 0;  // that byte, in both cases if a letter
    std::ptrdiff_t pair_ = -1;              // where the rarest pair of bytes is, -1 if none
    char pair_first_ = 0, pair_second_ = 0;   // that pair (folded)
    std::ptrdiff_t bad_[256];          // the shift for the byte that did not match
    std::vector<std::ptrdiff_t> good_;  // the shift for what matched before it
};

// Calls found(start, length) for each line of p[0, len) (whole lines, the last maybe without its
// end) that holds the finder's text in its text (after the time), or for every line if it is empty.
void scan(const char *p, std::size_t len, latin_finder &finder, const std::function<void(std::size_t, std::size_t)> &found)
{
    auto line_end = [p, len](std::size_t at) {
        const void *nl = std::memchr(p + at, '\n', len - at);
        return nl == nullptr ? len : static_cast<std::size_t>(static_cast<const char *>(nl) - p);
    };
    if (finder.empty()) {
        for (std::size_t at = 0; at < len;) {
            std::size_t end = line_end(at);
            found(at, end - at);
            at = end + 1;
        }
        return;
    }
    for (std::size_t from = 0; from < len;) {
        std::size_t at = finder.find(p, from, len);
        if (at == std::string::npos)
            break;
        std::size_t start = at;
        while (start > from && p[start - 1] != '\n')
            --start;
        std::size_t end = line_end(at);
        kept_kind kind;
        std::size_t text_at = start + text_start(p + start, end - start, &kind);
        // A hit in the time does not count: the line's text is looked at on its own.
        if (at < text_at && finder.find(p, text_at, end) == std::string::npos) {
            from = end + 1;
            continue;
        }
        found(start, end - start);
        from = end + 1;
    }
}

// Reads a day's file a block at a time and scans its lines (see scan), handing each found to
// `found` with the bytes it is in: what is held is two blocks at most, whatever the file's size.
// A line longer than a block (no kept line is; a damaged file's may be) is read in pieces.
void scan_file(const std::string &name, latin_finder &finder, const std::function<void(const char *, std::size_t)> &found)
{
    history_file f = open_history_reading(name.c_str());
    if (f == NO_HISTORY_FILE)
        return;
    std::string held;
    unsigned long long at = 0;
    for (bool end = false; !end;) {
        std::size_t had = held.size();
        held.resize(had + READ_BLOCK);
        long n = read_history_block(f, at, &held[had], READ_BLOCK);
        n = n < 0 ? 0 : n;
        held.resize(had + static_cast<std::size_t>(n));
        at += static_cast<unsigned long long>(n);
        end = n == 0;
        std::size_t whole = held.size();
        if (!end) {
            std::size_t last = held.rfind('\n');
            whole = last != std::string::npos ? last + 1 : held.size() >= READ_BLOCK ? held.size() : 0;
        }
        const char *p = held.data();
        scan(p, whole, finder, [&](std::size_t start, std::size_t len) { found(p + start, len); });
        held.erase(0, whole);
    }
    close_history_file(f);
}

}  // namespace

void chat_view::history_lines(const std::vector<kept_line> &lines, bool)
{
    for (const kept_line &k : lines)
        note(k.day + " " + k.time + " " + k.text);
}

chat_history &client_history()
{
    static chat_history history;
    return history;
}

void chat_history::say(const std::string &text)
{
    if (say_)
        say_(text);
}

// What is to be said under write_mu_ waits until it is let go (said_later): the feed that hears it
// may be keeping a line here meanwhile.

void chat_history::said_later()
{
    std::vector<std::string> said;
    {
        std::lock_guard<std::mutex> lock(write_mu_);
        said.swap(to_say_);
    }
    for (const std::string &text : said)
        if (say_)
            say_(text);
}

void chat_history::start(std::function<void(const std::string &)> says, bool off_this_run, std::function<void()> tick)
{
    say_ = std::move(says);
    tick_ = std::move(tick);
    char setting[16];
    char why[512] = "";
    long n = read_settings_file(SETTING, setting, sizeof setting, why, sizeof why);
    bool turned_off = n >= 3 && std::string(setting, 3) == "off";
    if (off_this_run)
        say("the history is off for this run (--no-history): nothing shown is kept");
    else if (turned_off)
        say("the history is off: nothing shown is kept (/history on keeps it again)");
    keeping_ = !off_this_run && !turned_off;
    if (started_.exchange(true))
        return;
    {
        std::lock_guard<std::mutex> lock(write_mu_);
        prune(today_file());
    }
    said_later();
    std::thread(&chat_history::flusher, this).detach();
}

void chat_history::turn(bool on)
{
    char why[512] = "";
    keeping_ = on;
    say(on ? "the history is on: what is shown is kept in " + history_folder_text()
           : std::string("the history is off: nothing shown from now on is kept"));
    if (write_settings_file(SETTING, on ? "on" : "off", on ? 2 : 3, why, sizeof why) != 0)
        say(std::string("the choice could not be remembered: ") + why + "; it holds for this run");
}

void chat_history::keep(const std::string &day, const std::string &hh_mm_ss, const std::string &utf8, kept_kind kind)
{
    // An empty line is kept as nothing, and so is a line while a write that stalls holds
    // WAITING_MOST bytes already.
    if (!keeping_ || utf8.empty())
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (waiting_bytes_ >= WAITING_MOST) {
        ++dropped_;
        return;
    }
    std::string file = day + ".txt";
    if (batches_.empty() || batches_.back().first != file)
        batches_.emplace_back(file, std::string());
    std::string &batch = batches_.back().second;
    std::size_t before = batch.size();
    batch += hh_mm_ss;
    batch += kind == kept_kind::own ? "\to " : kind == kept_kind::note ? "\tn " : " ";
    batch += utf8;
    batch += '\n';
    waiting_bytes_ += batch.size() - before;
    if (waiting_bytes_ >= FLUSH_BYTES)
        full_.notify_one();
}

// The one writer: a write that stalls (a hung network folder) holds this thread alone. Lines go
// in the order they were kept.
void chat_history::flusher()
{
    for (;;) {
        std::deque<std::pair<std::string, std::string>> batches;
        unsigned long long asked = 0, dropped = 0;
        {
            std::unique_lock<std::mutex> lock(mu_);
            full_.wait_for(lock, FLUSH_EVERY, [this] { return waiting_bytes_ >= FLUSH_BYTES || flush_asked_ > flush_done_; });
            if (tick_) {  // outside mu_: the feed keeps what it ends here
                lock.unlock();
                tick_();
                lock.lock();
            }
            batches.swap(batches_);
            waiting_bytes_ = 0;
            asked = flush_asked_;
            dropped = dropped_;
            dropped_ = 0;
        }
        {
            std::lock_guard<std::mutex> writing(write_mu_);
            write_batches(batches);
        }
        said_later();
        if (dropped > 0)
            say("the history's writes stalled: " + std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
                " shown meanwhile could not be kept");
        {
            std::lock_guard<std::mutex> lock(mu_);
            flush_done_ = asked;
        }
        flushed_.notify_all();
    }
}

void chat_history::flush()
{
    // The flusher writes what waits; a write that stalls holds the caller (leaving, closing the
    // window) FLUSH_WAIT at most, and the lines not yet written are lost with the process.
    std::unique_lock<std::mutex> lock(mu_);
    if (!started_)
        return;
    unsigned long long asked = ++flush_asked_;
    full_.notify_one();
    flushed_.wait_for(lock, FLUSH_WAIT, [this, asked] { return flush_done_ >= asked; });
}

// The line the history ends a day with when it has kept DAY_BYTES of it.
std::string chat_history::day_full_note()
{
    char text[160];
    std::snprintf(text, sizeof text, "the history keeps %llu MB a day at most: nothing more is kept today, and "
                  "keeping starts again tomorrow", DAY_BYTES >> 20);
    return text;
}

// Under write_mu_.
void chat_history::write_batches(std::deque<std::pair<std::string, std::string>> &batches)
{
    char why[512] = "";
    for (auto &b : batches) {
        const std::string &day = b.first;
        std::string &lines = b.second;
        if (folder_refused_ || refused_.count(day) != 0 || day == full_day_ || lines.empty())
            continue;
        if (day != open_day_ || file_ == NO_HISTORY_FILE) {
            if (file_ != NO_HISTORY_FILE)
                close_history_file(file_);
            bool new_day = !open_day_.empty() && day != open_day_;
            open_day_ = day;
            if (new_day)
                prune(day);
            history_refusal refused = history_refusal::none;
            unsigned long long size = 0;
            file_ = open_history_file(day.c_str(), &refused, &size, why, sizeof why);
            if (file_ == NO_HISTORY_FILE && refused == history_refusal::file) {
                refused_.insert(day);
                to_say_.push_back(std::string("the history of this day is not kept: ") + why);
                continue;
            }
            if (file_ == NO_HISTORY_FILE && refused == history_refusal::folder) {
                folder_refused_ = true;
                to_say_.push_back(std::string("the history is not kept: ") + why + " (its folder must be yours alone)");
                continue;
            }
            day_bytes_ = size;
            pruned_at_ = size;
            if (file_ != NO_HISTORY_FILE && size >= DAY_BYTES) {
                full_day_ = day;
                to_say_.push_back(day_full_note());
                continue;
            }
            // A last line torn by a power cut is ended, so that the next one is whole.
            std::string last;
            if (file_ != NO_HISTORY_FILE && size > 0 && read_history_tail(day.c_str(), 1, last) && last != "\n")
                lines.insert(0, "\n");
        }
        // A day's file grows to DAY_BYTES at most: the lines that fit, and a line that says so.
        bool full = false;
        if (file_ != NO_HISTORY_FILE && day_bytes_ + lines.size() > DAY_BYTES) {
            clock_time t = local_clock();
            char time[16];
            std::snprintf(time, sizeof time, "%02d:%02d:%02d", t.hour, t.minute, t.second);
            std::string ending = time + ("\tn *** " + day_full_note()) + "\n";
            unsigned long long room = DAY_BYTES - std::min(DAY_BYTES, day_bytes_ + ending.size());
            std::size_t fits = room >= lines.size() ? lines.size() : lines.rfind('\n', static_cast<std::size_t>(room));
            lines.resize(fits == std::string::npos ? 0 : std::min(lines.size(), fits + 1));
            lines += ending;
            full = true;
        }
        if (file_ != NO_HISTORY_FILE && append_history_file(file_, lines.data(), lines.size(), why, sizeof why) == 0) {
            failing_ = false;
            day_bytes_ += lines.size();
            if (full) {
                full_day_ = day;
                to_say_.push_back(day_full_note());
            } else if (day_bytes_ - pruned_at_ >= PRUNE_STEP) {
                // Today counts toward the bytes kept in all: older days go as it grows.
                prune(day);
                pruned_at_ = day_bytes_;
            }
            continue;
        }
        if (file_ != NO_HISTORY_FILE) {
            close_history_file(file_);
            file_ = NO_HISTORY_FILE;  // tried again with the next batch
        }
        if (!failing_)
            to_say_.push_back(std::string("the history cannot be written (") + why + "); the chat goes on, and lines are kept again once it can be");
        failing_ = true;
    }
}

// Under write_mu_: the days too old, then the oldest beyond the bytes kept in all, today's
// included (today's itself never goes). Age is counted along the days kept: a gap of more than
// KEPT_DAYS with nothing kept (a clock set ahead, or one put right after being behind) stops it,
// so that a wrong clock never takes the newest days; the bytes bound holds all the same.
void chat_history::prune(const std::string &today)
{
    std::vector<history_file_entry> files = list_history_files();
    std::sort(files.begin(), files.end(),
              [](const history_file_entry &a, const history_file_entry &b) { return a.name > b.name; });
    long now = day_number(today);
    long newer = now;  // the day kept after this one
    bool gap = false;
    unsigned long long total = 0, removed_bytes = 0;
    std::size_t removed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        total += files[i].bytes;
        long day = day_number(files[i].name);
        if (day < newer) {
            gap = gap || newer - day > KEPT_DAYS;
            newer = day;
        }
        bool too_old = !gap && now - day > KEPT_DAYS;
        bool too_much = i > 0 && total > KEPT_BYTES && files[i].name != today;
        if ((too_old || too_much) && remove_history_file(files[i].name.c_str())) {
            ++removed;
            removed_bytes += files[i].bytes;
        }
    }
    if (removed > 0) {
        char text[256];
        std::snprintf(text, sizeof text, "removed from the history: %zu %s, %.1f MB (days over %ld days old, and the "
                      "oldest beyond %llu MB in all, go)", removed, removed == 1 ? "day" : "days",
                      static_cast<double>(removed_bytes) / (1 << 20), KEPT_DAYS, KEPT_BYTES >> 20);
        to_say_.push_back(text);
    }
}

std::vector<kept_line> chat_history::recent(std::size_t n)
{
    std::vector<std::string> names = day_files_oldest_first();
    std::vector<kept_line> lines;  // newest first, while reading
    for (auto name = names.rbegin(); name != names.rend() && lines.size() < n; ++name) {
        std::string text;
        if (!read_history_tail(name->c_str(), TAIL_BYTES, text))
            continue;
        std::size_t first = 0;
        if (text.size() == TAIL_BYTES) {  // it began inside a line, most likely: that one is not whole
            first = text.find('\n');
            first = first == std::string::npos ? text.size() : first + 1;
        }
        std::size_t end = text.size();
        if (end > first && text[end - 1] == '\n')
            --end;
        while (end > first && lines.size() < n) {
            std::size_t start = text.rfind('\n', end - 1);
            start = start == std::string::npos || start < first ? first : start + 1;
            lines.push_back(read_back(*name, text.data() + start, end - start));
            end = start > first ? start - 1 : first;
        }
        if (text.size() == TAIL_BYTES)
            break;  // a day that long has lines enough
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

std::vector<kept_line> chat_history::search(const std::string &text, std::size_t most)
{
    std::string lowered = utf8_from_gb18030(text);
    lower_latin(lowered);
    latin_finder finder(lowered);
    std::vector<std::string> names = day_files_oldest_first();
    std::vector<kept_line> found;  // newest first
    for (auto name = names.rbegin(); name != names.rend() && found.size() < most; ++name) {
        // The day's newest hits: only as many as may still be wanted are held.
        std::deque<kept_line> day;
        std::size_t wanted = most - found.size();
        scan_file(*name, finder, [&](const char *p, std::size_t len) {
            day.push_back(read_back(*name, p, len));
            if (day.size() > wanted)
                day.pop_front();
        });
        found.insert(found.end(), day.rbegin(), day.rend());
    }
    std::reverse(found.begin(), found.end());
    return found;
}

void chat_history::each(const std::string &text, const std::function<void(const kept_line &)> &each)
{
    std::string lowered = text;
    lower_latin(lowered);
    latin_finder finder(lowered);
    for (const std::string &name : day_files_oldest_first())
        scan_file(name, finder, [&](const char *p, std::size_t len) { each(read_back(name, p, len)); });
}
