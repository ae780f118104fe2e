// window_room.cpp - the room's lines, cut and made safe on the threads that bring them, handed to
// the window's thread in batches.
#include "window_room.h"

#include "client/core/text.h"
#include "platform/system.h"
#include "window_text.h"

#include <algorithm>
#include <cstdio>

namespace {

using std::chrono::steady_clock;

const std::size_t FRESH_BYTES = 8u << 20;       // lines waiting for the window's thread, at most
const std::size_t KEPT_CHARS = 1000;            // of a line of the history shown again or found

// The time of day for a line, read at most once a second (reading the local time can cost a walk
// over the system's time zone files, as under Wine: not something to do for every line of a flood).
// Called under window_room's mutex.
std::wstring clock_hh_mm()
{
    static std::wstring text;
    static steady_clock::time_point read_at;
    if (text.empty() || steady_clock::now() - read_at >= std::chrono::seconds(1)) {
        clock_time t = local_clock();
        wchar_t hh_mm[8];
        std::swprintf(hh_mm, 8, L"%02d:%02d", t.hour, t.minute);
        text = hh_mm;
        read_at = steady_clock::now();
    }
    return text;
}

}  // namespace

void window_room::add(shown_line line)
{
    fresh_bytes_ += (line.name.size() + line.text.size()) * sizeof(wchar_t);
    fresh_.push_back(std::move(line));
    while (fresh_.size() > 1 && (fresh_.size() > LIST_CAP || fresh_bytes_ > FRESH_BYTES)) {
        fresh_bytes_ -= (fresh_.front().name.size() + fresh_.front().text.size()) * sizeof(wchar_t);
        fresh_.pop_front();
    }
}

void window_room::show_chat_line(const std::string &raw)
{
    std::string line;
    gb18030_reader reader;
    reader.take(raw, line, true);
    heard_line h = hear_(line);
    shown_line shown;
    shown.kind = shown_line::CHAT;
    shown.time = clock_hh_mm();
    if (!h.name.empty()) {
        shown.colour = name_colour(h.name);
        shown.name = shown_text(line.substr(0, h.text_at));
    }
    shown.text = shown_text(line.substr(h.text_at));
    shown.mention = h.mention;
    add(std::move(shown));
}

void window_room::chat(const std::string &bytes, bool at_end)
{
    std::lock_guard<std::mutex> lock(mu_);
    cutter_.take(bytes.data(), bytes.size(), at_end, [this](const std::string &line) { show_chat_line(line); });
}

void window_room::note(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mu_);
    shown_line shown;
    shown.kind = shown_line::NOTE;
    shown.time = clock_hh_mm();
    shown.text = L"*** " + wide_text(text);
    add(std::move(shown));
}

void window_room::relay_state(const std::string &address, bool connected)
{
    std::lock_guard<std::mutex> lock(mu_);
    status_.relay = address;
    status_.connected = connected;
    status_changed_ = true;
}

void window_room::own_line(const std::string &line)
{
    std::lock_guard<std::mutex> lock(mu_);
    shown_line shown;
    shown.kind = shown_line::OWN;
    shown.time = clock_hh_mm();
    std::size_t text_at = 0;
    std::string name = name_in(line, &text_at);
    if (!name.empty()) {
        shown.colour = name_colour(name);
        shown.name = shown_text(line.substr(0, text_at));
    }
    shown.text = shown_text(line.substr(text_at));
    add(std::move(shown));
}

// The last lines kept, as they were shown, above a rule, with their day where it is not today; or
// what a search found, each with its day and time.
void window_room::history_lines(const std::vector<kept_line> &lines, bool found)
{
    clock_time t = local_clock();
    char today[16];
    std::snprintf(today, sizeof today, "%04d-%02d-%02d", t.year, t.month, t.day);
    std::lock_guard<std::mutex> lock(mu_);
    for (const kept_line &k : lines) {
        shown_line shown;
        shown.kind = shown_line::KEPT;
        shown.kept = k.kind;
        std::string when = found ? k.day + " " + k.time : (k.day == today ? "" : k.day + " ") + k.time.substr(0, 5);
        shown.time = wide_text(when);
        shown.text = shown_text(k.text);
        // Fifty lines of a flood's worth each would hold the window for seconds as it opens; the
        // file keeps them whole.
        if (shown.text.size() > KEPT_CHARS)
            shown.text = shown.text.substr(0, KEPT_CHARS) + L" ...";
        add(std::move(shown));
    }
    if (!found) {
        shown_line rule;
        rule.kind = shown_line::KEPT;
        rule.kept = kept_kind::note;  // dimmed
        rule.time = clock_hh_mm();
        rule.text = L"---------------- the history above; this run below ----------------";
        add(std::move(rule));
    }
}

void window_room::set_name(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mu_);
    status_.name = name;
    status_changed_ = true;
}

void window_room::set_bell(bool on)
{
    std::lock_guard<std::mutex> lock(mu_);
    status_.bell = on;
    status_changed_ = true;
}

void window_room::set_waiting(std::size_t lines)
{
    std::lock_guard<std::mutex> lock(mu_);
    status_.waiting = lines;
    status_changed_ = true;
}

void window_room::take(std::vector<shown_line> &lines, room_status &status, bool &status_changed)
{
    std::lock_guard<std::mutex> lock(mu_);
    // Text that ends no line (a peer that sent none) shows once it has waited a while.
    cutter_.end_if_waited([this](const std::string &line) { show_chat_line(line); });
    lines.assign(std::make_move_iterator(fresh_.begin()), std::make_move_iterator(fresh_.end()));
    fresh_.clear();
    fresh_bytes_ = 0;
    status = status_;
    status_changed = status_changed_;
    status_changed_ = false;
}
