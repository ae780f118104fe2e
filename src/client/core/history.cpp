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
const auto LINE_WAIT = std::chrono::seconds(1);  // a line begun and not ended is kept as it is, as shown
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

// The day's file name and the time of day, "YYYY-MM-DD.txt" and "HH:MM:SS ", read at most every
// tenth of a second: a flood of lines must not read the local time for each.
std::pair<std::string, std::string> stamp()
{
    static std::mutex mu;
    static std::pair<std::string, std::string> last;
    static steady_clock::time_point read_at;
    std::lock_guard<std::mutex> lock(mu);
    if (last.first.empty() || steady_clock::now() - read_at >= std::chrono::milliseconds(100)) {
        clock_time t = local_clock();
        char day[32], time[32];
        std::snprintf(day, sizeof day, "%04d-%02d-%02d.txt", t.year, t.month, t.day);
        std::snprintf(time, sizeof time, "%02d:%02d:%02d ", t.hour, t.minute, t.second);
        last = {day, time};
        read_at = steady_clock::now();
    }
    return last;
}

std::string today_file()
{
    return stamp().first;
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

void lower_latin(std::string &text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

std::vector<std::string> day_files_oldest_first()
{
    std::vector<std::string> names;
    for (const history_file_entry &e : list_history_files())
        names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

// Where needle (not empty) first is in text[from, to), or npos.
std::size_t find_in(const std::string &text, std::size_t from, std::size_t to, const std::string &needle)
{
    const char *base = text.data();
    for (std::size_t at = from; at + needle.size() <= to;) {
        const void *p = std::memchr(base + at, needle[0], to - at - needle.size() + 1);
        if (p == nullptr)
            return std::string::npos;
        at = static_cast<std::size_t>(static_cast<const char *>(p) - base);
        if (std::memcmp(base + at + 1, needle.data() + 1, needle.size() - 1) == 0)
            return at;
        ++at;
    }
    return std::string::npos;
}

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
    std::string folded = text;
    lower_latin(folded);
    for (std::size_t from = 0; from < folded.size();) {
        std::size_t at = find_in(folded, from, folded.size(), lowered);
        if (at == std::string::npos)
            break;
        std::size_t start = at == 0 ? std::string::npos : folded.rfind('\n', at - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::size_t end = folded.find('\n', at);
        if (end == std::string::npos)
            end = folded.size();
        std::size_t text_at = is_time(folded.data() + start, end - start) ? start + 9 : start;
        // A hit in the time does not count: the line's text is looked at on its own.
        if (at < text_at && find_in(folded, text_at, end, lowered) == std::string::npos) {
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
    if (view_ != nullptr)
        view_->note(text);
}

void chat_history::start(room_view &view, bool off_this_run)
{
    view_ = &view;
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

void chat_history::keep(const std::string &shown)
{
    // Under mu_. The text as the display rule shows it on one row.
    std::string text = utf8_from_gb18030(safe_to_show(shown, true));
    std::pair<std::string, std::string> now = stamp();
    if (batches_.empty() || batches_.back().first != now.first)
        batches_.emplace_back(now.first, std::string());
    std::string &batch = batches_.back().second;
    batch += now.second;
    batch += text;
    batch += '\n';
    waiting_bytes_ += now.second.size() + text.size() + 1;
    if (waiting_bytes_ >= FLUSH_BYTES)
        full_.notify_one();
}

void chat_history::chat(const std::string &bytes, bool at_end)
{
    if (!keeping_)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    // Cut as the screens cut it, and made whole characters as they show it.
    auto kept = [this](const std::string &line) {
        std::string whole;
        gb18030_reader reader;
        reader.take(line, whole, true);
        keep(whole);
    };
    cutter_.take(bytes, kept);
    if (at_end)
        cutter_.end(kept);
}

void chat_history::own_line(const std::string &line)
{
    if (!keeping_)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    keep(line.size() > LINE_SHOWN ? line.substr(0, LINE_SHOWN) : line);
}

void chat_history::note(const std::string &text)
{
    if (!keeping_)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    keep("*** " + text);
}

void chat_history::flusher()
{
    for (;;) {
        std::deque<std::pair<std::string, std::string>> batches;
        {
            std::unique_lock<std::mutex> lock(mu_);
            full_.wait_for(lock, FLUSH_EVERY, [this] { return waiting_bytes_ >= FLUSH_BYTES; });
            if (cutter_.begun() && steady_clock::now() - cutter_.begun_at() > LINE_WAIT)
                cutter_.end([this](const std::string &line) {
                    std::string whole;
                    gb18030_reader reader;
                    reader.take(line, whole, true);
                    keep(whole);
                });
            std::lock_guard<std::mutex> writing(write_mu_);  // taken before the lines: they go in order
            batches.swap(batches_);
            waiting_bytes_ = 0;
            lock.unlock();
            write_batches(batches);
        }
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
                say(std::string("the history of this day is not kept: ") + why);
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
            say(std::string("the history cannot be written (") + why + "); the chat goes on, and lines are kept again once it can be");
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
        say(text);
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
