// line_mode.cpp - the client in pipes, files and terminals without the screen, and the name asked
// for on the terminal.
#include "client/terminal/line_mode.h"

#include "client/core/commands.h"
#include "platform/terminal.h"

#include <algorithm>
#include <cstdio>

namespace {

const std::size_t PIECE = 64 * 1024;  // a line longer than this, or input with no line end, goes in pieces

// Reads a line typed on the terminal, in GB18030, without its line end; "" at the end of input.
std::string typed_line()
{
    std::string line;
    char buf[256];
    // A terminal in its own line mode hands over one line a read.
    for (int n; line.find('\n') == std::string::npos && (n = read_input(buf, sizeof buf)) > 0;)
        line.append(buf, static_cast<std::size_t>(n));
    line.erase(std::min(line.find('\n'), line.size()));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

}  // namespace

void line_view::chat(const std::string &bytes, bool at_end)
{
    if (!terminal_) {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
        return;
    }
    whole_.assign(cr_held_ ? "\r" : "");
    text_.take(bytes, whole_, at_end);
    // A CR at the end may begin a CR LF, a line end: it waits for what follows.
    cr_held_ = !at_end && !whole_.empty() && whole_.back() == '\r';
    if (cr_held_)
        whole_.pop_back();
    std::string shown = safe_to_show(whole_);
    show_text(shown.data(), shown.size());
}

void line_view::note(const std::string &text)
{
    std::fprintf(stderr, "chat_client: %s\n", safe_to_show(text, true).c_str());
}

// A line longer than PIECE goes in pieces, the prefix before the first, and a last line without a
// line end goes at the end.
void send_input(connection &conn, const std::string &prefix)
{
    std::string pending;     // the part of the current line not yet sent
    bool line_open = false;  // the current line has begun: its prefix is pending or sent
    char buf[4096];
    for (int n; (n = read_input(buf, sizeof buf)) > 0;) {
        for (int i = 0; i < n; ++i) {
            if (!line_open)
                pending += prefix;
            line_open = buf[i] != '\n';
            pending += buf[i];
            if (!line_open || pending.size() >= PIECE) {
                conn.send_bytes(pending, now_ms() + HOLD_MS);
                pending.clear();
            }
        }
    }
    if (!pending.empty())
        conn.send_bytes(pending, now_ms() + HOLD_MS);
}

std::string ask_name_on_terminal()
{
    return name_for_person(
        [](const std::string &offered, const char *refused) {
            if (refused != nullptr) {
                std::string say = std::string(refused) + "\n";
                show_text(say.data(), say.size());
            }
            std::string ask = safe_to_show("Your name in the chat" + (offered.empty() ? std::string() : " [" + offered + "]") + ": ");
            show_text(ask.data(), ask.size());
            std::string typed = typed_line();
            return typed.empty() ? offered : typed;
        },
        [](const std::string &said) { std::fprintf(stderr, "chat_client: %s\n", said.c_str()); });
}
