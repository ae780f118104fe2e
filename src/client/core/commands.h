// commands.h - what a person types, in any front-end: lines for the room, and the commands (/me,
// /nick, /names, /relay, /bell, /search, /history, /quit, /help, //TEXT); the lines that wait for the relay; the names
// heard in the room; and the name file, which every front-end shares.
#pragma once

#include "client/core/connection.h"
#include "client/core/view.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// The name remembered in the name file (GB18030), or "" if there is none that can be used; a file
// that cannot be read, or holds no name, is said in *why ("" if all was well).
std::string read_name_file(std::string *why);
// Remembers the name in the name file; false, with why in words for the person, if it could not be
// written.
bool remember_name(const std::string &name, std::string *why);
// The name to chat under, for a person who gave none: the one in the name file, or, the first time,
// one asked for and remembered. ask(offered, refused) asks the person, offering a name (the login
// name, "" if that cannot be one) and saying why the answer before was refused (nullptr at first);
// it returns the name given (GB18030), or "" to chat without one. A name file that cannot be read
// or written is told, and the name used for this run all the same. "" if no name was had.
std::string name_for_person(const std::function<std::string(const std::string &offered, const char *refused)> &ask,
                            const std::function<void(const std::string &said)> &tell);

// The commands and the lines typed, for one person on one connection. Its answers go to the view.
// It lives as long as the process: the thread start() makes is never joined.
class chat_commands {
public:
    chat_commands(connection &conn, chat_view &view, const std::string &name);
    chat_commands(const chat_commands &) = delete;
    chat_commands &operator=(const chat_commands &) = delete;

    // Tells the view the name, and starts the thread that sends the lines typed, waiting for the
    // relay while it is away.
    void start();
    // A line entered (GB18030, no line end): a command, or a line for the room. false if it was
    // /quit: the person asks to leave, and the front-end ends.
    bool entered(const std::string &line);
    // The ways to the same for a front-end with a menu: a new name (taken, said and remembered, or
    // refused with the reason), the bell on or off, a move to another relay.
    void change_name(const std::string &name);
    void set_bell(bool on);
    void move_to(const std::string &address);
    std::string name();
    bool bell();
    // A window's find going on past the oldest line it holds: the newest `most` lines of the
    // history that say text (GB18030), shown below what is shown; how many there were.
    std::size_t find_in_history(const std::string &text, std::size_t most);

    // A whole line from the room, as the front-end cut it (GB18030, without its line end): its name
    // is remembered as heard, and the answer says where the name ends and whether it rings.
    heard_line heard(const std::string &line);
    // The names heard within the time, most recent first.
    std::vector<std::string> names_heard(std::chrono::seconds within);

private:
    void queue_line(const std::string &bytes);
    void send_outbox();
    void list_relays_heard();

    void search(const std::string &text);

    connection &conn_;
    chat_view &view_;

    std::mutex state_mtx_;  // the name and the bell: the receiver reads them for each line
    std::string name_;
    bool bell_ = true;

    // The lines typed on their way out; they wait here while the relay is away.
    std::mutex outbox_mtx_;
    std::condition_variable outbox_filled_;
    std::deque<std::pair<std::string, long long>> outbox_;  // the bytes, and when they were typed

    // The names heard lately, most recent first, each once; capped in time and count.
    using heard_list = std::list<std::pair<std::string, std::chrono::steady_clock::time_point>>;
    std::mutex heard_mtx_;
    heard_list heard_;
    std::unordered_map<std::string, heard_list::iterator> heard_at_;
};
