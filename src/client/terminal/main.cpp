// main.cpp - chat_client, the relay's companion: finds the relay by its beacon (or is told where
// it is), keeps its place with heartbeats, sends each line of standard input, and writes whatever
// the relay passes on to standard output (line_mode.cpp). Text typed and read on a terminal travels
// as GB18030; pipes and files carry bytes unchanged. On a terminal that can place the cursor it
// shows a screen instead (screen.cpp), a view of the room's feed. The connection, the commands, the
// feed, the history and the text rules are the client's core (../core), wired by its running_client,
// which never ends the process: every way out is here.
#include "client/core/history.h"
#include "client/core/running_client.h"
#include "client/core/text.h"
#include "client/core/version.h"
#include "client/core/view.h"
#include "client/terminal/line_mode.h"
#include "client/terminal/screen.h"
#include "platform/net.h"
#include "platform/system.h"
#include "platform/terminal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>


namespace {

void print_usage(std::FILE *to)
{
    std::fprintf(to, "usage: chat_client [--name NAME] [--reconnect] [--no-history | --keep-history] [HOST]\n"
                     "       chat_client --list\n"
                     "       chat_client --history [TEXT]\n"
                     "       chat_client --version\n"
                     "Without HOST, waits for a relay's announcement on the local network and connects to\n"
                     "the first relay heard. --list prints the address of every relay heard within 4 s.\n"
                     "With --name, every line sent begins with \"NAME: \"; on a terminal without it, the name\n"
                     "is asked for once and remembered. Text typed and shown on a terminal travels as\n"
                     "GB18030; pipes and files pass bytes unchanged. On a terminal the client shows a screen\n"
                     "(/help there lists its commands) and finds the relay again when the connection is\n"
                     "lost; --reconnect does that in pipes too, instead of exiting with status 3.\n"
                     "The screen keeps every line it shows in a file a day (/history off, or --no-history,\n"
                     "keeps none); --keep-history keeps the lines of pipes too. --history prints every line\n"
                     "kept, or those that say TEXT (the case of Latin letters aside), oldest first.\n");
}

struct options {
    bool list = false;
    bool reconnect = false;
    bool history = false;       // --history: print the lines kept
    int history_text_arg = 0;   // the index of its TEXT in argv, if given
    bool no_history = false;
    bool keep_history = false;
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
        else if (std::strcmp(argv[i], "--no-history") == 0)
            opts.no_history = true;
        else if (std::strcmp(argv[i], "--keep-history") == 0)
            opts.keep_history = true;
        else if (std::strcmp(argv[i], "--history") == 0 && !opts.history) {
            opts.history = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                opts.history_text_arg = ++i;
        }
        else if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0')
            opts.name_arg = ++i;
        else if (argv[i][0] != '-' && opts.host.empty())
            opts.host = argv[i];
        else
            return false;
    }
    if (opts.history && (opts.list || !opts.host.empty() || opts.name_arg != 0 || opts.reconnect))
        return false;
    return !(opts.list && (!opts.host.empty() || opts.name_arg != 0)) && !(opts.no_history && opts.keep_history);
}

screen room;  // on a terminal that can show it
running_client *client = nullptr;  // once there is one

// Ends the client with this exit status, leaving the terminal as it was found: every way out of the
// client goes through here.
[[noreturn]] void exit_client(int status)
{
    if (client != nullptr)
        client->leave();  // the history written out
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

// Prints every relay heard within one beacon period and a little, one address a line; the exit status.
int list_relays(connection &conn)
{
    std::vector<std::string> relays = conn.relays_heard();
    for (const std::string &r : relays)
        std::printf("%s\n", r.c_str());
    std::fflush(stdout);
    if (!relays.empty())
        return 0;
    std::fprintf(stderr, "chat_client: no relay announced itself on UDP port %u within %lld s\n", UDP_PORT,
                 static_cast<long long>(LISTING_TIME.count()));
    return EXIT_NO_SERVER;
}

// Prints every line kept that says the text (all if none), "YYYY-MM-DD HH:MM:SS text", oldest
// first: as UTF-8, as the files hold it, to a pipe or a file; converted, to a terminal.
int print_history(char **argv, int text_arg, bool terminal)
{
    std::string text;
    if (text_arg != 0) {
        char given[4096];
        int n = argument_in_gb18030(argv, text_arg, given, sizeof given);
        if (n < 0) {
            std::fprintf(stderr, "chat_client: the text to find is too long or not text\n");
            return EXIT_USAGE;
        }
        text = utf8_from_gb18030(std::string(given, static_cast<std::size_t>(n)));
    }
    std::string out;
    auto write_out = [&out, terminal] {
        if (terminal)
            show_text(out.data(), out.size());
        else
            std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
    };
    chat_history::each(text, [&](const kept_line &k) {
        std::string line = k.day + " " + (k.time.empty() ? std::string("--:--:--") : k.time) + " ";
        out += line + (terminal ? k.text : utf8_from_gb18030(k.text)) + "\n";
        if (out.size() >= 64 * 1024)
            write_out();
    });
    write_out();
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    load_libraries_from_system_only();
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
    if (opts.history)
        exit_client(print_history(argv, opts.history_text_arg, terminal.output));
    std::string name;
    std::string why = prepare_client(argv, opts.name_arg, &name);
    if (!why.empty()) {
        std::fprintf(stderr, "chat_client: %s\n", why.c_str());
        exit_client(EXIT_USAGE);
    }
    // Without the screen (--list, pipes, files, a terminal that cannot show it), the room goes to
    // standard output and the client's own words to standard error; a connection lost for good
    // ends the client with the status it gives.
    static line_view lines(terminal.output, exit_client);
    if (opts.list) {
        static connection listening(connection_options(), lines);
        exit_client(list_relays(listening));
    }
    // A person at a terminal is asked for a name the first time, and gets the screen if the
    // terminal can show it; pipes and files go on as they always did.
    bool person = terminal.input && terminal.output;
    if (person && opts.name_arg == 0)
        name = ask_name_on_terminal();
    client_options o;
    o.host = opts.host;
    o.name = name;
    o.no_history = opts.no_history;
    if (person) {
        // The core lives as long as the process, as its threads do.
        static running_client running(o);
        if (room.start(exit_client, running.feed())) {
            client = &running;
            running.start();
            // Until the person leaves: Ctrl-C, Ctrl-D on an empty line, /quit, or the input's end.
            room.run_editor([](const std::string &line) { return client->commands().entered(line); });
            exit_client(0);
        }
    }
    // Pipes go on as they always did; lines in them are kept only if asked for.
    o.person = false;
    o.pipe_rule.host = opts.host;
    o.pipe_rule.reconnect = opts.reconnect;
    o.pipe_rule.tell_heard = person;      // a console window says what it is doing while it listens
    o.pipe_rule.remember_relay = person;  // scripts find the relay as they always did
    o.keep_history = opts.keep_history;
    static running_client piped(o, lines);
    client = &piped;
    int status = piped.start_pipes();
    if (status != 0)
        exit_client(status);
    connection &conn = piped.conn();
    send_input(conn, name.empty() ? name : name + ": ");
    conn.finish();
    exit_client(0);
}
