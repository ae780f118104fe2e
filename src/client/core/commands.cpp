// commands.cpp - the screen's commands, the outgoing lines that wait for the relay, and the
// name file.
#include "client/core/commands.h"

#include "client/core/connection.h"
#include "client/core/text.h"
#include "platform/settings.h"
#include "platform/terminal.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

const char NAME_FILE[] = "name";
const auto NAMES_WITHIN = std::chrono::seconds(600);

const char HELP[] =
    "commands: /me TEXT (an action: \"* NAME TEXT\"), /nick NAME, /names (the names heard lately), "
    "/relay (the relays heard now), /relay ADDRESS (move there), /bell on|off, /quit, /help; "
    "//TEXT sends \"/TEXT\"";

void remember_name(const std::string &name, screen *s)
{
    char why[512] = "";
    if (write_settings_file(NAME_FILE, name.data(), name.size(), why, sizeof why) == 0)
        return;
    std::string text = std::string("the name could not be remembered: ") + why + "; it is used for this run";
    if (s != nullptr)
        s->say(text);
    else
        std::fprintf(stderr, "chat_client: %s\n", text.c_str());
}

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

// The lines typed on the screen on their way out; they wait here while the relay is away.
std::mutex outbox_mtx;
std::condition_variable outbox_filled;
std::deque<std::pair<std::string, long long>> outbox;  // the bytes, and when they were typed

void send_outbox(screen *s)
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
            s->set_waiting(outbox.size());
        }
        if (dropped > 0)
            s->say(std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
                   " typed while the relay was away could not be sent within 60 s: dropped");
    }
}

void queue_line(screen &s, const std::string &bytes)
{
    std::lock_guard<std::mutex> lock(outbox_mtx);
    outbox.push_back({bytes, now_ms()});
    outbox_filled.notify_one();
    s.set_waiting(outbox.size());
}

struct chat_state {
    screen *s;
    std::string name;
};

void list_relays_heard(screen *s)
{
    std::vector<std::string> heard = relays_heard();
    std::string all;
    for (const std::string &a : heard)
        all += (all.empty() ? "" : ", ") + a;
    s->say(heard.empty() ? "no relay announced itself within 4 s" : "relays heard now: " + all);
}

// A line entered on the screen: a command, or a line for the room.
void entered(chat_state &c, const std::string &line)
{
    screen &s = *c.s;
    if (line.empty())
        return;
    std::string text = line;
    if (line[0] == '/' && line.compare(0, 2, "//") != 0) {
        std::size_t space = line.find(' ');
        std::string command = line.substr(0, space);
        std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        if (command == "/quit") {
            exit_client(0);
        } else if (command == "/help") {
            s.say(HELP);
        } else if (command == "/me" && !arg.empty()) {
            std::string bytes = "* " + (c.name.empty() ? std::string() : c.name + " ") + arg + "\n";
            s.own_line(bytes.substr(0, bytes.size() - 1));
            queue_line(s, bytes);
        } else if (command == "/nick") {
            if (const char *why = name_refusal(arg)) {
                s.say(std::string(why) + "; the name stays " + (c.name.empty() ? "(none)" : c.name));
            } else {
                c.name = arg;
                s.set_name(arg);
                s.say("you are now " + arg);
                remember_name(arg, &s);
            }
        } else if (command == "/names" && arg.empty()) {
            std::string all;
            for (const std::string &n : s.names_heard(NAMES_WITHIN))
                all += (all.empty() ? "" : ", ") + n;
            s.say(all.empty() ? "nobody has been heard in the last 10 minutes (the relay knows nobody: only names heard are known)"
                              : "heard in the last 10 minutes: " + all + " (only those heard: the relay knows nobody)");
        } else if (command == "/relay") {
            if (arg.empty()) {
                s.say("listening for relays' announcements for 4 s...");
                std::thread(list_relays_heard, &s).detach();
            } else {
                s.say("connecting to the relay at " + arg + "...");
                move_to_relay(arg, s);
            }
        } else if (command == "/bell" && (arg == "on" || arg == "off")) {
            s.set_bell(arg == "on");
            s.say(std::string("the bell is ") + (arg == "on" ? "on" : "off") + " for lines that mention your name");
        } else {
            s.say("unknown command " + command + " (nothing was sent); /help lists the commands");
        }
        return;
    }
    if (line.compare(0, 2, "//") == 0)
        text = line.substr(1);
    std::string bytes = (c.name.empty() ? std::string() : c.name + ": ") + text;
    s.own_line(bytes);
    queue_line(s, bytes + "\n");
}

}  // namespace

std::string remembered_name()
{
    char name[256];
    char why[512] = "";
    long n = read_settings_file(NAME_FILE, name, sizeof name, why, sizeof why);
    if (n > 0) {
        std::string kept(name, static_cast<std::size_t>(n));
        while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r'))
            kept.pop_back();
        const char *why_not = name_refusal(kept);
        if (why_not == nullptr)
            return kept;
        std::fprintf(stderr, "chat_client: the name in the name file is not used: %s\n", why_not);
    }
    if (n == -2)
        std::fprintf(stderr, "chat_client: the name file cannot be read: %s\n", why);
    char login[256];
    std::string offered(login, login_name(login, sizeof login));
    if (name_refusal(offered) != nullptr)
        offered.clear();
    for (;;) {
        std::string ask = safe_to_show("Your name in the chat" + (offered.empty() ? std::string() : " [" + offered + "]") + ": ");
        show_text(ask.data(), ask.size());
        std::string typed = typed_line();
        if (typed.empty())
            typed = offered;
        if (typed.empty())
            return "";
        if (const char *why_not = name_refusal(typed)) {
            std::string say = std::string(why_not) + "\n";
            show_text(say.data(), say.size());
            continue;
        }
        remember_name(typed, nullptr);
        return typed;
    }
}

void run_screen(screen &s, const std::string &name)
{
    static chat_state c;
    c.s = &s;
    c.name = name;
    s.set_name(name);
    std::thread(send_outbox, &s).detach();
    s.run_editor([](const std::string &line) { entered(c, line); });
}
