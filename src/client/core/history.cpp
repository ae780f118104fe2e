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
#include <functional>
#include <thread>

namespace {

using std::chrono::steady_clock;

const char SETTING[] = "history";               // the settings file that says "off" or "on"
const long KEPT_DAYS = 365;                      // a day older than this goes
const unsigned long long KEPT_BYTES = 200ull << 20;  // and the oldest days beyond this in all
const auto FLUSH_EVERY = std::chrono::seconds(1);
const std::size_t FLUSH_BYTES = 1u << 20;       // a burst is written sooner
const unsigned long long TAIL_BYTES = 256u << 10;  // read from the end of a file for the last lines

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

bool is_time(const char *p, std::size_t len)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return len >= 9 && digit(p[0]) && digit(p[1]) && p[2] == ':' && digit(p[3]) && digit(p[4]) && p[5] == ':' &&
           digit(p[6]) && digit(p[7]) && p[8] == ' ';
}

// A line of a file as it is given back: its time if it has one, and its text made safe again by
// the display rule, whatever the file holds (NUL bytes, what is no UTF-8, controls).
kept_line read_back(const std::string &file, const char *p, std::size_t len)
{
    kept_line k;
    k.day = file.substr(0, 10);
    if (len > 0 && p[len - 1] == '\r')
        --len;
    if (is_time(p, len)) {
        k.time.assign(p, 8);
        p += 9;
        len -= 9;
    }
    k.text = safe_to_show(gb18030_from_utf8(std::string(p, len)), true);
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

// Finds text with Latin letters in either case, Horspool's way: the byte under the needle's end
// says how far it may move on, so that most bytes are never looked at. No copy of the text is made.
class latin_finder {
public:
    explicit latin_finder(const std::string &lowered) : needle_(lowered)
    {
        std::size_t m = needle_.size();
        for (std::size_t &s : skip_)
            s = m;
        for (std::size_t i = 0; i + 1 < m; ++i) {
            unsigned char c = static_cast<unsigned char>(needle_[i]);
            skip_[c] = m - 1 - i;
            if (c >= 'a' && c <= 'z')
                skip_[c - 'a' + 'A'] = m - 1 - i;
        }
    }
    // Where the needle (not empty) first is in text[from, to), or npos.
    std::size_t find(const std::string &text, std::size_t from, std::size_t to) const
    {
        const std::size_t m = needle_.size();
        const char *p = text.data();
        const char last = needle_[m - 1];
        for (std::size_t at = from; at + m <= to; at += skip_[static_cast<unsigned char>(p[at + m - 1])]) {
            if (folded(p[at + m - 1]) != last)
                continue;
            std::size_t i = 0;
            while (i + 1 < m && folded(p[at + i]) == needle_[i])
                ++i;
            if (i + 1 >= m)
                return at;
        }
        return std::string::npos;
    }

private:
    std::string needle_;
    std::size_t skip_[256];
};

// Calls found(start, length) for each line of the file's text that holds `lowered` in its text
// (after the time), or for every line if it is empty.
void scan(const std::string &text, const std::string &lowered, const std::function<void(std::size_t, std::size_t)> &found)
{
    if (lowered.empty()) {
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            found(at, end - at);
            at = end + 1;
        }
        return;
    }
    latin_finder finder(lowered);
    for (std::size_t from = 0; from < text.size();) {
        std::size_t at = finder.find(text, from, text.size());
        if (at == std::string::npos)
            break;
        std::size_t start = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::size_t text_at = is_time(text.data() + start, end - start) ? start + 9 : start;
        // A hit in the time does not count: the line's text is looked at on its own.
        if (at < text_at && finder.find(text, text_at, end) == std::string::npos) {
            from = end + 1;
            continue;
        }
        found(start, end - start);
        from = end + 1;
    }
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

void chat_history::keep(const std::string &day, const std::string &hh_mm_ss, const std::string &utf8)
{
    if (!keeping_)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    std::string file = day + ".txt";
    if (batches_.empty() || batches_.back().first != file)
        batches_.emplace_back(file, std::string());
    std::string &batch = batches_.back().second;
    std::size_t before = batch.size();
    batch += hh_mm_ss;
    batch += ' ';
    batch += utf8;
    batch += '\n';
    waiting_bytes_ += batch.size() - before;
    if (waiting_bytes_ >= FLUSH_BYTES)
        full_.notify_one();
}

void chat_history::flusher()
{
    for (;;) {
        std::deque<std::pair<std::string, std::string>> batches;
        {
            std::unique_lock<std::mutex> lock(mu_);
            full_.wait_for(lock, FLUSH_EVERY, [this] { return waiting_bytes_ >= FLUSH_BYTES; });
            if (tick_) {  // outside mu_: the feed keeps what it ends here
                lock.unlock();
                tick_();
                lock.lock();
            }
            std::lock_guard<std::mutex> writing(write_mu_);  // taken before the lines: they go in order
            batches.swap(batches_);
            waiting_bytes_ = 0;
            lock.unlock();
            write_batches(batches);
        }
        said_later();
    }
}

void chat_history::flush()
{
    std::deque<std::pair<std::string, std::string>> batches;
    std::unique_lock<std::mutex> lock(mu_);
    std::lock_guard<std::mutex> writing(write_mu_);
    batches.swap(batches_);
    waiting_bytes_ = 0;
    lock.unlock();
    write_batches(batches);
}

// Under write_mu_.
void chat_history::write_batches(std::deque<std::pair<std::string, std::string>> &batches)
{
    char why[512] = "";
    for (auto &b : batches) {
        const std::string &day = b.first;
        std::string &lines = b.second;
        if (refused_.count(day) != 0 || lines.empty())
            continue;
        if (day != open_day_ || file_ == NO_HISTORY_FILE) {
            if (file_ != NO_HISTORY_FILE)
                close_history_file(file_);
            bool new_day = !open_day_.empty() && day != open_day_;
            open_day_ = day;
            if (new_day)
                prune(day);
            bool not_regular = false;
            file_ = open_history_file(day.c_str(), &not_regular, why, sizeof why);
            if (file_ == NO_HISTORY_FILE && not_regular) {
                refused_.insert(day);
                to_say_.push_back(std::string("the history of this day is not kept: ") + why);
                continue;
            }
            // A last line torn by a power cut is ended, so that the next one is whole.
            std::string last;
            if (file_ != NO_HISTORY_FILE && read_history_file(day.c_str(), 1, last) && !last.empty() && last != "\n")
                lines.insert(0, "\n");
        }
        if (file_ != NO_HISTORY_FILE && append_history_file(file_, lines.data(), lines.size(), why, sizeof why) == 0) {
            failing_ = false;
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

// Under write_mu_: the days too old, then the oldest beyond the bytes kept (never today's).
void chat_history::prune(const std::string &today)
{
    std::vector<history_file_entry> files = list_history_files();
    std::sort(files.begin(), files.end(),
              [](const history_file_entry &a, const history_file_entry &b) { return a.name > b.name; });
    long now = day_number(today);
    unsigned long long total = 0, removed_bytes = 0;
    std::size_t removed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        total += files[i].bytes;
        bool too_old = now - day_number(files[i].name) > KEPT_DAYS;
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
        if (!read_history_file(name->c_str(), TAIL_BYTES, text))
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
    std::vector<std::string> names = day_files_oldest_first();
    std::vector<kept_line> found;  // newest first
    for (auto name = names.rbegin(); name != names.rend() && found.size() < most; ++name) {
        std::string file;
        if (!read_history_file(name->c_str(), 0, file))
            continue;
        std::vector<std::pair<std::size_t, std::size_t>> hits;
        scan(file, lowered, [&hits](std::size_t at, std::size_t len) { hits.emplace_back(at, len); });
        for (auto h = hits.rbegin(); h != hits.rend() && found.size() < most; ++h)
            found.push_back(read_back(*name, file.data() + h->first, h->second));
    }
    std::reverse(found.begin(), found.end());
    return found;
}

void chat_history::each(const std::string &text, const std::function<void(const kept_line &)> &each)
{
    std::string lowered = text;
    lower_latin(lowered);
    for (const std::string &name : day_files_oldest_first()) {
        std::string file;
        if (!read_history_file(name.c_str(), 0, file))
            continue;
        scan(file, lowered, [&](std::size_t at, std::size_t len) { each(read_back(name, file.data() + at, len)); });
    }
}
