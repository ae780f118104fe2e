// screen.cpp - the screen: a VT renderer with a scroll region for the messages, a status
// line and a line editor counting display cells, redrawn at most ~60 times a second.
#include "client/terminal/screen.h"

#include "client/core/text.h"
#include "platform/system.h"
#include "platform/terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const std::size_t TRANSCRIPT_CAP = 2000;  // lines kept for redrawing; the terminal keeps its own
const std::size_t TRANSCRIPT_BYTES = 4u << 20;  // and their bytes at most: a room of long lines too
const auto FRAME = milliseconds(16);      // about what a person can see
const int FEED_FRAMES = 4;                // the feed's frames a draw takes at most
const auto BELL_GAP = std::chrono::seconds(3);    // between two rings of the bell

// What leaving the screen writes: attributes, bracketed paste and the scroll region back as they
// were, the cursor on the cleared bottom line, where the shell's prompt goes.
const char RESTORE[] = "\x1b[0m\x1b[?2004l\x1b[?25h\x1b[r\x1b[999;1H\x1b[2K\r";

std::string cup(int row, int col)
{
    return "\x1b[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

// Text from others, or anything else, as the screen may show it on one row: an escape sequence
// could move the cursor, or worse, and an invisible character hide what a line says.
std::string printable(const std::string &text)
{
    return safe_to_show(text, true);
}

// A shown line as rows of the screen's width: a row that the line wraps onto begins with as many
// blanks as the time before each line takes ("HH:MM "), so that no text a peer pads can begin a
// row as a line of its own does. The line's own escape sequences (colours) take no cell.
const int WRAP_INDENT = 6;

std::string wrapped(const std::string &shown, int cols)
{
    std::string out;
    out.reserve(shown.size() + 16);
    int cells = 0;
    for (std::size_t at = 0; at < shown.size();) {
        if (shown[at] == '\x1b') {
            std::size_t end = shown.find('m', at);
            end = end == std::string::npos ? shown.size() : end + 1;
            out.append(shown, at, end - at);
            at = end;
            continue;
        }
        std::size_t n = character_at(shown, at);
        int w = static_cast<unsigned char>(shown[at]) < 0x80 ? 1 : cell_width(gb18030_code_point(shown.data() + at, n));
        if (cells + w > cols && cells > WRAP_INDENT) {
            out += "\r\n" + std::string(WRAP_INDENT, ' ');
            cells = WRAP_INDENT;
        }
        out.append(shown, at, n);
        cells += w;
        at += n;
    }
    return out;
}

}  // namespace

std::string colour_sequence(int i, background behind)
{
    // On a dark background, the terminal's own twelve (its theme's); where the background is light
    // or not known, twelve of the 256-colour palette's middle tones, readable on white and black
    // alike (bright yellow, bright cyan and bright green vanish on a light one).
    static const char *const ON_DARK[] = {"31", "32", "33", "34", "35", "36", "91", "92", "93", "94", "95", "96"};
    static const char *const ON_ANY[] = {"38;5;160", "38;5;28",  "38;5;136", "38;5;33",  "38;5;127", "38;5;31",
                                         "38;5;203", "38;5;71",  "38;5;172", "38;5;69",  "38;5;170", "38;5;37"};
    i = (i % 12 + 12) % 12;
    return std::string("\x1b[") + (behind == background::dark ? ON_DARK[i] : ON_ANY[i]) + "m";
}

// The background a terminal says it has, in its answer to OSC 11 ("\x1b]11;rgb:RRRR/GGGG/BBBB"
// and BEL or ST; each part of one to four hex digits): dark or light by its luminance.
background background_in(const std::string &answer)
{
    std::size_t at = answer.find("rgb:");
    if (at == std::string::npos)
        return background::unknown;
    double part[3];
    const char *p = answer.c_str() + at + 4;
    for (int i = 0; i < 3; ++i) {
        char *end = nullptr;
        unsigned long v = std::strtoul(p, &end, 16);
        int digits = static_cast<int>(end - p);
        if (digits < 1 || digits > 4 || (i < 2 && *end != '/'))
            return background::unknown;
        part[i] = static_cast<double>(v) / static_cast<double>((1ul << (4 * digits)) - 1);
        p = end + 1;
    }
    double luminance = 0.2126 * part[0] + 0.7152 * part[1] + 0.0722 * part[2];
    return luminance < 0.5 ? background::dark : background::light;
}

bool screen::start(void (*leave)(int status), room_feed &feed)
{
    leave_ = leave;
    background_ = background_dark_unless_told() ? background::dark : background::unknown;
    if (!screen_possible() || !terminal_size(&rows_, &cols_) || rows_ < 4 || cols_ < 10)
        return false;
    if (!enter_screen_mode(RESTORE))
        return false;
    show_text("\x1b[?2004h", 8);  // bracketed paste: a pasted line end does not send
    // What the background is, for the names' colours: a terminal that knows answers on its input
    // (taken by key), one that does not says nothing, and the colours stay readable on either.
    show_text("\x1b]11;?\x1b\\", 7);
    feed_ = &feed;
    feed.wake_with([this] {
        std::lock_guard<std::mutex> lock(mu_);
        feed_due_ = true;
        changed_.notify_one();
    });
    std::thread(&screen::render_loop, this).detach();
    return true;
}

void screen::stop()
{
    // A terminal that takes nothing (a frozen console) must not keep the client from ending.
    for (int i = 0; i < 20; ++i) {
        if (mu_.try_lock()) {
            stopped_ = true;
            mu_.unlock();
            return;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void screen::add_line(const std::string &shown)
{
    transcript_.push_back(shown);
    transcript_bytes_ += shown.size();
    while (transcript_.size() > 1 && (transcript_.size() > TRANSCRIPT_CAP || transcript_bytes_ > TRANSCRIPT_BYTES)) {
        transcript_bytes_ -= transcript_.front().size();
        transcript_.pop_front();
    }
    fresh_ = std::min(fresh_ + 1, transcript_.size());
}

// A line of the feed as the screen shows it: its time, the name in its colour, our own in bold, the
// client's notes and the history's lines dimmed; in the terminal's GB18030.
void screen::show_line(const room_line &l)
{
    std::string shown;
    switch (l.kind) {
    case room_line::PEER:
        shown = l.time + " " + (l.name.empty() ? l.text : colour_sequence(l.colour, background_) + l.name + "\x1b[0m" + l.text);
        // A room that says the name over and over rings once in a while, not each time.
        if (l.mention && steady_clock::now() - last_bell_ >= BELL_GAP) {
            bell_due_ = true;
            last_bell_ = steady_clock::now();
        }
        break;
    case room_line::OWN:
        shown = l.time + " \x1b[1m" + l.name + l.text + "\x1b[0m";
        break;
    case room_line::KEPT:
        shown = "\x1b[2m" + l.time + " " + l.text + "\x1b[0m";
        break;
    case room_line::NOTE:
    case room_line::RULE:
        shown = "\x1b[2m" + l.text + "\x1b[0m";
        break;
    }
    add_line(gb18030_from_utf8(shown));
}

// Redraws what changed, at most once a frame: a busy room costs a frame's worth of lines in one
// write, not a write a line.
void screen::render_loop()
{
    for (;;) {
        int lost = -1;
        {
            std::unique_lock<std::mutex> lock(mu_);
            // The size is looked at now and then: a resize sends no character. What changed while
            // the last frame was out is drawn at once, not at the next look at the size.
            changed_.wait_for(lock, milliseconds(200), [this] {
                return !stopped_ && (redraw_all_ || feed_due_ || redraw_status_ || redraw_input_ || bell_due_);
            });
            int rows = 0, cols = 0;
            if (terminal_size(&rows, &cols) && (rows != rows_ || cols != cols_) && rows >= 4 && cols >= 10) {
                rows_ = rows;
                cols_ = cols;
                redraw_all_ = true;
            }
            // The feed's next frames (a line begun that waited long enough for its end comes too):
            // drawing costs the terminal, not the typing, which has a thread of its own, so a draw
            // takes up to FEED_FRAMES of them while lines wait, as it drew up to four screens'
            // worth before the rest scrolled past unseen.
            for (int i = 0; i < FEED_FRAMES && !stopped_ && (i == 0 || frame_.more); ++i) {
                feed_->take(frame_);
                feed_due_ = frame_.more;
                for (const room_line &l : frame_.lines)
                    show_line(l);
                if (frame_.status_changed) {
                    relay_ = frame_.status.relay;
                    connected_ = frame_.status.connected;
                    name_ = frame_.status.name;
                    waiting_ = frame_.status.waiting;
                    redraw_status_ = true;
                }
                lost = frame_.lost;
            }
            render();
        }
        if (lost >= 0)
            leave_(lost);
        std::this_thread::sleep_for(FRAME);
    }
}

void screen::render()
{
    if (stopped_ || (!redraw_all_ && fresh_ == 0 && !redraw_status_ && !redraw_input_ && !bell_due_))
        return;
    const int bottom = rows_ - 2;  // the last row of the messages' scroll region
    std::string out = "\x1b[?25l";
    if (redraw_all_) {
        out += "\x1b[r\x1b[2J\x1b[1;" + std::to_string(bottom) + "r";
        fresh_ = std::min(static_cast<std::size_t>(bottom), transcript_.size());
    } else {
        fresh_ = std::min(fresh_, static_cast<std::size_t>(bottom) * 4);  // scrolled past faster than read
    }
    if (fresh_ > 0) {
        // Each row scrolls the region up by one and is written on its bottom row; a long line takes
        // as many rows as it needs.
        out += cup(bottom, 1);
        for (std::size_t i = transcript_.size() - fresh_; i < transcript_.size(); ++i)
            out += "\r\n" + wrapped(transcript_[i], cols_) + "\x1b[0m";
        fresh_ = 0;
    }
    if (redraw_all_ || redraw_status_) {
        std::string status = " chat_client  ";
        std::string relay = printable(relay_);
        status += relay.empty() ? "looking for the relay" : (connected_ ? "relay " + relay : "relay " + relay + " lost, reconnecting");
        status += "  name: " + (name_.empty() ? std::string("(none)") : printable(name_));
        if (waiting_ > 0)
            status += "  " + std::to_string(waiting_) + (waiting_ == 1 ? " line" : " lines") + " waiting";
        std::string cut;
        int cells = 0;
        for (std::size_t at = 0; at < status.size();) {
            std::size_t n = character_at(status, at);
            int w = text_cells(status.substr(at, n));
            if (cells + w > cols_ - 1)
                break;
            cut.append(status, at, n);
            cells += w;
            at += n;
        }
        out += cup(rows_ - 1, 1) + "\x1b[7m" + cut + std::string(static_cast<std::size_t>(cols_ - 1 - cells), ' ') + "\x1b[0m\x1b[K";
    }
    if (bell_due_)
        out += "\a";
    draw_input(out);
    out += "\x1b[?25h";
    redraw_all_ = redraw_status_ = redraw_input_ = bell_due_ = false;
    show_text(out.data(), out.size());
}

// The input line: "> " and as much of the line as fits, scrolled sideways to keep the cursor in
// view; the cursor placed by display cells. One walk over the line: a long pasted line must not
// cost a frame the square of its length.
void screen::draw_input(std::string &out)
{
    const int room = cols_ - 3;  // the prompt, and a cell for the cursor at the end
    std::vector<std::string> shown_as;  // each character as it is shown (a pasted control as its mark)
    std::vector<int> widths;            // and the cells that takes
    std::size_t at_cursor = 0;          // the index of the character the cursor stands on
    for (std::size_t at = 0; at < line_.size();) {
        std::size_t n = character_at(line_, at);
        if (at < cursor_)
            ++at_cursor;
        shown_as.push_back(printable(line_.substr(at, n)));
        widths.push_back(text_cells(shown_as.back()));
        at += n;
    }
    std::size_t first = 0;
    int before = 0;  // cells from the first character shown to the cursor
    for (std::size_t i = 0; i < at_cursor; ++i)
        before += widths[i];
    for (; before > room; ++first)
        before -= widths[first];
    std::size_t last = first;
    for (int cells = 0; last < widths.size() && cells + widths[last] <= room + 1; ++last)
        cells += widths[last];
    std::string shown;
    for (std::size_t i = first; i < last; ++i)
        shown += shown_as[i];
    out += cup(rows_, 1) + "\x1b[2K> " + shown + cup(rows_, 3 + before);
}

namespace {

// The start of the character before the one at `at`.
std::size_t previous_character(const std::string &text, std::size_t at)
{
    std::size_t prev = 0;
    for (std::size_t i = 0; i < at; i += character_at(text, i))
        prev = i;
    return prev;
}

// The length of the key at the start of in: an escape sequence whole, or one character; 0 if it is
// cut short and the rest is still to come.
std::size_t key_length(const std::string &in)
{
    if (in.compare(0, 2, "\x1b]") == 0) {  // a terminal's answer (OSC), ended by BEL or ST
        for (std::size_t i = 2; i < in.size(); ++i)
            if (in[i] == '\a' || (in[i] == '\\' && in[i - 1] == '\x1b'))
                return i + 1;
        return in.size() >= 32 ? in.size() : 0;  // no answer is that long: let it go
    }
    if (in[0] != '\x1b') {
        int n = gb18030_length(reinterpret_cast<const unsigned char *>(in.data()), in.size());
        return n == 0 ? 0 : n < 0 ? 1 : static_cast<std::size_t>(n);
    }
    if (in.size() < 2)
        return 0;
    if (in[1] == '[') {
        for (std::size_t i = 2; i < in.size(); ++i)
            if (in[i] >= 0x40 && in[i] <= 0x7E)
                return i + 1;
        return in.size() > 16 ? in.size() : 0;  // no key is that long: let it go
    }
    if (in[1] == 'O')
        return in.size() < 3 ? 0 : 3;
    return 2;  // Alt and a key: taken as that key alone
}

}  // namespace

bool screen::submit(const std::function<bool(const std::string &)> &on_line)
{
    std::string entered;
    {
        std::lock_guard<std::mutex> lock(mu_);
        entered = line_;
        if (!entered.empty() && (history_.empty() || history_.back() != entered))
            history_.push_back(entered);
        history_at_ = history_.size();
        line_.clear();
        cursor_ = 0;
        redraw_input_ = true;
        changed_.notify_one();
    }
    return on_line(entered);
}

// Takes one key: false if it ends the editing.
bool screen::key(const std::string &k, const std::function<bool(const std::string &)> &on_line)
{
    if (k == "\x1b[200~" || k == "\x1b[201~") {
        pasting_ = k == "\x1b[200~";
        return true;
    }
    if (k.compare(0, 2, "\x1b]") == 0) {
        std::lock_guard<std::mutex> lock(mu_);
        background told = k.compare(0, 5, "\x1b]11;") == 0 ? background_in(k) : background::unknown;
        if (told != background::unknown)
            background_ = told;
        return true;
    }
    bool was_cr = paste_cr_;
    paste_cr_ = false;
    if (k == "\r" || k == "\n") {
        // Enter is CR; a paste's lines end in LF, CR or CR LF, each line sent as it is.
        paste_cr_ = k == "\r" && pasting_;
        return (k == "\n" && was_cr) || submit(on_line);
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (k == "\x03" || (k == "\x04" && line_.empty()))
        return false;
    redraw_input_ = true;
    changed_.notify_one();
    if (k == "\x7f" || k == "\x08") {
        if (cursor_ > 0) {
            std::size_t prev = previous_character(line_, cursor_);
            line_.erase(prev, cursor_ - prev);
            cursor_ = prev;
        }
    } else if (k == "\x1b[3~" || k == "\x04") {
        if (cursor_ < line_.size())
            line_.erase(cursor_, character_at(line_, cursor_));
    } else if (k == "\x1b[D" || k == "\x1bOD" || k == "\x02") {
        if (cursor_ > 0)
            cursor_ = previous_character(line_, cursor_);
    } else if (k == "\x1b[C" || k == "\x1bOC" || k == "\x06") {
        if (cursor_ < line_.size())
            cursor_ += character_at(line_, cursor_);
    } else if (k == "\x1b[H" || k == "\x1bOH" || k == "\x1b[1~" || k == "\x1b[7~" || k == "\x01") {
        cursor_ = 0;
    } else if (k == "\x1b[F" || k == "\x1bOF" || k == "\x1b[4~" || k == "\x1b[8~" || k == "\x05") {
        cursor_ = line_.size();
    } else if (k == "\x15") {
        line_.erase(0, cursor_);
        cursor_ = 0;
    } else if (k == "\x17") {
        std::size_t from = cursor_;
        while (from > 0 && line_[previous_character(line_, from)] == ' ')
            from = previous_character(line_, from);
        while (from > 0 && line_[previous_character(line_, from)] != ' ')
            from = previous_character(line_, from);
        line_.erase(from, cursor_ - from);
        cursor_ = from;
    } else if (k == "\x1b[A" || k == "\x1bOA") {
        if (history_at_ > 0) {
            line_ = history_[--history_at_];
            cursor_ = line_.size();
        }
    } else if (k == "\x1b[B" || k == "\x1bOB") {
        if (history_at_ < history_.size()) {
            ++history_at_;
            line_ = history_at_ < history_.size() ? history_[history_at_] : std::string();
            cursor_ = line_.size();
        }
    } else if (k == "\x0c") {
        redraw_all_ = true;
    } else if (k == "\t") {
        line_.insert(cursor_, " ");
        cursor_ += 1;
    } else if (static_cast<unsigned char>(k[0]) >= 0x20 && k[0] != '\x7f') {
        line_.insert(cursor_, k);
        cursor_ += k.size();
    }
    return true;
}

void screen::run_editor(const std::function<bool(const std::string &)> &on_line)
{
    std::string in;
    char buf[4096];
    for (int n; (n = read_input(buf, sizeof buf)) > 0;) {
        in.append(buf, static_cast<std::size_t>(n));
        std::size_t at = 0;
        while (at < in.size()) {
            std::size_t len = key_length(in.substr(at, 32));
            if (len == 0)
                break;
            if (!key(in.substr(at, len), on_line))
                return;
            at += len;
        }
        in.erase(0, at);
    }
}
