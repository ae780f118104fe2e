// running_client.cpp - the client's parts wired once, for every front-end.
#include "client/core/running_client.h"

#include "client/core/text.h"
#include "platform/net.h"
#include "platform/terminal.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const std::size_t SHOWN_AGAIN = 50;  // lines of the history shown at the start

}  // namespace

std::string prepare_client(char **argv, int name_arg, std::string *name)
{
    name->clear();
    if (name_arg != 0) {
        char given[1024];
        int n = argument_in_gb18030(argv, name_arg, given, sizeof given);
        if (n < 0)
            return "the name is too long or not text";
        name->assign(given, static_cast<std::size_t>(n));
        if (const char *refused = name_refusal(*name))
            return std::string("--name: ") + refused;
    }
    if (net_startup() != 0)
        return "the socket layer did not start";
    return "";
}

connection_options person_rule(const std::string &host)
{
    connection_options how;
    how.host = host;
    how.reconnect = true;       // a person's front-end finds the relay again when it is lost
    how.tell_heard = true;      // and says what it is doing while it listens
    how.remember_relay = true;  // the relay of last time is tried first
    return how;
}

running_client::running_client(const client_options &opts, feed_clock &clock)
    : opts_(opts), feed_(clock), conn_(person_rule(opts.host), feed_),
      commands_(new chat_commands(conn_, feed_, opts.name))
{
    chat_commands *commands = commands_.get();
    feed_.hear_with([commands](const std::string &line) { return commands->heard(line); });
    feed_.keep_in(&client_history());
}

running_client::running_client(const client_options &opts, room_view &raw)
    : opts_(opts), feed_(system_clock()), conn_(opts.pipe_rule, feed_)
{
    feed_.pass_to(raw);
    if (opts.keep_history)
        feed_.keep_in(&client_history());
}

void running_client::start()
{
    chat_history &history = client_history();
    history.start([this](const std::string &said) { feed_.answer(said); }, opts_.no_history, [this] { feed_.tick(); });
    if (history.keeping()) {
        std::vector<kept_line> last = chat_history::recent(SHOWN_AGAIN);
        if (!last.empty())
            feed_.history_lines(last, false);
    }
    commands_->start();
    std::thread([this] {
        conn_.connect_first();
        conn_.start();
    }).detach();
}

int running_client::start_pipes()
{
    if (opts_.keep_history)
        client_history().start([this](const std::string &said) { feed_.answer(said); }, false, [this] { feed_.tick(); });
    int status = conn_.connect_first();
    if (status != 0)
        return status;
    conn_.start();
    return 0;
}

void running_client::leave(std::chrono::milliseconds most)
{
    flush_history(most);
}

void flush_history(std::chrono::milliseconds most)
{
    // The writing goes on in a thread of its own: a disk that does not answer keeps the client
    // from ending no longer than `most`.
    struct done_flag {
        std::mutex mu;
        std::condition_variable set;
        bool done = false;
    };
    auto flag = std::make_shared<done_flag>();
    std::thread([flag] {
        client_history().flush();
        std::lock_guard<std::mutex> lock(flag->mu);
        flag->done = true;
        flag->set.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(flag->mu);
    flag->set.wait_for(lock, most, [&flag] { return flag->done; });
}
