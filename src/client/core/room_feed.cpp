// room_feed.cpp - the room's lines, cut, read, made safe, decoded and kept once on the threads that
// bring them, and handed to the front-end's thread a frame at a time.
#include "client/core/room_feed.h"

#include "client/core/history.h"
#include "platform/terminal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

namespace {

const long long CLOCK_READ_MS = 100;  // the local time is read at most this often
const char RULE_TEXT[] = "---------------- the history above; this run below ----------------";

class system_feed_clock : public feed_clock {
public:
    long long steady_ms() override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    clock_time local() override { return local_clock(); }
};

bool continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t code_points(const std::string &utf8)
{
    std::size_t n = 0;
    for (char c : utf8)
        n += continuation(c) ? 0 : 1;
    return n;
}

// Cuts UTF-8 text after its first `most` code points: how many more there were.
std::size_t cut_after(std::string &utf8, std::size_t most)
{
    std::size_t seen = 0, at = 0;
    for (; at < utf8.size(); ++at)
        if (!continuation(utf8[at]) && seen++ == most)
            break;
    if (at >= utf8.size())
        return 0;
    std::size_t left_out = code_points(utf8.substr(at));
    utf8.resize(at);
    return left_out;
}

// GB18030 text already safe, as the feed hands it on.
std::string shown(const std::string &safe_gb18030)
{
    return utf8_from_gb18030(safe_gb18030);
}

}  // namespace

feed_clock &system_clock()
{
    static system_feed_clock clock;
    return clock;
}

std::size_t line_chars(const room_line &l)
{
    return code_points(l.time) + code_points(l.name) + code_points(l.text) + 2;
}

room_feed::room_feed(feed_clock &clock) : clock_(clock) {}

void room_feed::hear_with(std::function<heard_line(const std::string &)> hear)
{
    hear_ = std::move(hear);
}

void room_feed::keep_in(chat_history *history)
{
    history_ = history;
}

void room_feed::wake_with(std::function<void()> wake)
{
    wake_ = std::move(wake);
}

void room_feed::pass_to(room_view &raw)
{
    raw_ = &raw;
}

// A line with the kind and the time of day, the clock read if it has not been lately.
room_line room_feed::stamped(room_line::kind_t kind)
{
    long long now = clock_.steady_ms();
    if (hh_mm_.empty() || now - read_ms_ >= CLOCK_READ_MS || now < read_ms_) {
        clock_time t = clock_.local();
        char text[32];
        std::snprintf(text, sizeof text, "%02d:%02d", t.hour, t.minute);
        hh_mm_ = text;
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
        hh_mm_ss_ = text;
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
        day_ = text;
        read_ms_ = now;
    }
    room_line l;
    l.kind = kind;
    l.time = hh_mm_;
    return l;
}

void room_feed::keep(const room_line &l)
{
    if (history_ != nullptr)
        history_->keep(day_, hh_mm_ss_, l.name + l.text,
                       l.kind == room_line::OWN ? kept_kind::own : l.kind == room_line::NOTE ? kept_kind::note : kept_kind::peer);
}

void room_feed::add(room_line line)
{
    if (raw_ != nullptr)
        return;  // pipes: the bytes went on as they came
    waiting_chars_ += line_chars(line);
    waiting_.push_back(std::move(line));
    while (waiting_.size() > 1 && (waiting_.size() > WAITING_LINES || waiting_chars_ > WAITING_CHARS)) {
        waiting_chars_ -= line_chars(waiting_.front());
        waiting_.pop_front();
        ++skipped_;
        dropped_ms_ = clock_.steady_ms();
    }
    wake_due_ = true;
}

void room_feed::wake_if_due(std::unique_lock<std::mutex> &lock)
{
    bool wake = wake_due_ && !woke_ && wake_;
    wake_due_ = false;
    if (wake)
        woke_ = true;
    lock.unlock();
    if (wake)
        wake_();
}

void room_feed::peer_line(const std::string &raw)
{
    std::string line;
    gb18030_reader reader;
    reader.take(raw, line, true);
    line = safe_to_show(line, true);
    heard_line h;
    if (hear_)
        h = hear_(line);
    else
        h.name = name_in(line, &h.text_at);
    room_line l = stamped(room_line::PEER);
    if (!h.name.empty()) {
        l.colour = name_colour(h.name);
        l.name = shown(line.substr(0, h.text_at));
    }
    l.text = shown(line.substr(h.text_at));
    l.mention = h.mention;
    l.offer = h.offer;
    keep(l);
    add(std::move(l));
}

void room_feed::chat(const std::string &bytes, bool at_end)
{
    if (raw_ != nullptr) {
        raw_->chat(bytes, at_end);
        if (history_ == nullptr || !history_->keeping())
            return;
    }
    std::unique_lock<std::mutex> lock(mu_);
    cutter_.take(bytes.data(), bytes.size(), at_end, clock_.steady_ms(), [this](const std::string &l) { peer_line(l); });
    wake_if_due(lock);
}

void room_feed::note_line(const std::string &text, bool kept, bool outcome)
{
    if (raw_ != nullptr) {
        raw_->note(text);
        if (!kept)
            return;
    }
    std::unique_lock<std::mutex> lock(mu_);
    room_line l = stamped(room_line::NOTE);
    l.text = "*** " + shown(safe_to_show(text, true));
    l.outcome = outcome;
    if (kept)
        keep(l);
    add(std::move(l));
    wake_if_due(lock);
}

void room_feed::note(const std::string &text)
{
    note_line(text, true);
}

void room_feed::transfer_outcome(const std::string &text)
{
    note_line(text, true, true);
}

void room_feed::answer(const std::string &text)
{
    note_line(text, false);
}

void room_feed::own_line(const std::string &line)
{
    std::unique_lock<std::mutex> lock(mu_);
    // A line typed is held to what a line from the room shows at most.
    std::string cut = line;
    if (cut.size() > line_cutter::LINE_SHOWN) {
        std::size_t whole = 0;
        for (std::size_t n; whole < cut.size() && whole + (n = character_at(cut, whole)) <= line_cutter::LINE_SHOWN;)
            whole += n;
        cut.resize(whole);
    }
    std::string safe = safe_to_show(cut, true);
    room_line l = stamped(room_line::OWN);
    std::size_t text_at = 0;
    std::string name = name_in(safe, &text_at);
    if (!name.empty()) {
        l.colour = name_colour(name);
        l.name = shown(safe.substr(0, text_at));
    }
    l.text = shown(safe.substr(text_at));
    keep(l);
    add(std::move(l));
    wake_if_due(lock);
}

// The last lines kept, dimmed above a rule, with their day where it is not today; or what a search
// found, each with its day and time.
void room_feed::history_lines(const std::vector<kept_line> &lines, bool found)
{
    std::unique_lock<std::mutex> lock(mu_);
    stamped(room_line::KEPT);  // today's date, read
    for (const kept_line &k : lines) {
        room_line l;
        l.kind = room_line::KEPT;
        l.kept_as = k.kind == kept_kind::own ? room_line::OWN : k.kind == kept_kind::note ? room_line::NOTE : room_line::PEER;
        l.time = found ? k.day + " " + k.time : (k.day == day_ ? "" : k.day + " ") + k.time.substr(0, 5);
        l.text = shown(k.text);
        // Fifty lines of a flood's worth each would hold a view for seconds as it opens; the file
        // keeps them whole.
        if (cut_after(l.text, KEPT_CHARS) > 0)
            l.text += " ...";
        add(std::move(l));
    }
    if (!found) {
        room_line rule = stamped(room_line::RULE);
        rule.text = RULE_TEXT;
        add(std::move(rule));
    }
    wake_if_due(lock);
}

void room_feed::relay_state(const std::string &address, bool connected)
{
    if (raw_ != nullptr)
        raw_->relay_state(address, connected);
    std::unique_lock<std::mutex> lock(mu_);
    status_.relay = address;
    status_.connected = connected;
    status_changed_ = wake_due_ = true;
    wake_if_due(lock);
}

void room_feed::lost(int status)
{
    {
        std::unique_lock<std::mutex> lock(mu_);
        lost_ = status;
        wake_due_ = true;
        wake_if_due(lock);
    }
    if (raw_ != nullptr)
        raw_->lost(status);
}

void room_feed::set_name(const std::string &name)
{
    std::unique_lock<std::mutex> lock(mu_);
    status_.name = name;
    status_changed_ = wake_due_ = true;
    wake_if_due(lock);
}

void room_feed::set_bell(bool on)
{
    std::unique_lock<std::mutex> lock(mu_);
    status_.bell = on;
    status_changed_ = wake_due_ = true;
    wake_if_due(lock);
}

void room_feed::set_waiting(std::size_t lines)
{
    std::unique_lock<std::mutex> lock(mu_);
    status_.waiting = lines;
    status_changed_ = wake_due_ = true;
    wake_if_due(lock);
}

void room_feed::transfer_progress(const std::string &text, int percent)
{
    std::unique_lock<std::mutex> lock(mu_);
    status_.transfers = shown(safe_to_show(text, true));
    status_.percent = text.empty() ? -1 : std::max(0, std::min(100, percent));
    status_changed_ = wake_due_ = true;
    wake_if_due(lock);
}

void room_feed::tick()
{
    std::unique_lock<std::mutex> lock(mu_);
    cutter_.end_if_waited(clock_.steady_ms(), [this](const std::string &l) { peer_line(l); });
    wake_if_due(lock);
}

void room_feed::take(room_frame &frame)
{
    std::lock_guard<std::mutex> lock(mu_);
    long long now = clock_.steady_ms();
    // Text that ends no line (a peer that sent none) shows once it has waited a while.
    cutter_.end_if_waited(now, [this](const std::string &l) { peer_line(l); });
    wake_due_ = false;
    woke_ = false;
    frame.lines.clear();
    // A room faster than anyone reads (hundreds of lines a frame, or long ones) would hold the
    // view's thread, and so the typing, for seconds: a frame takes as many lines and characters as
    // the policy lets it (one line at least), oldest first, and the rest wait for the next frames.
    std::size_t chars = 0;
    while (!waiting_.empty() && frame.lines.size() < FRAME_LINES) {
        std::size_t n = line_chars(waiting_.front());
        if (!frame.lines.empty() && chars + n > FRAME_CHARS)
            break;
        chars += n;
        waiting_chars_ -= n;
        frame.lines.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
    }
    // In a flood a long line shows as much as a frame takes; out of one, the pieces of one long
    // line, which come together, show whole.
    if (now - dropped_ms_ < FLOOD_MS)
        for (room_line &l : frame.lines) {
            std::size_t left_out = cut_after(l.text, FRAME_CHARS);
            if (left_out > 0)
                l.text += " ... (" + std::to_string(left_out) + " characters not shown)";
        }
    if (skipped_ > 0 && now - skip_told_ms_ >= SKIP_NOTE_MS) {
        room_line told = stamped(room_line::NOTE);
        told.text = "*** " + std::to_string(skipped_) + (skipped_ == 1 ? " line" : " lines") +
                    " came faster than they could be shown: skipped";
        frame.lines.insert(frame.lines.begin(), std::move(told));
        skipped_ = 0;
        skip_told_ms_ = now;
    }
    frame.heard = 0;
    frame.mention = -1;
    frame.outcome = -1;
    for (std::size_t i = 0; i < frame.lines.size(); ++i) {
        if (frame.lines[i].outcome)
            frame.outcome = static_cast<int>(i);
        if (frame.lines[i].kind == room_line::PEER) {
            ++frame.heard;
            if (frame.lines[i].mention)
                frame.mention = static_cast<int>(i);
        }
    }
    frame.status_changed = status_changed_;
    status_changed_ = false;
    frame.status = status_;
    frame.lost = lost_;
    frame.more = !waiting_.empty();
}
