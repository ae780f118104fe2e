// window_commands.cpp - the chat window's commands, its outgoing lines that wait for the relay, and
// the name file, which the terminal client shares.
#include "window_commands.h"

#include "client/client_connection.h"
#include "platform/settings.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

const char NAME_FILE[] = "name";
const std::size_t NAME_MAX_BYTES = 32;  // longer is no name on the other screens either
const auto NAMES_WITHIN = std::chrono::seconds(600);

const char HELP[] =
    "commands: /me TEXT (an action: \"* NAME TEXT\"), /nick NAME, /names (the names heard lately), "
    "/relay (the relays heard now), /relay ADDRESS (move there), /bell on|off, /quit, /help; "
    "//TEXT sends \"/TEXT\"";

// The lines typed on their way out; they wait here while the relay is away.
std::mutex outbox_mtx;
std::condition_variable outbox_filled;
std::deque<std::pair<std::string, long long>> outbox;  // the bytes, and when they were typed

void list_relays_heard(chat_front *front)
{
    std::vector<std::string> heard = relays_heard();
    std::string all;
    for (const std::string &a : heard)
        all += (all.empty() ? "" : ", ") + a;
    front->say(heard.empty() ? "no relay announced itself within 4 s" : "relays heard now: " + all);
}

}  // namespace

const char *name_problem(const std::string &name)
{
    if (name.empty())
        return "a name needs at least one character";
    if (name.size() > NAME_MAX_BYTES)
        return "a name takes 32 bytes at most";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return "a name cannot hold control characters";
    if (name.find(": ") != std::string::npos || name.front() == ' ' || name.back() == ' ')
        return "a name cannot hold \": \" or begin or end with a space";
    return nullptr;
}

std::string kept_name(std::string *why)
{
    char name[256];
    char because[512] = "";
    long n = read_settings_file(NAME_FILE, name, sizeof name, because, sizeof because);
    if (n == -2)
        *why = std::string("the name file cannot be read: ") + because;
    if (n <= 0)
        return "";
    std::string kept(name, static_cast<std::size_t>(n));
    while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r'))
        kept.pop_back();
    return name_problem(kept) == nullptr ? kept : "";
}

bool remember_name(const std::string &name, std::string *why)
{
    char because[512] = "";
    if (write_settings_file(NAME_FILE, name.data(), name.size(), because, sizeof because) == 0)
        return true;
    *why = std::string("the name could not be remembered: ") + because + "; it is used for this run";
    return false;
}

chat_commands::chat_commands(chat_front &front, const std::string &name) : front_(front), name_(name) {}

void chat_commands::start()
{
    front_.set_name(name_);
    std::thread(&chat_commands::send_outbox, this).detach();
}

void chat_commands::send_outbox()
{
    for (;;) {
        std::pair<std::string, long long> next;
        {
            std::unique_lock<std::mutex> lock(outbox_mtx);
            outbox_filled.wait(lock, [] { return !outbox.empty(); });
            next = outbox.front();  // it stays there, waiting, until it has gone
        }
        bool sent = send_bytes(next.first, next.second + HOLD_MS);
        std::size_t dropped = sent ? 0 : 1;
        {
            std::lock_guard<std::mutex> lock(outbox_mtx);
            outbox.pop_front();
            // Everything typed as long ago has waited as long: it goes too.
            while (!sent && !outbox.empty() && now_ms() - outbox.front().second >= HOLD_MS) {
                outbox.pop_front();
                ++dropped;
            }
            front_.set_waiting(outbox.size());
        }
        if (dropped > 0)
            front_.say(std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
                       " typed while the relay was away could not be sent within 60 s: dropped");
    }
}

void chat_commands::queue_line(const std::string &bytes)
{
    std::lock_guard<std::mutex> lock(outbox_mtx);
    outbox.push_back({bytes, now_ms()});
    outbox_filled.notify_one();
    front_.set_waiting(outbox.size());
}

void chat_commands::change_name(const std::string &name)
{
    if (const char *why = name_problem(name)) {
        front_.say(std::string(why) + "; the name stays " + (name_.empty() ? "(none)" : name_));
        return;
    }
    name_ = name;
    front_.set_name(name);
    front_.say("you are now " + name);
    std::string why;
    if (!remember_name(name, &why))
        front_.say(why);
}

void chat_commands::bell(bool on)
{
    front_.set_bell(on);
    front_.say(std::string("the bell is ") + (on ? "on" : "off") + " for lines that mention your name");
}

void chat_commands::move_to(const std::string &address)
{
    front_.say("connecting to the relay at " + address + "...");
    move_to_relay(address, front_.room());
}

void chat_commands::entered(const std::string &line)
{
    if (line.empty())
        return;
    std::string text = line;
    if (line[0] == '/' && line.compare(0, 2, "//") != 0) {
        std::size_t space = line.find(' ');
        std::string command = line.substr(0, space);
        std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        if (command == "/quit") {
            front_.quit();
        } else if (command == "/help") {
            front_.say(HELP);
        } else if (command == "/me" && !arg.empty()) {
            std::string bytes = "* " + (name_.empty() ? std::string() : name_ + " ") + arg + "\n";
            front_.own_line(bytes.substr(0, bytes.size() - 1));
            queue_line(bytes);
        } else if (command == "/nick") {
            change_name(arg);
        } else if (command == "/names" && arg.empty()) {
            std::string all;
            for (const std::string &n : front_.names_heard(NAMES_WITHIN))
                all += (all.empty() ? "" : ", ") + n;
            front_.say(all.empty() ? "nobody has been heard in the last 10 minutes (the relay knows nobody: only names heard are known)"
                                   : "heard in the last 10 minutes: " + all + " (only those heard: the relay knows nobody)");
        } else if (command == "/relay") {
            if (arg.empty()) {
                front_.say("listening for relays' announcements for 4 s...");
                std::thread(list_relays_heard, &front_).detach();
            } else {
                move_to(arg);
            }
        } else if (command == "/bell" && (arg == "on" || arg == "off")) {
            bell(arg == "on");
        } else {
            front_.say("unknown command " + command + " (nothing was sent); /help lists the commands");
        }
        return;
    }
    if (line.compare(0, 2, "//") == 0)
        text = line.substr(1);
    std::string bytes = (name_.empty() ? std::string() : name_ + ": ") + text;
    front_.own_line(bytes);
    queue_line(bytes + "\n");
}
