// main.cpp - chat_client, the relay's companion: finds the relay by its beacon (or is told where
// it is), keeps its place with heartbeats, sends each line of standard input, and writes whatever
// the relay passes on to standard output. Text typed and read on a terminal travels as GB18030;
// pipes and files carry bytes unchanged. On a terminal that can place the cursor it shows a screen
// instead (client_screen.cpp, with its commands in client_commands.cpp). The connection is in
// client_connection.cpp, the text's encoding in client_text.cpp.
#include "client/core/view.h"
#include "client/core/commands.h"
#include "client/core/connection.h"
#include "client/terminal/screen.h"
#include "client/core/text.h"
#include "platform/net.h"
#include "platform/system.h"
#include "platform/terminal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifndef PROJECT_VERSION
#define PROJECT_VERSION "1.5.0"  // the build normally says
#endif

namespace {

const std::size_t PIECE = 64 * 1024;  // a line longer than this, or input with no line end, goes in pieces

// Standard output: a terminal gets text in its own encoding, with what it would obey shown as
// marks; anything else the bytes as they came.
class chat_output {
public:
    explicit chat_output(bool terminal) : terminal_(terminal) {}
    void write(const std::string &chat, bool at_end = false)
    {
        if (!terminal_) {
            std::fwrite(chat.data(), 1, chat.size(), stdout);
            std::fflush(stdout);
            return;
        }
        whole_.assign(cr_held_ ? "\r" : "");
        text_.take(chat, whole_, at_end);
        // A CR at the end may begin a CR LF, a line end: it waits for what follows.
        cr_held_ = !at_end && !whole_.empty() && whole_.back() == '\r';
        if (cr_held_)
            whole_.pop_back();
        std::string shown = safe_to_show(whole_);
        show_text(shown.data(), shown.size());
    }

private:
    bool terminal_;
    gb18030_reader text_;
    std::string whole_;
    bool cr_held_ = false;
};

// The room in pipes and files, or on a terminal in line mode: chat to standard output, the
// client's own words to standard error.
class line_view : public room_view {
public:
    explicit line_view(bool terminal) : out_(terminal) {}
    void chat(const std::string &bytes, bool at_end) override { out_.write(bytes, at_end); }
    void note(const std::string &text) override
    {
        std::fprintf(stderr, "chat_client: %s\n", safe_to_show(text, true).c_str());
    }
    void relay_state(const std::string &, bool) override {}

private:
    chat_output out_;
};

// Sends standard input a line at a time, each whole with its line end and after the prefix (the
// name) if there is one. A line longer than PIECE goes in pieces, the prefix before the first, and
// a last line without a line end goes at the end.
void send_input(const std::string &prefix)
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
                send_bytes(pending, now_ms() + HOLD_MS);
                pending.clear();
            }
        }
    }
    if (!pending.empty())
        send_bytes(pending, now_ms() + HOLD_MS);
}

void print_usage(std::FILE *to)
{
    std::fprintf(to, "usage: chat_client [--name NAME] [--reconnect] [HOST]\n"
                     "       chat_client --list\n"
                     "       chat_client --version\n"
                     "Without HOST, waits for a relay's announcement on the local network and connects to\n"
                     "the first relay heard. --list prints the address of every relay heard within 4 s.\n"
                     "With --name, every line sent begins with \"NAME: \"; on a terminal without it, the name\n"
                     "is asked for once and remembered. Text typed and shown on a terminal travels as\n"
                     "GB18030; pipes and files pass bytes unchanged. On a terminal the client shows a screen\n"
                     "(/help there lists its commands) and finds the relay again when the connection is\n"
                     "lost; --reconnect does that in pipes too, instead of exiting with status 3.\n");
}

struct options {
    bool list = false;
    bool reconnect = false;
    int name_arg = 0;  // the index of NAME in argv, if given
    std::string host;  // empty: find the relay by its announcement
};

// Reads the command line into opts: false if it makes no sense.
bool parse_options(int argc, char **argv, options &opts)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0)
            opts.list = true;
        else if (std::strcmp(argv[i], "--reconnect") == 0)
            opts.reconnect = true;
        else if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0')
            opts.name_arg = ++i;
        else if (argv[i][0] != '-' && opts.host.empty())
            opts.host = argv[i];
        else
            return false;
    }
    return !(opts.list && (!opts.host.empty() || opts.name_arg != 0));
}

screen room;  // on a terminal that can show it

}  // namespace

void exit_client(int status)
{
    room.stop();
    leave_screen_mode();
    std::fflush(stdout);
    std::fflush(stderr);
    // Started from the Start menu or Explorer, the console window is the client's alone and closes
    // with it: a failure stays on screen until it has been read.
    if (status != 0)
        hold_console_open("press any key to close this window\n");
    std::_Exit(status);
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            print_usage(stdout);
            exit_client(0);
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("chat_client %s\n", PROJECT_VERSION);
            exit_client(0);
        }
    }
    options opts;
    if (!parse_options(argc, argv, opts)) {
        print_usage(stderr);
        exit_client(EXIT_USAGE);
    }
    binary_stdio();
    terminal_sides terminal = prepare_terminal();
    std::string name;
    if (opts.name_arg != 0) {
        char given[1024];
        int n = argument_in_gb18030(argv, opts.name_arg, given, sizeof given);
        if (n < 0) {
            std::fprintf(stderr, "chat_client: the name is too long or not text\n");
            exit_client(EXIT_USAGE);
        }
        name.assign(given, static_cast<std::size_t>(n));
        if (const char *why = name_refusal(name)) {
            std::fprintf(stderr, "chat_client: --name: %s\n", why);
            exit_client(EXIT_USAGE);
        }
    }
    if (net_startup() != 0) {
        std::fprintf(stderr, "chat_client: the socket layer did not start\n");
        exit_client(EXIT_USAGE);
    }
    if (opts.list)
        exit_client(list_relays());
    // A person at a terminal is asked for a name the first time, and gets the screen if the
    // terminal can show it; pipes and files go on as they always did.
    bool person = terminal.input && terminal.output;
    if (person && opts.name_arg == 0)
        name = remembered_name();
    connection_options how;
    how.host = opts.host;
    how.reconnect = opts.reconnect;
    how.tell_heard = person;  // a console window says what it is doing while it listens
    if (person && room.start()) {
        how.reconnect = true;
        how.tell_heard = true;
        std::thread([how] {
            connect_first(how, room);
            start_connection(room);
        }).detach();
        run_screen(room, name);
        exit_client(0);
    }
    line_view view(terminal.output);
    int status = connect_first(how, view);
    if (status != 0)
        exit_client(status);
    start_connection(view);
    send_input(name.empty() ? name : name + ": ");
    finish_connection();
    exit_client(0);
}
