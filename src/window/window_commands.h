// window_commands.h - what a person types in the chat window: lines for the room, and the commands
// the terminal client knows (/me, /nick, /names, /relay, /bell, /quit, /help, //TEXT), with the
// same words and the same bytes on the wire; the lines that wait for the relay; the name file.
// Nothing here knows Win32: the front-end is reached through chat_front.
#pragma once

#include "client/client.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// What the commands need of the front-end that shows the room. Called from any thread.
class chat_front {
public:
    virtual ~chat_front() = default;
    // A line this client sent (GB18030, its name prefix included), shown as sent.
    virtual void own_line(const std::string &line) = 0;
    // The client's answer to a command, shown as "*** text".
    virtual void say(const std::string &text) = 0;
    virtual void set_name(const std::string &name) = 0;
    virtual void set_bell(bool on) = 0;
    virtual void set_waiting(std::size_t lines) = 0;
    // The names heard in lines of the form "NAME: text" within the time, most recent first.
    virtual std::vector<std::string> names_heard(std::chrono::seconds within) = 0;
    // /quit: the person leaves.
    virtual void quit() = 0;
    // Where the connection says how a move to another relay went.
    virtual room_view &room() = 0;
};

// Why a name cannot be used, or nullptr if it can.
const char *name_problem(const std::string &name);
// The name remembered in the name file (GB18030), or "" if there is none that can be used; a file
// that cannot be read is said in *why.
std::string kept_name(std::string *why);
// Remembers the name in the name file; false, with why, if it could not be written.
bool remember_name(const std::string &name, std::string *why);

// The commands and the room's lines for one front-end.
class chat_commands {
public:
    chat_commands(chat_front &front, const std::string &name);
    // Starts the thread that sends the lines typed, waiting for the relay while it is away.
    void start();
    // A line entered (GB18030, no line end): a command, or a line for the room.
    void entered(const std::string &line);
    // The menu's ways to the same: a new name (said and remembered, or refused with the reason),
    // the bell, and a move to another relay.
    void change_name(const std::string &name);
    void bell(bool on);
    void move_to(const std::string &address);
    std::string name() const { return name_; }

private:
    void queue_line(const std::string &bytes);
    void send_outbox();

    chat_front &front_;
    std::string name_;
};
