// room_model.cpp - the room's lines, cut and made safe on the threads that bring them, handed to
// the window's thread in batches; and the window's text as it travels.
#include "room_model.h"

#include "common/gb18030.h"
#include "platform/system.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

using std::chrono::steady_clock;

const std::size_t FRESH_CHARS = 4u << 20;  // characters waiting for the window's thread, at most

// Converts with iconv between GB18030 and UTF-8; a character the other has no code for becomes
// U+FFFD.
std::string convert(const char *to, const char *from, const std::string &text)
{
    std::string out;
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return out;
    bool from_gb18030 = std::strcmp(from, "GB18030") == 0;
    const char *replacement = from_gb18030 ? "\xEF\xBF\xBD" : GB18030_REPLACEMENT;
    char buf[4096];
    char *in = const_cast<char *>(text.data());
    std::size_t in_left = text.size();
    while (in_left > 0) {
        char *at = buf;
        std::size_t out_left = sizeof buf;
        std::size_t done = ::iconv(cd, &in, &in_left, &at, &out_left);
        out.append(buf, sizeof buf - out_left);
        if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
            std::size_t skip = from_gb18030 ? character_at(text, text.size() - in_left) : 1;
            skip = std::min(skip, in_left);
            in += skip;
            in_left -= skip;
            out += replacement;
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    ::iconv_close(cd);
    return out;
}

// The time of day for a line, read at most once a second: not something to do for every line of
// a flood. Called under room_model's mutex.
QString clock_hh_mm()
{
    static QString text;
    static steady_clock::time_point read_at;
    if (text.isEmpty() || steady_clock::now() - read_at >= std::chrono::seconds(1)) {
        clock_time t = local_clock();
        char hh_mm[16];
        std::snprintf(hh_mm, sizeof hh_mm, "%02d:%02d", t.hour, t.minute);
        text = QString::fromLatin1(hh_mm);
        read_at = steady_clock::now();
    }
    return text;
}

std::size_t chars_of(const room_line &l)
{
    return static_cast<std::size_t>(l.name.size() + l.text.size());
}

}  // namespace

QString shown_text(const std::string &gb18030)
{
    std::string safe = safe_to_show(gb18030, true);
    return QString::fromUtf8(convert("UTF-8", "GB18030", safe));
}

std::string gb18030_text(const QString &typed)
{
    QByteArray utf8 = typed.toUtf8();
    return convert("GB18030", "UTF-8", std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

void room_model::add(room_line line)
{
    fresh_chars_ += chars_of(line);
    fresh_.push_back(std::move(line));
    while (fresh_.size() > 1 && (fresh_.size() > LINES_KEPT || fresh_chars_ > FRESH_CHARS)) {
        fresh_chars_ -= chars_of(fresh_.front());
        fresh_.pop_front();
    }
}

void room_model::show_chat_line(const std::string &raw)
{
    std::string line;
    gb18030_reader reader;
    reader.take(raw, line, true);
    heard_line h = hear_(line);
    room_line shown;
    shown.kind = room_line::CHAT;
    shown.time = clock_hh_mm();
    if (!h.name.empty()) {
        shown.colour = name_colour(h.name);
        shown.name = shown_text(line.substr(0, h.text_at));
    }
    shown.text = shown_text(line.substr(h.text_at));
    shown.mention = h.mention;
    add(std::move(shown));
}

void room_model::chat(const std::string &bytes, bool at_end)
{
    std::lock_guard<std::mutex> lock(mu_);
    cutter_.take(bytes.data(), bytes.size(), at_end, now_ms(), [this](const std::string &line) { show_chat_line(line); });
}

void room_model::note(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mu_);
    room_line shown;
    shown.kind = room_line::NOTE;
    shown.time = clock_hh_mm();
    shown.text = QStringLiteral("*** ") + shown_text(text);
    add(std::move(shown));
}

void room_model::relay_state(const std::string &address, bool connected)
{
    std::lock_guard<std::mutex> lock(mu_);
    state_.relay = address;
    state_.connected = connected;
    state_changed_ = true;
}

void room_model::own_line(const std::string &line)
{
    std::lock_guard<std::mutex> lock(mu_);
    room_line shown;
    shown.kind = room_line::OWN;
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

void room_model::set_name(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mu_);
    state_.name = name;
    state_changed_ = true;
}

void room_model::set_bell(bool on)
{
    std::lock_guard<std::mutex> lock(mu_);
    state_.bell = on;
    state_changed_ = true;
}

void room_model::set_waiting(std::size_t lines)
{
    std::lock_guard<std::mutex> lock(mu_);
    state_.waiting = lines;
    state_changed_ = true;
}

void room_model::take(std::vector<room_line> &lines, room_state &state, bool &state_changed)
{
    std::lock_guard<std::mutex> lock(mu_);
    // Text that ends no line (a peer that sent none) shows once it has waited a while.
    cutter_.end_if_waited(now_ms(), [this](const std::string &line) { show_chat_line(line); });
    lines.assign(std::make_move_iterator(fresh_.begin()), std::make_move_iterator(fresh_.end()));
    fresh_.clear();
    fresh_chars_ = 0;
    state = state_;
    state_changed = state_changed_;
    state_changed_ = false;
}
