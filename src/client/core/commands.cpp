// commands.cpp - the commands, the outgoing lines that wait for the relay, the names heard, and the
// name file.
#include "client/core/commands.h"

#include "client/core/history.h"
#include "client/core/text.h"
#include "platform/settings.h"
#include "platform/terminal.h"

#include <thread>

namespace {

using std::chrono::steady_clock;

const char NAME_FILE[] = "name";
const auto NAMES_WITHIN = std::chrono::seconds(600);
const auto NAMES_KEPT = std::chrono::minutes(10);  // as far back as /names tells
const std::size_t NAMES_KEPT_MAX = 2000;           // a flood of names forgets the oldest
const std::size_t FOUND_MOST = 20;    // lines /search shows

const char HELP[] =
    "commands: /me TEXT (an action: \"* NAME TEXT\"), /nick NAME, /names (the names heard lately), "
    "/relay (the relays heard now), /relay ADDRESS (move there), /bell on|off, /search TEXT (the newest 20 "
    "lines kept that say it), /history on|off (keep what is shown, or not), /quit, /help; "
    "//TEXT sends \"/TEXT\"";

}  // namespace

std::string read_name_file(std::string *why)
{
    why->clear();
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
    if (const char *why_not = name_refusal(kept)) {
        *why = std::string("the name in the name file is not used: ") + why_not;
        return "";
    }
    return kept;
}

bool remember_name(const std::string &name, std::string *why)
{
    char because[512] = "";
    if (write_settings_file(NAME_FILE, name.data(), name.size(), because, sizeof because) == 0)
        return true;
    *why = std::string("the name could not be remembered: ") + because + "; it is used for this run";
    return false;
}

std::string name_for_person(const std::function<std::string(const std::string &offered, const char *refused)> &ask,
                            const std::function<void(const std::string &said)> &tell)
{
    std::string why;
    std::string kept = read_name_file(&why);
    if (!why.empty())
        tell(why);
    if (!kept.empty())
        return kept;
    char login[256];
    std::string offered(login, login_name(login, sizeof login));
    if (name_refusal(offered) != nullptr)
        offered.clear();
    const char *refused = nullptr;
    for (;;) {
        std::string given = ask(offered, refused);
        if (given.empty())
            return "";
        refused = name_refusal(given);
        if (refused != nullptr)
            continue;
        if (!remember_name(given, &why))
            tell(why);
        return given;
    }
}

chat_commands::chat_commands(connection &conn, chat_view &view, const std::string &name)
    : conn_(conn), view_(view), sharing_(sharing_hooks{
          [this](const std::string &text) { view_.answer(text); },
          [this](const std::string &text) { view_.transfer_outcome(text); },
          [this](const std::string &text, int percent) { view_.transfer_progress(text, percent); },
          [this](const std::string &line) {
              std::string me = this->name();
              std::string bytes = (me.empty() ? std::string() : me + ": ") + line;
              view_.own_line(bytes);
              queue_line(bytes + "\n");
          },
          [this] { return conn_.local_address(); }}),
      name_(name)
{
}

void chat_commands::start()
{
    view_.set_name(name());
    std::thread(&chat_commands::send_outbox, this).detach();
}

std::string chat_commands::name()
{
    std::lock_guard<std::mutex> lock(state_mtx_);
    return name_;
}

bool chat_commands::bell()
{
    std::lock_guard<std::mutex> lock(state_mtx_);
    return bell_;
}

void chat_commands::send_outbox()
{
    for (;;) {
        std::pair<std::string, long long> next;
        {
            std::unique_lock<std::mutex> lock(outbox_mtx_);
            outbox_filled_.wait(lock, [this] { return !outbox_.empty(); });
            next = outbox_.front();  // it stays there, waiting, until it has gone
        }
        bool sent = conn_.send_bytes(next.first, next.second + HOLD_MS);
        std::size_t dropped = sent ? 0 : 1;
        {
            std::lock_guard<std::mutex> lock(outbox_mtx_);
            outbox_.pop_front();
            // Everything typed as long ago has waited as long: it goes too.
            while (!sent && !outbox_.empty() && now_ms() - outbox_.front().second >= HOLD_MS) {
                outbox_.pop_front();
                ++dropped;
            }
            view_.set_waiting(outbox_.size());
        }
        if (dropped > 0) {
            std::string said = std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
                               " typed while the relay was away could not be sent within 60 s: dropped";
            view_.note(said);
        }
    }
}

void chat_commands::queue_line(const std::string &bytes)
{
    std::lock_guard<std::mutex> lock(outbox_mtx_);
    outbox_.push_back({bytes, now_ms()});
    outbox_filled_.notify_one();
    view_.set_waiting(outbox_.size());
}

void chat_commands::list_relays_heard()
{
    std::vector<std::string> heard = conn_.relays_heard();
    std::string all;
    for (const std::string &a : heard)
        all += (all.empty() ? "" : ", ") + a;
    view_.answer(heard.empty() ? "no relay announced itself within 4 s" : "relays heard now: " + all);
}

void chat_commands::change_name(const std::string &name)
{
    if (const char *why = name_refusal(name)) {
        std::string was = this->name();
        view_.answer(std::string(why) + "; the name stays " + (was.empty() ? "(none)" : was));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(state_mtx_);
        name_ = name;
    }
    view_.set_name(name);
    view_.answer("you are now " + name);
    std::string why;
    if (!remember_name(name, &why))
        view_.answer(why);
}

void chat_commands::set_bell(bool on)
{
    {
        std::lock_guard<std::mutex> lock(state_mtx_);
        bell_ = on;
    }
    view_.set_bell(on);
    view_.answer(std::string("the bell is ") + (on ? "on" : "off") + " for lines that mention your name");
}

void chat_commands::move_to(const std::string &address)
{
    view_.note("connecting to the relay at " + address + "...");
    conn_.move_to(address);
}


// The search goes on a thread of its own: whatever the files' size or wherever they are (a network
// folder that hangs), the front-end's thread that typed it is never held. The commands live as long
// as the process.
void chat_commands::search(const std::string &text)
{
    std::thread([this, text] {
        std::vector<kept_line> found = chat_history::search(text, FOUND_MOST);
        if (found.empty()) {
            view_.answer("no line kept says \"" + text + "\"");
            return;
        }
        view_.answer(std::string(found.size() == FOUND_MOST ? "the newest " : "") + std::to_string(found.size()) +
                     (found.size() == 1 ? " line kept says \"" : " lines kept say \"") + text + "\":");
        view_.history_lines(found, true);
    }).detach();
}

std::size_t chat_commands::find_in_history(const std::string &text, std::size_t most)
{
    std::vector<kept_line> found = chat_history::search(text, most);
    if (!found.empty()) {
        view_.answer("found in the history (the newest " + std::to_string(found.size()) + "):");
        view_.history_lines(found, true);
    }
    return found.size();
}

bool chat_commands::entered(const std::string &line)
{
    if (line.empty())
        return true;
    std::string text = line;
    if (line[0] == '/' && line.compare(0, 2, "//") != 0) {
        std::size_t space = line.find(' ');
        std::string command = line.substr(0, space);
        std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        if (command == "/quit") {
            return false;
        } else if (command == "/help") {
            view_.answer(HELP);
        } else if (command == "/me" && !arg.empty()) {
            std::string me = name();
            std::string bytes = "* " + (me.empty() ? std::string() : me + " ") + arg + "\n";
            view_.own_line(bytes.substr(0, bytes.size() - 1));
            queue_line(bytes);
        } else if (command == "/nick") {
            change_name(arg);
        } else if (command == "/names" && arg.empty()) {
            std::string all;
            for (const std::string &n : names_heard(NAMES_WITHIN))
                all += (all.empty() ? "" : ", ") + n;
            view_.answer(all.empty() ? "nobody has been heard in the last 10 minutes (the relay knows nobody: only names heard are known)"
                                   : "heard in the last 10 minutes: " + all + " (only those heard: the relay knows nobody)");
        } else if (command == "/relay") {
            if (arg.empty()) {
                view_.answer("listening for relays' announcements for 4 s...");
                std::thread(&chat_commands::list_relays_heard, this).detach();
            } else {
                move_to(arg);
            }
        } else if (command == "/bell" && (arg == "on" || arg == "off")) {
            set_bell(arg == "on");
        } else if (command == "/search" && !arg.empty()) {
            search(arg);
        } else if (command == "/share") {
            sharing_.share(arg);
        } else if (command == "/unshare") {
            sharing_.unshare(arg);
        } else if (command == "/files" && arg.empty()) {
            sharing_.list_files();
        } else if (command == "/get") {
            sharing_.get(arg);
        } else if (command == "/history" && (arg == "on" || arg == "off")) {
            client_history().turn(arg == "on");
        } else {
            view_.answer("unknown command " + command + " (nothing was sent); /help lists the commands");
        }
        return true;
    }
    if (line.compare(0, 2, "//") == 0)
        text = line.substr(1);
    std::string me = name();
    std::string bytes = (me.empty() ? std::string() : me + ": ") + text;
    view_.own_line(bytes);
    queue_line(bytes + "\n");
    return true;
}

heard_line chat_commands::heard(const std::string &line)
{
    heard_line h;
    h.offer = sharing_.heard(line);
    h.name = name_in(line, &h.text_at);
    if (!h.name.empty()) {
        std::lock_guard<std::mutex> lock(heard_mtx_);
        auto now = steady_clock::now();
        auto at = heard_at_.find(h.name);
        if (at != heard_at_.end()) {
            heard_.splice(heard_.begin(), heard_, at->second);
            heard_.front().second = now;
        } else {
            heard_.emplace_front(h.name, now);
            heard_at_.emplace(h.name, heard_.begin());
        }
        while (heard_.size() > NAMES_KEPT_MAX || now - heard_.back().second > NAMES_KEPT) {
            heard_at_.erase(heard_.back().first);
            heard_.pop_back();
        }
    }
    std::lock_guard<std::mutex> lock(state_mtx_);
    // Matched on characters: the later bytes of a two-byte character can spell a name in ASCII.
    h.mention = bell_ && !name_.empty() && find_characters(line, name_, h.text_at) != std::string::npos;
    return h;
}

std::vector<std::string> chat_commands::names_heard(std::chrono::seconds within)
{
    std::lock_guard<std::mutex> lock(heard_mtx_);
    std::vector<std::string> names;
    auto now = steady_clock::now();
    for (auto h = heard_.begin(); h != heard_.end() && now - h->second <= within; ++h)
        names.push_back(h->first);
    return names;
}
