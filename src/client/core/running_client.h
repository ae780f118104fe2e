// running_client.h - one running client, whatever its front-end: the options, the connection, the
// commands, the room's feed and the history, wired once, and their threads. A front-end makes one,
// starts it, shows what its feed hands over and passes on what is typed; every way out (quit, the
// window closed, a signal, the connection lost for good) goes through leave(), which writes the
// history out.
#pragma once

#include "client/core/commands.h"
#include "client/core/connection.h"
#include "client/core/history.h"
#include "client/core/room_feed.h"
#include "client/core/view.h"

#include <chrono>
#include <memory>
#include <string>

struct client_options {
    std::string host;   // "" : find the relay by its announcement
    std::string name;   // GB18030; "" : none (a person is asked before: name_for_person)
    bool no_history = false;   // --no-history: nothing kept in this run
    // A person at a screen or a window (the relay rule they share): the connection finds the relay
    // again when lost, says what it hears while looking, and remembers the relay connected to. Pipes
    // give their own rule (pipe_rule).
    bool person = true;
    connection_options pipe_rule;  // where person is false
    bool keep_history = false;     // pipes: keep the lines too (--keep-history)
};

// What every front-end does first: the name given on the command line, argv[name_arg] (--name NAME;
// 0 for none), into *name as GB18030, and the socket layer started. "", or why it cannot go on, in
// words (for "PROGRAM: why", and the exit status EXIT_USAGE).
std::string prepare_client(char **argv, int name_arg, std::string *name);

// The relay rule of a person's front-end: the screen, the Windows window, the Linux window.
connection_options person_rule(const std::string &host);

class running_client {
public:
    // A person's front-end: the feed makes frames, and the commands answer what is typed.
    explicit running_client(const client_options &opts, feed_clock &clock = system_clock());
    // Pipes: the room's bytes go to raw unchanged (room_feed::pass_to), and no commands run.
    running_client(const client_options &opts, room_view &raw);
    running_client(const running_client &) = delete;
    running_client &operator=(const running_client &) = delete;

    room_feed &feed() { return feed_; }
    connection &conn() { return conn_; }
    chat_commands &commands() { return *commands_; }  // a person's front-end only

    // A person's front-end: starts the history (the last lines kept go to the feed), the commands'
    // sender, and the connection's finding and keeping, in threads of their own. Returns at once.
    void start();
    // Pipes: starts the history if asked for, and finds the relay: 0, or the exit status of the
    // failure; then the connection's threads run.
    int start_pipes();

    // Writes the history out, waiting at most `most` for a disk that does not answer: the part of
    // every way out that the core has. Safe to call from any thread, more than once.
    void leave(std::chrono::milliseconds most = std::chrono::milliseconds(2000));

private:
    client_options opts_;
    room_feed feed_;
    connection conn_;
    std::unique_ptr<chat_commands> commands_;
};

// The history's lines kept, written out with a bounded wait, for a way out that has no running
// client at hand (a crash of the terminal's signal handler aside). See running_client::leave.
void flush_history(std::chrono::milliseconds most);
