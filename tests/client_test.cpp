// client_test.cpp - the companion client against the real relay: discovery, heartbeat, chat, failures.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <arpa/inet.h>
#include <csignal>
#include <ctime>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef RELAY_CLIENT
#error "RELAY_CLIENT must name the client under test"
#endif

namespace {

class ChatClient : public Program {
public:
    void start(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {})
    {
        Program::start(RELAY_CLIENT, args, env);
    }
};

void send_datagram(const std::string &payload, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (from != nullptr) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8889);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
}

// The history file's name of the day this many days back: "YYYY-MM-DD.txt".
std::string day_file(int days_back)
{
    std::time_t t = std::time(nullptr) - days_back * 86400L;
    std::tm tm{};
    localtime_r(&t, &tm);
    char name[32];
    std::strftime(name, sizeof name, "%Y-%m-%d.txt", &tm);
    return name;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

int truncate_file(const std::string &path, off_t size)
{
    return truncate(path.c_str(), size) == 0 || (write_file(path, ""), truncate(path.c_str(), size) == 0) ? 0 : -1;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// What a terminal shows of its output: Wine's console moves the cursor with escape sequences
// between the pieces of text.
std::string screen_text(const std::string &output)
{
    std::string text;
    for (size_t i = 0; i < output.size(); ++i) {
        if (output[i] != '\x1b' || i + 1 == output.size() || output[i + 1] != '[') {
            text += output[i];
            continue;
        }
        for (i += 2; i < output.size() && !(output[i] >= '@' && output[i] <= '~'); ++i) {
        }
    }
    return text;
}

// The client in a tmux pane of 80 by 20 cells, as a person runs it: what the pane shows is what the
// person sees. tmux runs in this test's network namespace, with a server of its own.
class ScreenClient {
public:
    ScreenClient() : dir_(make_dir()) {}
    ~ScreenClient()
    {
        tmux("kill-server");
        if (under_wine())
            std::system(("TMPDIR=" + dir_ + "/wine WINEPREFIX=" RELAY_WINEPREFIX " wineserver -k 2>/dev/null").c_str());
        std::system(("rm -rf " + dir_).c_str());
    }
    // Starts the client with these arguments and extra environment; the pane records the
    // terminal's settings before and after it, and its exit status.
    void start(const std::string &args, const std::string &env = "")
    {
        std::string script = dir_ + "/run.sh";
        // Under Wine: a wineserver of the client's own.
        std::string program = RELAY_CLIENT, more = env;
        if (under_wine()) {
            program = std::string(RELAY_WINE) + " " + RELAY_CLIENT;
            more += " WINEPREFIX=" RELAY_WINEPREFIX " WINEDEBUG=-all TMPDIR=" + dir_ + "/wine";
            std::system(("mkdir -p " + dir_ + "/wine").c_str());
        }
        FILE *f = std::fopen(script.c_str(), "w");
        std::fprintf(f, "stty -g > %s/before\nenv TERM=xterm-256color LANG=C.UTF-8 LC_ALL=C.UTF-8 "
                        "XDG_CONFIG_HOME=%s/config XDG_DATA_HOME=%s/data %s %s %s\nstatus=$?\nstty -g > %s/after\n"
                        "echo $status > %s/status\nsleep 600\n",
                     dir_.c_str(), dir_.c_str(), dir_.c_str(), more.c_str(), program.c_str(), args.c_str(), dir_.c_str(), dir_.c_str());
        std::fclose(f);
        std::remove((dir_ + "/status").c_str());
        tmux("kill-server");
        ++runs_;  // a server of its own for each run: the last may still be on its way out
        ASSERT_EQ(tmux("new-session -d -x 80 -y 20 'sh " + script + "'"), 0);
    }
    void type(const std::string &text) { tmux("send-keys -l '" + text + "'"); }
    // Pastes the text as a terminal does for a program that asked for bracketed paste.
    void paste(const std::string &text)
    {
        tmux("set-buffer '" + text + "'");
        tmux("paste-buffer -p");
    }
    void resize(int columns, int rows)
    {
        tmux("resize-window -x " + std::to_string(columns) + " -y " + std::to_string(rows));
    }
    bool wait_for_row(size_t row, const std::string &shown, Clock::duration timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (rows()[row].find(shown) == std::string::npos) {
            if (Clock::now() > deadline)
                return false;
            check_relay();
            std::this_thread::sleep_for(milliseconds(100));
        }
        return true;
    }
    void press(const std::string &key) { tmux("send-keys " + key); }
    // From now on, the bytes the program writes to the terminal are kept, as written (escape
    // sequences, bells and all); raw_output returns them.
    void keep_raw_output() { tmux("pipe-pane -O 'cat > " + dir_ + "/raw'"); }
    std::string raw_output() { return file("raw"); }
    // The pane's rows, plain text, and with colours (for the screenshots).
    std::vector<std::string> rows()
    {
        std::vector<std::string> rows;
        std::istringstream in(capture("-p"));
        for (std::string row; std::getline(in, row);)
            rows.push_back(row);
        rows.resize(20);
        return rows;
    }
    std::string text() { return capture("-p"); }
    // What tmux answers to a command about its panes, buffers or options.
    std::string ask(const std::string &command) { return capture_command(command); }
    // The same as one line: rows that a long line wrapped over, joined again (Wine's console
    // breaks them itself).
    std::string joined_text()
    {
        // The screen wraps a long line itself, onto rows that begin six blanks in: they join up again.
        std::string text = capture("-p -J"), joined;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] != '\n')
                joined += text[at];
            else if (text.compare(at + 1, 6, "      ") == 0)
                at += 6;
        }
        return joined;
    }
    void save(const std::string &name)
    {
        std::system(("mkdir -p /tmp/shots && " + tmux_command("capture-pane -p -e") + " > /tmp/shots/" + name).c_str());
    }
    // The cursor's column and row, counted from 0.
    std::pair<int, int> cursor()
    {
        std::istringstream in(capture_command("display-message -p '#{cursor_x} #{cursor_y}'"));
        int x = -1, y = -1;
        in >> x >> y;
        return {x, y};
    }
    // Waits until the cursor is there; the terminal may place it a moment after the text.
    bool wait_cursor(int x, int y, Clock::duration timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (cursor() != std::make_pair(x, y)) {
            if (Clock::now() > deadline)
                return false;
            check_relay();
            std::this_thread::sleep_for(milliseconds(50));
        }
        return true;
    }
    bool wait_for(const std::string &shown, Clock::duration timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (text().find(shown) == std::string::npos) {
            if (Clock::now() > deadline)
                return false;
            check_relay();
            std::this_thread::sleep_for(milliseconds(100));
        }
        return true;
    }
    std::optional<int> wait_exit(Clock::duration timeout)
    {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            std::ifstream in(dir_ + "/status");
            int status = -1;
            if (in >> status)
                return status;
            if (Clock::now() > deadline)
                return std::nullopt;
            check_relay();
            std::this_thread::sleep_for(milliseconds(100));
        }
    }
    // The name file of the client run as this user: Wine keeps a profile for each USER in its prefix.
    std::string name_file(const std::string &user)
    {
        if (under_wine())
            return RELAY_WINEPREFIX "/drive_c/users/" + user + "/AppData/Roaming/Chat Relay/name";
        return dir_ + "/config/chat_client/name";
    }
    // The history's folder of the client run as this user, emptied.
    std::string empty_history(const std::string &user)
    {
        std::string dir = under_wine() ? RELAY_WINEPREFIX "/drive_c/users/" + user + "/AppData/Local/Chat Relay/history"
                                       : dir_ + "/data/chat_client/history";
        std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
        return dir;
    }
    std::string file_path(const std::string &name) { return dir_ + "/" + name; }
    std::string file(const std::string &name)
    {
        std::ifstream in(name[0] == '/' ? name : dir_ + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    static std::string make_dir()
    {
        char dir[] = "/tmp/relay-screen-XXXXXX";
        return mkdtemp(dir) != nullptr ? dir : "";
    }
    std::string tmux_command(const std::string &args)
    {
        return "tmux -S " + dir_ + "/tmux" + std::to_string(runs_) + " " + args;
    }
    int tmux(const std::string &args) { return std::system((tmux_command(args) + " 2>/dev/null").c_str()); }
    std::string capture(const std::string &how) { return capture_command("capture-pane " + how); }
    std::string capture_command(const std::string &args)
    {
        FILE *p = popen((tmux_command(args) + " 2>/dev/null").c_str(), "r");
        std::string out;
        char buf[4096];
        for (size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        if (p != nullptr)
            pclose(p);
        return out;
    }

    std::string dir_;
    int runs_ = 0;
};

// Waits until the pane shows the text, rows a long line wrapped over joined again.
bool wait_joined(ScreenClient &c, const std::string &shown, Clock::duration timeout = seconds(5))
{
    auto deadline = Clock::now() + timeout;
    while (c.joined_text().find(shown) == std::string::npos) {
        if (Clock::now() > deadline)
            return false;
        check_relay();
        std::this_thread::sleep_for(milliseconds(100));
    }
    return true;
}

TEST_F(Relay, ClientsExchangeLinesBothWays)
{
    start_server();
    ChatClient alice, bob;
    alice.start({"127.0.0.1"});
    bob.start({"localhost"});  // a name: looked up on a thread of its own, its result handed over
    line(3);
    alice.write_input("hello bob\n");
    EXPECT_TRUE(bob.wait_for_output("hello bob\n", seconds(10))) << bob.output();
    bob.write_input("hi alice\n");
    EXPECT_TRUE(alice.wait_for_output("hi alice\n", seconds(10))) << alice.output();

    // A last line without a line end still goes out when the input ends, and the client then
    // leaves cleanly.
    alice.write_input("bye");
    alice.close_input();
    EXPECT_EQ(alice.wait_exit(seconds(10)), 0) << alice.errors();
    EXPECT_TRUE(bob.wait_for_output("bye", seconds(10)));
    EXPECT_EQ(bob.output(), "hello bob\nbye");
    EXPECT_EQ(alice.output(), "hi alice\n") << "an echo or an answer to a heartbeat leaked";
}

TEST_F(Relay, ClientPassesBinaryBytesUnchangedBothWays)
{
    start_server();
    ChatClient c;
    c.start({"127.0.0.1"});
    Client raw;
    line(3);
    std::string every_byte;
    for (int i = 0; i < 256; ++i)
        every_byte += static_cast<char>(i);
    raw.send(every_byte);
    EXPECT_TRUE(c.wait_for_output(std::string(1, '\xff'), seconds(10)));
    EXPECT_EQ(c.output(), every_byte) << "bytes were translated on the way to standard output";

    c.write_input(std::string("a\r\nb\0c\n", 7));
    EXPECT_EQ(raw.recv_exact(7, seconds(10)), std::string("a\r\nb\0c\n", 7));

    // Input that ends no line is not held back for ever: it goes in pieces of 64 KiB.
    c.write_input(std::string(200000, 'y'));
    EXPECT_EQ(raw.recv_exact(3 * 65536, seconds(10)), std::string(3 * 65536, 'y'));
}

TEST_F(Relay, OnATerminalTheClientSendsGB18030AndShowsTheTerminalsEncoding)
{
    start_server();
    ChatClient c;
    c.run_on_terminal();
    c.start({"--name", "小明", "127.0.0.1"}, {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TERM=dumb"});  // line mode
    Client raw;
    line(3, START_TIMEOUT);  // Wine starts a console of its own first
    // Enter: a Windows console takes CR, which the terminal would turn into LF until Wine has set
    // it to raw mode.
    c.write_input(under_wine() ? "你好😀\r" : "你好😀\n");
    const std::string typed = gb18030("小明: 你好😀\n");
    EXPECT_EQ(raw.recv_exact(typed.size(), seconds(10)), typed);

    // Receives that cut characters in two (the first and the four-byte one, twice), and a lead byte
    // with no second byte: it shows as U+FFFD, and the text after it as it is.
    const std::string chat = gb18030("世界😀") + "\x81 intact\n";
    size_t from = 0;
    for (size_t cut : {size_t(1), size_t(5), size_t(7), chat.size()}) {
        raw.send(chat.substr(from, cut - from));
        from = cut;
        std::this_thread::sleep_for(milliseconds(200));
    }
    // Wine's console (8.0) writes each half of a surrogate pair to its terminal as U+FFFD.
    const std::string shown = std::string(under_wine() ? "世界\uFFFD\uFFFD" : "世界😀") + "\uFFFD intact\r";
    auto deadline = Clock::now() + seconds(10);
    while (screen_text(c.output()).find(shown) == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_NE(screen_text(c.output()).find(shown), std::string::npos) << c.output();
    if (!under_wine()) {
        EXPECT_EQ(c.output(), shown + "\n");  // and nothing else, not even what was typed
    }
}

TEST_F(Relay, ClientFindsTheServerByItsBeacon)
{
    start_server();
    ChatClient c;
    c.start();
    EXPECT_TRUE(c.wait_for_errors("found server at 198.18.0.1", seconds(15))) << c.errors();
    Client raw;
    EXPECT_EQ(line(3).text, connected_text(2));
    raw.send("found you\n");
    EXPECT_TRUE(c.wait_for_output("found you\n", seconds(10)));
}

// Every datagram the listener hears within the time.
std::vector<Datagram> hear_for(BeaconListener &listener, Clock::duration how_long)
{
    std::vector<Datagram> heard;
    auto deadline = Clock::now() + how_long;
    while (auto d = listener.receive(std::max<Clock::duration>(deadline - Clock::now(), milliseconds(0))))
        heard.push_back(*d);
    return heard;
}

// What a network heard in some beacon periods: the relay, from its address on that network and
// no other, at most `per_period` times a period.
void expect_announced(const std::vector<Datagram> &heard, const PeerHost &host, size_t per_period)
{
    EXPECT_GE(heard.size(), 2u) << "network " << host.address() << " missed announcements";
    for (size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].source, host.near_address());
        EXPECT_EQ(heard[i].payload, "CHAT_SERVER_V1.4");
        if (i >= per_period) {
            EXPECT_GT(heard[i].arrived - heard[i - per_period].arrived, milliseconds(2500))
                << "network " << host.address() << " heard more than " << per_period << " in one period";
        }
    }
}

TEST_F(Relay, ClientsOnEveryNetworkOfTheRelaysHostFindItAndChat)
{
    // The relay's host is on two more networks; its default route, and with it the limited
    // broadcast, leads to the first. It also carries addresses that have no subnet broadcast, and
    // thousands of them, on a link of its own.
    PeerHost one(1), two(2);
    one.take_default_route();
    std::string crowd = "link add crowd type veth peer name crowd1\nlink set crowd up\nlink set crowd1 up\n"
                        "addr add 198.19.1.0/31 dev crowd\n";
    for (int i = 0; i < 2000; ++i)
        crowd += "addr add 198.19." + std::to_string(10 + i / 250) + "." + std::to_string(1 + i % 250) + "/32 dev crowd\n";
    ip_batch(crowd);
    BeaconListener on_one(one), on_two(two);
    start_server();
    ChatClient alice, bob;
    {
        InNamespace there(one.netns());
        alice.start();
    }
    {
        InNamespace there(two.netns());
        bob.start();
    }

    // Two periods and a little; the limited broadcast comes on top of the default network's own.
    auto heard_one = std::async(std::launch::async, [&] { return hear_for(on_one, milliseconds(6500)); });
    expect_announced(hear_for(on_two, milliseconds(6500)), two, 1);
    expect_announced(heard_one.get(), one, 2);

    // Each client connects to the address it heard, and they talk through the relay.
    EXPECT_TRUE(alice.wait_for_errors("found server at 198.18.1.1", seconds(10))) << alice.errors();
    EXPECT_TRUE(bob.wait_for_errors("found server at 198.18.2.1", seconds(10))) << bob.errors();
    EXPECT_EQ(line(3).text, connected_text(2));
    alice.write_input("hello from one\n");
    EXPECT_TRUE(bob.wait_for_output("hello from one\n", seconds(10))) << bob.output();
    bob.write_input("hello from two\n");
    EXPECT_TRUE(alice.wait_for_output("hello from two\n", seconds(10))) << alice.output();

    // A network the host joins later hears the announcement within a period or two.
    PeerHost three(3);
    BeaconListener on_three(three);
    auto d = on_three.receive(seconds(7));
    ASSERT_TRUE(d) << "a network joined after start-up was never announced on";
    EXPECT_EQ(d->source, three.near_address());
    EXPECT_EQ(server.lines().size(), 3u) << server.log();
}

TEST_F(Relay, ListingNamesEveryRelayHeardOnce)
{
    // This host is on two networks with a relay on each. The first relay's default route leads to
    // this host, so it is heard twice a period; the second has none, and only its announcement on
    // its own network gets here.
    PeerHost one(1), two(2);
    ServerProcess other;
    {
        InNamespace there(one.netns());
        ASSERT_EQ(std::system("ip route add default dev eth0"), 0);
        start_server();
    }
    {
        InNamespace there(two.netns());
        other.start();
    }
    ASSERT_EQ(other.wait_for_lines(1, START_TIMEOUT).size(), 1u) << other.log();
    ChatClient lister;
    lister.start({"--list"});
    auto status = lister.wait_exit(seconds(20));
    ASSERT_TRUE(status) << "still listing after 20 s";
    EXPECT_EQ(*status, 0) << lister.errors();
    lister.wait_for_output("198.18.1.2\n", seconds(5));  // the process can end before its output is read
    lister.wait_for_output("198.18.2.2\n", seconds(5));
    std::string out = lister.output();
    EXPECT_TRUE(out == "198.18.1.2\n198.18.2.2\n" || out == "198.18.2.2\n198.18.1.2\n") << out;
    EXPECT_TRUE(other.running());

    // Anyone on the network can announce a relay, from any address: a listing takes 16 at most,
    // and says there were more.
    ChatClient crowded;
    crowded.start({"--list"});
    while (crowded.running()) {
        for (int i = 2; i < 22; ++i)
            send_datagram("CHAT_SERVER_V1.4", ("127.0.0." + std::to_string(i)).c_str());
        std::this_thread::sleep_for(milliseconds(200));
    }
    EXPECT_EQ(crowded.wait_exit(seconds(10)), 0) << crowded.errors();
    EXPECT_TRUE(crowded.wait_for_errors("more than 16 relays announced themselves", seconds(5))) << crowded.errors();
    std::this_thread::sleep_for(QUIET);  // the last of the list may still be in the pipe
    EXPECT_EQ(count(crowded.output(), "\n"), 16u) << crowded.output();
}

TEST_F(Relay, ClientIgnoresDatagramsThatAreNotTheAnnouncement)
{
    ChatClient c;
    c.start();
    const std::vector<std::string> foreign = {std::string("CHAT_SERVER_V1.4\0", 17), "CHAT_SERVER_V1.", "CHAT_SERVER_V1.5",
                                              "", std::string(3000, 'x')};
    // Until the client is listening, datagrams go nowhere: repeat until it has said so. A sender of
    // junk is mentioned once a minute, however much it sends.
    auto deadline = Clock::now() + seconds(8);
    while (count(c.errors(), "not a relay's announcement") == 0 && Clock::now() < deadline) {
        for (const std::string &d : foreign)
            send_datagram(d);
        std::this_thread::sleep_for(milliseconds(200));
    }
    for (int i = 0; i < 20; ++i) {
        for (const std::string &d : foreign)
            send_datagram(d);
        std::this_thread::sleep_for(milliseconds(50));
    }
    std::this_thread::sleep_for(QUIET);
    EXPECT_EQ(count(c.errors(), "not a relay's announcement"), 1u) << c.errors();
    EXPECT_TRUE(c.running()) << "a foreign datagram was taken for a relay";
    EXPECT_EQ(c.errors().find("found server"), std::string::npos) << c.errors();

    start_server();
    EXPECT_TRUE(c.wait_for_errors("found server at 198.18.0.1", seconds(10))) << c.errors();
    EXPECT_EQ(line(2).text, connected_text(1));

    // A listing hears junk beside the announcement too: it says so once, and lists the relay.
    ChatClient lister;
    lister.start({"--list"});
    deadline = Clock::now() + seconds(8);
    while (count(lister.errors(), "not a relay's announcement") == 0 && lister.running() && Clock::now() < deadline) {
        send_datagram("x");
        std::this_thread::sleep_for(milliseconds(200));
    }
    EXPECT_EQ(lister.wait_exit(seconds(10)), 0) << lister.errors();
    EXPECT_TRUE(lister.wait_for_output("198.18.0.1\n", seconds(5))) << lister.output();
    EXPECT_EQ(count(lister.errors(), "not a relay's announcement"), 1u) << lister.errors();
}

TEST_F(Relay, IdleClientKeepsItsPlace)
{
    start_server();
    ChatClient c;
    c.start({"127.0.0.1"});
    line(2);
    server.wait_for_lines(3, seconds(25));  // a departure would be the third line
    EXPECT_EQ(server.lines().size(), 2u) << "the idle client was dropped";
    Client raw;
    EXPECT_EQ(line(3).text, connected_text(2));
    raw.send("still there?\n");
    EXPECT_TRUE(c.wait_for_output("still there?\n", seconds(10)));
    EXPECT_EQ(c.output(), "still there?\n") << "answers to heartbeats reached the output";
}

TEST_F(Relay, ClientSaysSoWhenTheServerGoesAwayOrStopsAnswering)
{
    start_server();
    // A relay whose host froze or lost its network sends no reset: its silence must tell, also to
    // a client whose send it stopped taking.
    ChatClient frozen_out, flooding;
    frozen_out.start({"127.0.0.1"});
    flooding.start({"127.0.0.1"});
    line(3);
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    auto stopped_at = Clock::now();
    std::string lines;
    for (int i = 0; i < 16 * 1024; ++i)
        lines += std::string(1023, 'f') + "\n";  // more than the pipe and both sockets hold
    std::thread feed([&] { flooding.write_input_until_closed(lines); });
    auto status = frozen_out.wait_exit(seconds(25));
    auto flood_status = flooding.wait_exit(seconds(1));
    auto flood_time = Clock::now() - stopped_at;
    kill(server.pid(), SIGCONT);
    if (!flood_status)
        kill(flooding.pid(), SIGKILL);
    feed.join();
    ASSERT_TRUE(status) << "the client kept waiting for a relay that answers nothing";
    EXPECT_EQ(*status, 3);
    EXPECT_NE(frozen_out.errors().find("the relay stopped answering"), std::string::npos) << frozen_out.errors();
    // A heartbeat after at most 4 s of silence, then 10 s for its answer.
    EXPECT_GE(Clock::now() - stopped_at, seconds(10));
    ASSERT_TRUE(flood_status) << "the client blocked in a send kept waiting for a relay that takes nothing";
    EXPECT_EQ(*flood_status, 3);
    EXPECT_LE(flood_time, seconds(16));

    ChatClient c, staying;
    c.start({"127.0.0.1"});
    staying.start({"--reconnect", "127.0.0.1"});
    // Departures after the stop may be logged before or after this arrival, depending on the build.
    EXPECT_TRUE(c.wait_for_errors("connected to 127.0.0.1:8888", seconds(10))) << c.errors();
    EXPECT_TRUE(staying.wait_for_errors("connected to 127.0.0.1:8888", seconds(10))) << staying.errors();
    server.stop();
    status = c.wait_exit(seconds(10));
    ASSERT_TRUE(status) << "the client kept running without its server";
    EXPECT_EQ(*status, 3);
    EXPECT_NE(c.errors().find("the relay closed the connection"), std::string::npos) << c.errors();
    // Asked to, a piped client looks for the relay again instead.
    EXPECT_TRUE(staying.wait_for_errors("chat_client: connection lost ", seconds(5))) << staying.errors();
    EXPECT_TRUE(staying.running()) << staying.errors();
}

TEST_F(Relay, ClientHidesTheOwedAnswerWhereverItLandsAndHoldsItsNextLineForIt)
{
    PortHolder relay;  // stands in for the relay, to place its answers exactly
    ChatClient c;
    c.start({"127.0.0.1"});
    int fd = relay.accept_one(START_TIMEOUT);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(recv_exact_fd(fd, 6, seconds(10)), "[PING]") << "no heartbeat from an idle client";
    // A line typed now waits for the answer: sent at once, it could reach a late reader in one
    // piece with the heartbeat, which the relay ignores whole.
    c.write_input("held\n");
    EXPECT_EQ(recv_exact_fd(fd, 5, seconds(1)), "") << "a line went out before the heartbeat's answer";

    // The answer lands inside a line and straddles two receives; a second "[PONG]" is owed to
    // nobody and is somebody's text.
    ASSERT_EQ(::send(fd, "one [PO", 7, 0), 7);
    std::this_thread::sleep_for(milliseconds(200));
    const std::string rest = "NG]two\n[PONG]three\n";
    ASSERT_EQ(::send(fd, rest.data(), rest.size(), 0), static_cast<ssize_t>(rest.size()));
    std::string expected = "one two\n[PONG]three\n";
    EXPECT_TRUE(c.wait_for_output(expected, seconds(10))) << c.output();
    EXPECT_EQ(c.output(), expected);
    EXPECT_EQ(recv_exact_fd(fd, 5, seconds(10)), "held\n") << "the held line never went";

    // An answer that never comes is owed, and holds a line, for no longer than a relay may take to
    // answer, as long as the relay goes on talking: then the line goes, and a "[PONG]" is chat again.
    ASSERT_EQ(recv_exact_fd(fd, 6, seconds(10)), "[PING]");
    auto pinged = Clock::now();
    c.write_input("second\n");
    std::string second;
    while (second.empty() && Clock::now() - pinged < seconds(20)) {
        ASSERT_EQ(::send(fd, "tick\n", 5, 0), 5);
        expected += "tick\n";
        second = recv_exact_fd(fd, 7, milliseconds(1500));
    }
    EXPECT_EQ(second, "second\n");
    // The client counts from just before its heartbeat went, a moment before it was read here.
    EXPECT_GE(Clock::now() - pinged, milliseconds(9500)) << "the line did not wait for the answer";
    ASSERT_EQ(::send(fd, "[PONG]late\n", 11, 0), 11);
    expected += "[PONG]late\n";
    EXPECT_TRUE(c.wait_for_output("[PONG]late\n", seconds(10))) << c.output();
    EXPECT_EQ(c.output(), expected);
    EXPECT_TRUE(c.running()) << c.errors();
    close(fd);
}

TEST_F(Relay, ClientPipesCarryExactlyWhatPeersSentWhileItHeartbeats)
{
    start_server();
    ChatClient c;
    c.start({"127.0.0.1"});
    line(2);
    Client peer;
    line(3);
    // A long line that comes slowly reaches the relay, and the client, in many chunks; the
    // client's heartbeats (one every 4 s of its silence) are answered between them.
    std::string long_line;
    for (size_t i = 0; long_line.size() < 299999; ++i)
        long_line += std::to_string(i) + ' ';
    long_line.resize(299999);
    long_line += '\n';
    for (size_t at = 0; at < long_line.size(); at += 2000) {
        peer.send(long_line.substr(at, 2000));
        std::this_thread::sleep_for(milliseconds(60));  // 9 s in all
    }
    EXPECT_TRUE(c.wait_for_output("\n", seconds(10)));
    std::this_thread::sleep_for(QUIET);
    EXPECT_EQ(c.output().size(), long_line.size());
    EXPECT_TRUE(c.output() == long_line) << "the receiver wrote other bytes than the line";

    // A message with no line end leaves the stream in the middle of a line for the answers after it.
    const std::string hello = gb18030("你好");
    Client other;
    other.send(hello);
    std::this_thread::sleep_for(seconds(9));
    peer.send("after\n");
    EXPECT_TRUE(c.wait_for_output("after\n", seconds(10))) << c.output();
    EXPECT_EQ(c.output().substr(long_line.size()), hello + "after\n");
}

TEST_F(Relay, ALineWrittenRightAfterAHeartbeatReachesAPausedRelayApart)
{
    start_server();
    ChatClient sender, receiver;
    sender.start({"127.0.0.1"});
    line(2);
    auto connected = Clock::now();
    receiver.start({"127.0.0.1"});
    line(3);
    // The sender heartbeats 4 s after connecting; the relay reads nothing until well after that,
    // so whatever the sender writes meanwhile waits in the relay's socket behind the heartbeat.
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    std::this_thread::sleep_until(connected + milliseconds(5000));
    sender.write_input("after the heartbeat\n");
    std::this_thread::sleep_for(seconds(1));
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    EXPECT_TRUE(receiver.wait_for_output("after the heartbeat\n", seconds(10))) << receiver.output();
    EXPECT_EQ(receiver.output(), "after the heartbeat\n");
}

TEST_F(Relay, ClientWithNoServerToFindGivesUp)
{
    // A host that answers nothing, as one gone dark: a listener whose queue is full, so that the
    // system drops further handshakes (it would retry them for about two minutes).
    int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in dark{};
    dark.sin_family = AF_INET;
    dark.sin_port = htons(8888);
    inet_pton(AF_INET, "127.0.0.2", &dark.sin_addr);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&dark), sizeof dark), 0);
    ASSERT_EQ(listen(full, 0), 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&dark), sizeof dark), 0);

    ChatClient searching, direct, listing, unanswered, unknown;
    searching.start();
    direct.start({"127.0.0.1"});
    listing.start({"--list"});
    unanswered.start({"127.0.0.2"});
    unknown.start({"no-such-relay.invalid"});  // a name no resolver knows
    auto status = direct.wait_exit(seconds(10));
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    // The process can end before its last words are read from the pipe.
    EXPECT_TRUE(direct.wait_for_errors("cannot connect to 127.0.0.1:8888", seconds(5))) << direct.errors();

    status = searching.wait_exit(seconds(20));
    ASSERT_TRUE(status) << "the client searched for more than 10 s";
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(searching.wait_for_errors("no relay announced itself", seconds(5))) << searching.errors();

    EXPECT_EQ(listing.wait_exit(seconds(1)), 2) << "a listing takes one beacon period and a little";
    EXPECT_TRUE(listing.wait_for_errors("no relay announced itself", seconds(5))) << listing.errors();

    status = unanswered.wait_exit(seconds(1));
    ASSERT_TRUE(status) << "the client waited for an unanswered connection for more than 10 s";
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(unanswered.wait_for_errors("cannot connect to 127.0.0.2:8888", seconds(5))) << unanswered.errors();

    status = unknown.wait_exit(seconds(1));
    ASSERT_TRUE(status) << "the client waited for a failed name lookup for more than 10 s";
    EXPECT_NE(*status, 0);
    EXPECT_TRUE(unknown.wait_for_errors("cannot connect to no-such-relay.invalid:8888: ", seconds(5))) << unknown.errors();
    close(filler);
    close(full);
    EXPECT_EQ(listing.output(), "");
}

// The client on pipes, keeping what it is given (--keep-history) in a history folder of its own:
// what the history holds can be read back byte for byte.
class KeepingClient : public ChatClient {
public:
    explicit KeepingClient(const std::string &user) : user_(user)
    {
        char dir[] = "/tmp/relay-kept-XXXXXX";
        dir_ = mkdtemp(dir) != nullptr ? dir : "";
        folder_ = under_wine() ? RELAY_WINEPREFIX "/drive_c/users/" + user + "/AppData/Local/Chat Relay/history"
                               : dir_ + "/data/chat_client/history";
        std::system(("rm -rf '" + folder_ + "' && mkdir -p '" + folder_ + "' && chmod 700 '" + folder_ + "'").c_str());
    }
    ~KeepingClient() { std::system(("rm -rf '" + dir_ + "' '" + folder_ + "'").c_str()); }
    void start(const std::vector<std::string> &args)
    {
        ChatClient::start(args, {"XDG_DATA_HOME=" + dir_ + "/data", "XDG_CONFIG_HOME=" + dir_ + "/config", "USER=" + user_});
    }
    const std::string &folder() const { return folder_; }
    // The folder of its settings (made, empty).
    std::string settings()
    {
        std::system(("mkdir -p '" + dir_ + "/config/chat_client'").c_str());
        return dir_ + "/config/chat_client";
    }
    std::string day(int days_back = 0)
    {
        std::ifstream in(folder_ + "/" + day_file(days_back), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

private:
    std::string user_, dir_, folder_;
};

// A peer's bytes meant for the terminal itself: a new window title, the clipboard, requests that
// make the terminal answer into the input (and so into the next line sent), a forged line.
const std::string HOSTILE = "mallory: \x1b]0;PWNED\x07\x1b]52;c;aGVsbG8=\x07\x1b[6n\x1b[c"
                            "\x1b[1A\x1b[2Kforged\x81\x30\x83\x37[2J\n";  // the last: CSI as a C1 control

TEST_F(Relay, InLineModeOnATerminalAPeersControlsAreShownNotObeyed)
{
    // A name that would carry a control or an invisible character is refused before anything.
    ChatClient refused;
    refused.start({"--name", "eve\x1b[8m", "127.0.0.1"});
    EXPECT_EQ(refused.wait_exit(START_TIMEOUT), 1);
    EXPECT_TRUE(refused.wait_for_errors("chat_client: --name: a name cannot hold control characters", seconds(5)))
        << refused.errors();

    start_server();
    ScreenClient c;
    c.start("--name fay 127.0.0.1", "TERM=dumb");  // the line mode, on a terminal
    c.ask("set -g set-clipboard on");  // a program's OSC 52 then fills a tmux buffer
    Client peer;
    line(3, START_TIMEOUT);
    ASSERT_TRUE(c.wait_for("connected to 127.0.0.1", START_TIMEOUT)) << c.text();
    std::string title = c.ask("display-message -p '#{pane_title}'");
    peer.send(HOSTILE);
    ASSERT_TRUE(c.wait_for("forged", seconds(10))) << c.text();
    EXPECT_NE(c.text().find("mallory: ^[]0;PWNED^G^[]52;c;aGVsbG8=^G^[[6n^[[c^[[1A^[[2Kforged\uFFFD[2J"), std::string::npos)
        << c.text();
    std::this_thread::sleep_for(QUIET);  // a terminal's answer would be typed by now
    c.type("hello");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(11, seconds(10)), "fay: hello\n");
    EXPECT_EQ(peer.recv_for(QUIET), "");
    EXPECT_EQ(c.ask("display-message -p '#{pane_title}'"), title);
    EXPECT_EQ(c.ask("list-buffers"), "") << "a peer wrote the clipboard";
    EXPECT_NE(c.text().find("connected to 127.0.0.1"), std::string::npos) << "a peer overwrote a line\n" << c.text();
}

TEST_F(Relay, OnAScreenTheInputLineStaysWhileTheRoomTalks)
{
    start_server();
    ScreenClient c;
    c.start("--name alice 127.0.0.1", "USER=alice");
    Client peer;
    line(3);
    ASSERT_TRUE(c.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << c.text();
    c.type("hello wo");
    ASSERT_TRUE(c.wait_for("> hello wo", seconds(5))) << c.text();
    for (int i = 1; i <= 30; ++i)
        peer.send("bob: line " + std::to_string(i) + "\n");
    ASSERT_TRUE(c.wait_for("bob: line 30", seconds(10))) << c.text();
    c.save(under_wine() ? "wine-busy-room.txt" : "linux-busy-room.txt");
    // The last lines above, in order, each with its time; the status line; the half line at the
    // bottom with the cursor after it.
    std::vector<std::string> rows = c.rows();
    for (int i = 0; i < 18; ++i)
        EXPECT_EQ(rows[i].substr(5), " bob: line " + std::to_string(13 + i)) << c.text();
    if (!under_wine()) {  // Wine's console leaves parts of an updated line unsent to its terminal
        EXPECT_NE(rows[18].find("name: alice"), std::string::npos) << c.text();
    }
    EXPECT_EQ(rows[19], "> hello wo");
    EXPECT_TRUE(c.wait_cursor(10, 19, seconds(2))) << c.cursor().first << "," << c.cursor().second;
    c.type("rld");
    c.press("Enter");
    const std::string sent = "alice: hello world\n";
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);

    // What would turn a line's direction or hide part of it, and what a terminal would obey, show
    // as marks; the rows around stay as they were.
    peer.send(gb18030("mallory: invoice_\u202Efdp.exe sec\u200Bret\n") + HOSTILE);
    ASSERT_TRUE(c.wait_for("forged", seconds(10))) << c.text();
    rows = c.rows();
    // Wine's console wraps the longer line early: there the rows are counted from the first.
    size_t at = std::find_if(rows.begin(), rows.end(), [](const std::string &r) { return r.find("invoice_") != std::string::npos; }) -
                rows.begin();
    ASSERT_TRUE(at >= 2 && at <= 16) << c.text();
    EXPECT_EQ(rows[at - 2].substr(5), " bob: line 30") << c.text();
    EXPECT_EQ(rows[at - 1].substr(5), " alice: hello world") << c.text();
    EXPECT_EQ(rows[at].substr(5), " mallory: invoice_\uFFFDfdp.exe sec\uFFFDret") << c.text();
    EXPECT_EQ(rows[at + 1].find(" mallory: ^[]0;PWNED^G^[]52;c;aGVsbG8=^G^[[6n^[[c^[[1A^[[2Kforged\uFFFD"), 5u) << c.text();
    if (!under_wine()) {
        EXPECT_EQ(at, 16u);
        EXPECT_EQ(rows[17].substr(5), " mallory: ^[]0;PWNED^G^[]52;c;aGVsbG8=^G^[[6n^[[c^[[1A^[[2Kforged\uFFFD[2J");
        EXPECT_NE(rows[18].find("name: alice"), std::string::npos) << c.text();
    }
    EXPECT_EQ(rows[19], ">");

    // More that shows nothing: the combining grapheme joiner, Mongolian, Khmer, Arabic, Egyptian,
    // musical and shorthand format characters, the object replacement character, the variation
    // selectors past the first sixteen, the noncharacters, the direction isolates and the tags
    // (which spell hidden text) are marked; an emoji's variation selector stays. Of 20 marks stacked
    // on one letter, four show and the rest as one mark; the next letter's mark is its own again.
    std::string stack = "mallory: Z";
    for (int i = 0; i < 20; ++i)
        stack += "\u0301";
    peer.send(gb18030("mallory: a\u034Fb\u180Bc\u180Fd\u17B4e\uFFFCf\U0001D173g\U0001BCA0h\U00013430i\u0600j"
                      "\u06DDk\U000E0100l\uFDD0m\U0001FFFEn\u2066o\u2067p\u2068q\u2069r\U000E0041s\u2764\uFE0F\n" +
                      stack + "!e\u0301\n"));
    ASSERT_TRUE(c.wait_for("Z", seconds(10))) << c.text();
    rows = c.rows();
    at = std::find_if(rows.begin(), rows.end(), [](const std::string &r) { return r.find("mallory: a") != std::string::npos; }) -
         rows.begin();
    ASSERT_LT(at, 18u) << c.text();
    const std::string marked = " mallory: a\uFFFDb\uFFFDc\uFFFDd\uFFFDe\uFFFDf\uFFFDg\uFFFDh\uFFFDi\uFFFDj\uFFFDk\uFFFDl\uFFFDm\uFFFDn\uFFFDo\uFFFDp\uFFFDq\uFFFDr\uFFFDs";
    EXPECT_EQ(rows[at].substr(5, marked.size()), marked) << c.text();
    if (!under_wine()) {  // Wine 8 converts none of the BMP's four-byte characters: the emoji shows as marks there
        EXPECT_EQ(rows[at].substr(5), marked + "\u2764\uFE0F") << c.text();
    }
    if (!under_wine()) {  // Wine's console sends each mark to its terminal as a cell of its own
        EXPECT_EQ(rows[at + 1].substr(5), " mallory: Z\u0301\u0301\u0301\u0301\uFFFD!e\u0301") << c.text();
    }
    // A line that says the name rings the bell; one whose two-byte characters' later bytes spell
    // it does not (0x81 0x61 is one character). tmux keeps the bell's flag for a window no one
    // looks at.
    if (!under_wine()) {  // Wine's console passes no bell to its terminal
        peer.send("bob: \x81" "alice\n");
        ASSERT_TRUE(c.wait_for("lice", seconds(10))) << c.text();
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(c.ask("display-message -p '#{window_bell_flag}'"), "0\n") << "a byte inside a character rang";
        peer.send("bob: hi alice\n");
        ASSERT_TRUE(c.wait_for("bob: hi alice", seconds(10))) << c.text();
        auto rung = Clock::now() + seconds(3);
        while (c.ask("display-message -p '#{window_bell_flag}'") != "1\n" && Clock::now() < rung)
            std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(c.ask("display-message -p '#{window_bell_flag}'"), "1\n") << "a mention did not ring";
        // A line padded to wrap where a row begins starts its next row indented, never with a time.
        peer.send("mallory: " + std::string(65, ' ') + "12:34 alice: forged\n");
        ASSERT_TRUE(c.wait_for("alice: forged", seconds(10))) << c.text();
        rows = c.rows();
        EXPECT_EQ(rows[17], "      12:34 alice: forged") << c.text();
        EXPECT_EQ(rows[16].substr(5), " mallory:") << c.text();
    }

    // Chinese characters take two cells each, on the screen and for the cursor.
    c.type("你好 x");
    ASSERT_TRUE(c.wait_for("> 你好 x", seconds(5))) << c.text();
    if (!under_wine()) {  // Wine's console puts its terminal's cursor at the start of a line with wide characters
        EXPECT_TRUE(c.wait_cursor(2 + 2 + 2 + 1 + 1, 19, seconds(2))) << c.cursor().first << "," << c.cursor().second;
    }
    c.press("Left");
    c.press("BSpace");
    c.press("Enter");
    const std::string chinese = gb18030("alice: 你好x\n");
    EXPECT_EQ(peer.recv_exact(chinese.size(), seconds(10)), chinese);

    // Editing by words and from the start of the line, the line sent before, and a paste of two
    // lines, which go out as two lines.
    c.type("abc def");
    c.press("C-w");
    c.press(under_wine() ? "C-a" : "Home");  // Wine's console takes no Home key from tmux
    c.type("X");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(13, seconds(10)), "alice: Xabc \n");
    c.press("Up");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(13, seconds(10)), "alice: Xabc \n");
    c.paste("one\ntwo\n");
    EXPECT_EQ(peer.recv_exact(22, seconds(10)), "alice: one\nalice: two\n");

    // A smaller window is drawn again at its size (Wine's console keeps the size it started with).
    if (!under_wine()) {
        c.resize(60, 12);
        EXPECT_TRUE(c.wait_for_row(10, "name: alice", seconds(5))) << c.text();
        EXPECT_TRUE(c.wait_for_row(11, ">", seconds(5))) << c.text();
    }

    // Commands are the client's own: an unknown one is answered here and never sent.
    c.type("/frobnicate");
    c.press("Enter");
    EXPECT_TRUE(c.wait_for("unknown command /frobnicate", seconds(5))) << c.text();
    c.type("//frobnicate");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(19, seconds(10)), "alice: /frobnicate\n");
    c.type("/me waves");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(14, seconds(10)), "* alice waves\n");
    c.type("/names");
    c.press("Enter");
    EXPECT_TRUE(c.wait_for("heard in the last 10 minutes: mallory, bob (", seconds(5))) << c.text();

    // A name takes 32 bytes, not one more, and holds no ": ", which would end it early on the other
    // screens. (The pane is narrower now: notes wrap.)
    const std::string longest(32, 'n');
    c.type("/nick " + longest + "n");
    c.press("Enter");
    EXPECT_TRUE(wait_joined(c, "a name takes 32 bytes at most; the name stays alice")) << c.joined_text();
    c.type("/nick al: ice");
    c.press("Enter");
    EXPECT_TRUE(wait_joined(c, "a name cannot hold \": \" or begin or end with a space; the name stays alice"))
        << c.joined_text();
    c.type("/nick " + longest);
    c.press("Enter");
    EXPECT_TRUE(wait_joined(c, "you are now " + longest)) << c.joined_text();
    c.type("/nick alice");
    c.press("Enter");
    EXPECT_TRUE(c.wait_for("you are now alice", seconds(5))) << c.text();

    // A new name goes before the next line, and into the name file, never through a link there:
    // the link is replaced, and the file it pointed to is left as it was.
    std::string name_file = c.name_file("alice"), elsewhere = name_file + "-elsewhere";
    ASSERT_EQ(std::system(("mkdir -p \"$(dirname '" + name_file + "')\" && printf keep > '" + elsewhere +
                           "' && chmod 640 '" + elsewhere + "' && ln -sf '" + elsewhere + "' '" + name_file + "'").c_str()),
              0);
    if (!under_wine()) {  // Wine 8 has no GB18030 code page: there U+034F is typed as '?'
        c.type("/nick zoe\u034F");
        c.press("Enter");
        EXPECT_TRUE(c.wait_for("the name stays alice", seconds(5))) << c.text();
    }
    c.type("/nick zoe");
    c.press("Enter");
    EXPECT_TRUE(c.wait_for("you are now zoe", seconds(5))) << c.text();
    c.type("hi");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(8, seconds(10)), "zoe: hi\n");
    struct stat link_info{}, elsewhere_info{};
    ASSERT_EQ(lstat(name_file.c_str(), &link_info), 0);
    EXPECT_TRUE(S_ISREG(link_info.st_mode)) << "the name file is still a link";
    if (!under_wine()) {  // Wine's files take the mode its umask gives
        EXPECT_EQ(link_info.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(c.file(name_file), "zoe");
    EXPECT_EQ(c.file(elsewhere), "keep") << "the name was written through the link";
    ASSERT_EQ(stat(elsewhere.c_str(), &elsewhere_info), 0);
    EXPECT_EQ(elsewhere_info.st_mode & 0777, 0640u);
    std::remove(name_file.c_str());
    std::remove(elsewhere.c_str());

    // A line that has begun waits a second for its end, counted from its own first byte, not from
    // that of a line that ended before it.
    peer.send("x");
    std::this_thread::sleep_for(milliseconds(700));
    peer.send("\nzed: B1");
    std::this_thread::sleep_for(milliseconds(700));
    peer.send("B2\n");
    EXPECT_TRUE(c.wait_for("zed: B1B2", seconds(5))) << c.text();
    // A line longer than a screen can usefully show is cut, saying how much was left out.
    peer.send(std::string(20000, 'w') + "\r\n");
    auto deadline = Clock::now() + seconds(5);
    while (c.joined_text().find("w ... (3616 bytes not shown)") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(100));
    EXPECT_NE(c.joined_text().find("w ... (3616 bytes not shown)"), std::string::npos) << c.joined_text();

    // A room that says the name again and again rings the bell once, not at each line.
    if (!under_wine()) {  // Wine's console does not pass the bell on to its terminal
        c.keep_raw_output();
        std::this_thread::sleep_for(milliseconds(3100));  // past the bell's pause after the mentions above
        for (int i = 1; i <= 4; ++i) {
            peer.send("bob: zoe? " + std::to_string(i) + "\n");
            std::this_thread::sleep_for(milliseconds(200));
        }
        EXPECT_TRUE(c.wait_for("bob: zoe? 4", seconds(5))) << c.text();
        std::this_thread::sleep_for(QUIET);
        EXPECT_EQ(count(c.raw_output(), "\a"), 1u) << "bells rung for four mentions in a second";

        // The names take colours for the background the terminal says it has, asked at the start
        // (OSC 11; its answer comes on the input, typed here): a dark one, the terminal's own
        // twelve; a light one, as one not told of, middle tones of the 256 (the terminal's yellow
        // or cyan vanish on white).
        auto name_colour = [&](const std::string &said) {
            peer.send("bob: " + said + "\n");
            EXPECT_TRUE(c.wait_for("bob: " + said, seconds(5))) << c.text();
            // What the pane shows may be ahead of what its pipe has written out yet.
            std::string raw;
            eventually([&] { return (raw = c.raw_output()).find("bob: \x1b[0m" + said) != std::string::npos; }, seconds(5),
                       milliseconds(100));
            size_t at = raw.rfind("bob: \x1b[0m" + said), sgr = raw.rfind("\x1b[", at);
            return at == std::string::npos || sgr == std::string::npos ? std::string("none") : raw.substr(sgr, at - sgr);
        };
        EXPECT_EQ(name_colour("untold").compare(0, 7, "\x1b[38;5;"), 0);
        c.type("\x1b]11;rgb:1c1c/1c1c/2020\x1b\\");
        std::string on_dark = name_colour("on dark");
        EXPECT_TRUE(on_dark.size() == 5 && (on_dark[2] == '3' || on_dark[2] == '9') && on_dark[3] >= '1' && on_dark[3] <= '6')
            << "after a dark background's answer: " << on_dark.substr(1);
        c.type("\x1b]11;rgb:fafa/f0f0/e6e6\a");
        EXPECT_EQ(name_colour("on light").compare(0, 7, "\x1b[38;5;"), 0) << "after a light background's answer";
    }

    // Leaving gives the terminal back as it was found.
    c.type("/quit");
    c.press("Enter");
    EXPECT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    EXPECT_FALSE(c.file("before").empty());
    EXPECT_EQ(c.file("after"), c.file("before")) << "the terminal's settings were not restored";
    // The history's folder, made by the client, is the person's alone.
    if (!under_wine()) {
        struct stat info{};
        ASSERT_EQ(stat(c.file_path("data/chat_client/history").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        ASSERT_EQ(stat(c.file_path("data/chat_client").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
}

// The name asked for once and remembered; and the history, kept as shown and shown again at the
// next start, searched, printed, and read without harm from a damaged file.
TEST_F(Relay, OnAScreenTheFirstStartAsksForANameAndRemembersIt)
{
    start_server();
    ScreenClient c;
    std::remove(c.name_file("carol").c_str());  // under Wine, from a run before
    if (!under_wine()) {  // a FIFO as the name file is refused at once, not waited on
        ASSERT_EQ(std::system(("mkdir -p \"$(dirname '" + c.name_file("carol") + "')\"").c_str()), 0);
        ASSERT_EQ(mkfifo(c.name_file("carol").c_str(), 0600), 0);
    }
    // A day over a year old goes at the start, but not one beyond a year with nothing kept (as when
    // the clock was set years ahead: the days kept before look old); a day damaged (NUL bytes, bytes
    // that are no UTF-8, a control, a last line torn by a power cut) is read as safely as a peer's
    // line is shown.
    std::string history = c.empty_history("carol");
    write_file(history + "/" + day_file(367), "10:00:00 long ago\n");
    write_file(history + "/2000-01-01.txt", "10:00:00 before the clock jumped\n");
    const std::string damaged = day_file(2);
    const char nul_bytes[] = "09:00:00 zed: before\n09:00:01 \0\0zed: nul\n";
    write_file(history + "/" + damaged, std::string(nul_bytes, sizeof nul_bytes - 1) +
                                            "09:00:02 zed: \xff\xfe bad\x1b[2J\n09:00:03 zed: torn");
    c.start("127.0.0.1", "USER=carol");
    ASSERT_TRUE(c.wait_for("Your name in the chat [carol]:", START_TIMEOUT)) << c.text();
    if (!under_wine()) {
        EXPECT_NE(c.text().find("not a regular file"), std::string::npos) << c.text();
    }
    c.save(under_wine() ? "wine-name-prompt.txt" : "linux-name-prompt.txt");
    c.type("dave");
    c.press("Enter");
    ASSERT_TRUE(c.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << c.text();
    const std::string day = damaged.substr(0, 10);
    std::string shown = c.text();
    EXPECT_NE(shown.find("*** removed from the history: 1 day"), std::string::npos) << shown;
    EXPECT_NE(shown.find(day + " 09:00 ^@^@zed: nul"), std::string::npos) << shown;
    EXPECT_NE(shown.find(day + " 09:00 zed: \uFFFD\uFFFD bad^[[2J"), std::string::npos) << shown;
    EXPECT_LT(shown.find(day + " 09:00 zed: torn"), shown.find("the history above; this run below")) << shown;
    Client peer;
    line(3);
    c.type("hi");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(9, seconds(10)), "dave: hi\n");
    // A peer's lines that read as a note of the client's, and as our own.
    peer.send("*** connected to 6.6.6.6:8888\ndave: I agree\n");
    ASSERT_TRUE(c.wait_for("dave: I agree", seconds(10))) << c.text();
    peer.send(HOSTILE);
    ASSERT_TRUE(c.wait_for("forged", seconds(10))) << c.text();
    std::vector<std::string> rows = c.rows();
    auto hostile_row = std::find_if(rows.begin(), rows.end(), [](const std::string &r) { return r.find("mallory") != std::string::npos; });
    ASSERT_NE(hostile_row, rows.end()) << c.text();
    c.press("C-d");  // on the empty line: leave
    EXPECT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    EXPECT_EQ(c.file(c.name_file("carol")), "dave");
    EXPECT_EQ(c.file(history + "/" + day_file(367)), "");
    EXPECT_EQ(c.file(history + "/2000-01-01.txt"), "10:00:00 before the clock jumped\n");

    // Kept: the client's notes, our line, the peer's line with its controls as the marks the screen
    // showed (the display rule is the screen's own), each after its time.
    std::string today = c.file(history + "/" + day_file(0));
    EXPECT_NE(today.find(":8888\n"), std::string::npos) << today;  // "HH:MM:SS *** connected to 127.0.0.1:8888"
    // Whose each line is, kept where no peer's text can put it: our own and a note with a tab and a
    // letter after the time; a peer's as every line was before.
    EXPECT_NE(today.find("\tn *** connected to 127.0.0.1:8888\n"), std::string::npos) << today;
    EXPECT_NE(today.find("\to dave: hi\n"), std::string::npos) << today;
    EXPECT_NE(today.find(" *** connected to 6.6.6.6:8888\n"), std::string::npos) << today;
    EXPECT_EQ(today.find("\tn *** connected to 6.6.6.6"), std::string::npos) << today;
    EXPECT_NE(today.find(" dave: I agree\n"), std::string::npos) << today;
    EXPECT_EQ(today.find("\to dave: I agree"), std::string::npos) << today;
    EXPECT_EQ(today.find('\x1b'), std::string::npos) << today;
    std::string kept_hostile = hostile_row->substr(5);  // after the screen's "HH:MM"
    while (!kept_hostile.empty() && kept_hostile.back() == ' ')
        kept_hostile.pop_back();
    // The rows it wrapped onto belong to it: the screen's own begin six blanks in, and Wine's
    // console, narrower than the pane, wraps at its edge too; the status row ends them.
    for (auto r = hostile_row + 1; r != rows.end() && !r->empty() && r->compare(0, 12, " chat_client") != 0; ++r) {
        std::string more = r->compare(0, 6, "      ") == 0 ? r->substr(6) : *r;
        while (!more.empty() && more.back() == ' ')
            more.pop_back();
        if (more.empty())
            break;
        kept_hostile += more;
    }
    size_t at = today.find(kept_hostile + "\n");
    ASSERT_NE(at, std::string::npos) << today << "\nshown: " << kept_hostile;
    EXPECT_EQ(today[at - 3], ':') << "not after its time: " << today;
    if (!under_wine()) {  // Wine's files take the mode its umask gives
        struct stat info{};
        ASSERT_EQ(stat((history + "/" + day_file(0)).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }

    // Shown again, dimmed above the rule, at the next start; and found.
    c.start("127.0.0.1", "USER=carol");
    ASSERT_TRUE(c.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << c.text();
    shown = c.text();
    size_t rule = shown.find("the history above; this run below");
    EXPECT_LT(shown.find(" dave: hi\n"), rule) << shown;
    EXPECT_LT(shown.find("forged"), rule) << shown;
    EXPECT_EQ(shown.find("Your name"), std::string::npos) << shown;
    c.save(under_wine() ? "wine-history-shown.txt" : "linux-history-shown.txt");
    // Shown again as they were shown: our own bold, the client's note dimmed, the peer's lines that
    // read as either plain.
    if (!under_wine()) {  // Wine's console sends its terminal no attributes of its own
        std::istringstream styled(c.ask("capture-pane -p -e"));
        std::map<std::string, std::string> row_of;
        for (std::string row; std::getline(styled, row);)
            for (const char *what : {"dave: hi", "dave: I agree", "connected to 127.0.0.1:8888", "connected to 6.6.6.6"})
                if (row.find(what) != std::string::npos && row_of.count(what) == 0)
                    row_of[what] = row;
        // Whether a row sets this attribute (SGR parameter) anywhere, as tmux writes it ("\x1b[0;1m").
        auto sets = [](const std::string &row, const std::string &code) {
            for (size_t at = row.find("\x1b["); at != std::string::npos; at = row.find("\x1b[", at + 2)) {
                size_t end = row.find('m', at);
                std::istringstream params(row.substr(at + 2, end == std::string::npos ? 0 : end - at - 2));
                for (std::string p; std::getline(params, p, ';');)
                    if (p == code)
                        return true;
            }
            return false;
        };
        EXPECT_TRUE(sets(row_of["dave: hi"], "1")) << row_of["dave: hi"];
        EXPECT_FALSE(sets(row_of["dave: I agree"], "1")) << row_of["dave: I agree"];
        EXPECT_TRUE(sets(row_of["connected to 127.0.0.1:8888"], "2")) << row_of["connected to 127.0.0.1:8888"];
        EXPECT_FALSE(sets(row_of["connected to 6.6.6.6"], "2")) << row_of["connected to 6.6.6.6"];
    }
    c.type("again");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(12, seconds(10)), "dave: again\n");
    // Turned off, nothing more is kept, and that is remembered for the next start.
    c.type("/history off");
    c.press("Enter");
    ASSERT_TRUE(c.wait_for("*** the history is off: nothing shown from now on is kept", seconds(5))) << c.text();
    c.type("off the record");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(21, seconds(10)), "dave: off the record\n");
    c.type("/search HI");
    c.press("Enter");
    ASSERT_TRUE(c.wait_for("*** 1 line kept says \"HI\":", seconds(5))) << c.text();
    rows = c.rows();
    auto found = std::find_if(rows.begin(), rows.end(), [](const std::string &r) { return r.find("1 line kept says") != std::string::npos; });
    ASSERT_NE(found + 1, rows.end());
    EXPECT_EQ(found[1].substr(0, 11), day_file(0).substr(0, 10) + " ") << c.text();
    EXPECT_EQ(found[1].substr(19), " dave: hi") << c.text();
    c.type("/quit");
    c.press("Enter");
    EXPECT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    c.start("127.0.0.1", "USER=carol");
    ASSERT_TRUE(c.wait_for("*** the history is off: nothing shown is kept (/history on keeps it again)", START_TIMEOUT))
        << c.text();
    EXPECT_EQ(c.text().find("the history above"), std::string::npos) << c.text();
    c.type("/history on");
    c.press("Enter");
    ASSERT_TRUE(c.wait_for("*** the history is on: what is shown is kept in ", seconds(5))) << c.text();
    c.type("/quit");
    c.press("Enter");
    EXPECT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    EXPECT_EQ(c.file(history + "/" + day_file(0)).find("off the record"), std::string::npos);

    // Printed, oldest first, the case of Latin letters aside.
    ChatClient printed;
    printed.start({"--history", "ZED"}, {"XDG_DATA_HOME=" + history.substr(0, history.size() - 20), "USER=carol"});
    EXPECT_EQ(printed.wait_exit(seconds(20)), 0);
    EXPECT_EQ(printed.output(), day + " 09:00:00 zed: before\n" + day + " 09:00:01 ^@^@zed: nul\n" + day +
                                    " 09:00:02 zed: \uFFFD\uFFFD bad^[[2J\n" + day + " 09:00:03 zed: torn\n");
    ChatClient all;
    all.start({"--history"}, {"XDG_DATA_HOME=" + history.substr(0, history.size() - 20), "USER=carol"});
    EXPECT_EQ(all.wait_exit(seconds(20)), 0);
    std::string everything = all.output();
    EXPECT_EQ(everything.find("2000-01-01 10:00:00 before the clock jumped\n" + day + " 09:00:00 zed: before\n"), 0u)
        << everything;
    EXPECT_LT(everything.find(" dave: hi\n"), everything.find(" dave: again\n")) << everything;
}

TEST_F(Relay, OnAScreenTheClientFindsTheRelayAgainAndSendsWhatWaited)
{
    start_server();
    ScreenClient c;
    // The day's history file is a link: what it points to is never written, and the day is not kept.
    std::string history = c.empty_history("root"), elsewhere = history + "/../elsewhere";
    if (!under_wine()) {
        write_file(elsewhere, "keep");
        ASSERT_EQ(symlink(elsewhere.c_str(), (history + "/" + day_file(0)).c_str()), 0);
    }
    c.start("--name alice 198.18.0.1");
    ASSERT_TRUE(c.wait_for("*** connected to 198.18.0.1", START_TIMEOUT)) << c.text();
    server.stop();
    expect_exit = true;
    ASSERT_TRUE(c.wait_for("*** connection lost ", seconds(10))) << c.text();
    // The relay's address goes away while it restarts, so that the peer is in the room before the
    // client comes back.
    ip_batch("addr del 198.18.0.1/24 dev rl0\n");
    c.type("while away");
    c.press("Enter");
    if (!under_wine()) {  // Wine's console leaves parts of an updated line unsent to its terminal
        EXPECT_TRUE(c.wait_for("1 line waiting", seconds(5))) << c.text();
    }
    ServerProcess again;
    ASSERT_NO_FATAL_FAILURE(relay_back_with_a_peer_first(again, "alice: while away\n"));
    EXPECT_TRUE(c.wait_for("*** reconnected to 198.18.0.1; lines sent in between were not received", seconds(5)))
        << c.text();
    c.save(under_wine() ? "wine-reconnection.txt" : "linux-reconnection.txt");
    if (!under_wine()) {
        EXPECT_TRUE(c.wait_for("*** the history of this day is not kept: ", seconds(5))) << c.text();
        EXPECT_EQ(count(c.joined_text(), "history of this day is not kept"), 1u) << c.text();
        EXPECT_EQ(c.file(elsewhere), "keep") << "the history was written through the link";
        struct stat info{};
        ASSERT_EQ(lstat((history + "/" + day_file(0)).c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode));
    }
}

TEST_F(Relay, OnAScreenRelayAddressMovesOnlyOnceTheNewRelayAnswers)
{
    // Two moves typed together while the client is still trying an address where nothing answers
    // (for seconds: nobody there answers ARP): the second replaces the first before the client has
    // taken it, and the first's connection is closed, not left open for as long as the client runs.
    {
        PortHolder stand_in;
        ScreenClient quick;
        quick.start("--name bob 198.18.0.77");
        ASSERT_TRUE(quick.wait_for_row(19, ">", START_TIMEOUT)) << quick.text();
        quick.type("/relay 127.0.0.1");
        quick.press("Enter");
        quick.type("/relay 127.0.0.1");
        quick.press("Enter");
        int first = stand_in.accept_one(seconds(10)), second = stand_in.accept_one(seconds(10));
        ASSERT_GE(first, 0) << quick.text();
        ASSERT_GE(second, 0) << quick.text();
        EXPECT_TRUE(quick.wait_for("*** connected to 127.0.0.1:8888", seconds(10))) << quick.text();
        EXPECT_EQ(recv_exact_fd(first, 1, seconds(5)), "");
        char byte;
        EXPECT_EQ(recv(first, &byte, 1, MSG_DONTWAIT), 0) << "the connection the first move made is still open";
        EXPECT_NE(recv(second, &byte, 1, MSG_DONTWAIT), 0) << "the connection taken was closed";
        close(first);
        close(second);
    }

    // Nothing announces itself, so the client goes on looking; a listener stands in for a relay.
    // The day's history file is a FIFO: not waited on, and the day is not kept.
    ScreenClient c;
    std::string relay_file = c.name_file("dora");  // where the relay connected to is remembered
    relay_file = relay_file.substr(0, relay_file.rfind('/')) + "/relay";
    std::remove(relay_file.c_str());
    std::string fifo = c.empty_history("dora") + "/" + day_file(0);
    if (!under_wine()) {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    }
    c.start("--name alice", "USER=dora");
    ASSERT_TRUE(c.wait_for("*** looking for the relay", START_TIMEOUT)) << c.text();
    c.type("/relay 127.0.0.1");
    c.press("Enter");
    EXPECT_TRUE(c.wait_for("*** cannot reach 127.0.0.1: ", seconds(10))) << c.text();
    EXPECT_TRUE(c.wait_for("; still looking", seconds(1))) << c.text();
    int fd = -1;
    {
        PortHolder stand_in;
        c.type("/relay 127.0.0.1");
        c.press("Enter");
        fd = stand_in.accept_one(seconds(10));
        EXPECT_GE(fd, 0) << "/relay typed while looking was not followed: " << c.text();
        EXPECT_TRUE(c.wait_for("*** connected to 127.0.0.1:8888", seconds(5))) << c.text();
    }
    if (fd >= 0)
        close(fd);  // after the stand-in stopped listening, so that the client cannot come back to it
    // The client finds the relay that replaces the stand-in (at the address it moved to, or by its
    // announcement).
    start_server();
    ASSERT_TRUE(c.wait_for("*** reconnected to ", seconds(10))) << c.text();
    Client peer;
    line(3);
    // An address with nothing behind it: the client says why and stays where it is.
    c.type("/relay 198.18.0.77");
    c.press("Enter");
    ASSERT_TRUE(c.wait_for("*** cannot reach 198.18.0.77: ", seconds(10))) << c.text();
    EXPECT_TRUE(c.wait_for("; still with 127.0.0.1", seconds(1)) || c.wait_for("; still with 198.18.0.1", seconds(1)))
        << c.text();
    c.save(under_wine() ? "wine-relay-unreachable.txt" : "linux-relay-unreachable.txt");
    c.type("still here");
    c.press("Enter");
    const std::string sent = "alice: still here\n";
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);
    EXPECT_EQ(count(c.text(), "connection lost"), 1u) << c.text();
    EXPECT_EQ(server.lines().size(), 3u) << "the client left the relay: " << server.log();

    // Connected, it moves to a relay that answers (the same one, at its other address): the new
    // connection first, then it leaves the old one.
    const std::string other = c.text().find("still with 127.0.0.1") != std::string::npos ? "198.18.0.1" : "127.0.0.1";
    c.type("/relay " + other);
    c.press("Enter");
    EXPECT_TRUE(c.wait_for("*** connected to " + other + ":8888; left the relay at ", seconds(10))) << c.text();
    c.type("moved");
    c.press("Enter");
    EXPECT_EQ(peer.recv_exact(13, seconds(10)), "alice: moved\n");
    EXPECT_EQ(count(c.text(), "connection lost"), 1u) << c.text();
    if (!under_wine()) {
        EXPECT_EQ(count(c.joined_text(), "*** the history of this day is not kept: "), 1u) << c.text();
        struct stat info{};
        ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode));
    }
    c.type("/quit");
    c.press("Enter");
    ASSERT_EQ(c.wait_exit(seconds(10)), 0) << c.text();

    // Given no address, the client remembers the relay it joined first (it was moved by /relay
    // since: the person's choice is remembered) and tries it first. While that one is silent, a
    // relay announcing itself may be joined so that the room goes on, but that is said plainly, and
    // the one remembered stays so: one announcement (a stand-in's, anyone's) never takes the client
    // for good.
    EXPECT_EQ(c.file(relay_file), other + "\n");
    ASSERT_EQ(std::system(("echo 198.18.0.99 > '" + relay_file + "'").c_str()), 0);
    c.start("--name alice", "USER=dora");
    ASSERT_TRUE(c.wait_for("*** connected to 198.18.0.1:8888", START_TIMEOUT + seconds(5))) << c.text();
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_NE(c.joined_text().find("*** the relay here was 198.18.0.99; joined 198.18.0.1, which is announcing: "
                                   "/relay 198.18.0.1 to keep it"), std::string::npos)
        << c.text();
    EXPECT_EQ(c.file(relay_file), "198.18.0.99\n");
    c.type("/quit");
    c.press("Enter");
    ASSERT_EQ(c.wait_exit(seconds(10)), 0) << c.text();

    // The relay remembered is tried only for a moment: one that went dark (its host takes no
    // connection, and the tries go unanswered) gives way to the relay announcing, which is said,
    // and stays remembered. Its host takes connections again well after that moment: by then the
    // client has moved on.
    PeerHost gone_dark(1);
    int dark = -1, filler = -1;
    {
        InNamespace there(gone_dark.netns());
        dark = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in dark_address{};
        dark_address.sin_family = AF_INET;
        dark_address.sin_port = htons(8888);
        inet_pton(AF_INET, gone_dark.address().c_str(), &dark_address.sin_addr);
        ASSERT_EQ(bind(dark, reinterpret_cast<sockaddr *>(&dark_address), sizeof dark_address), 0);
        ASSERT_EQ(listen(dark, 0), 0);  // and full: a try's handshake goes unanswered
        filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&dark_address), sizeof dark_address), 0);
    }
    ASSERT_EQ(std::system(("mkdir -p \"$(dirname '" + relay_file + "')\" && echo " + gone_dark.address() + " > '" + relay_file + "'").c_str()), 0);
    c.start("--name alice", "USER=dora");
    ASSERT_TRUE(c.wait_for_row(19, ">", START_TIMEOUT)) << c.text();
    std::this_thread::sleep_for(seconds(5));
    int taken = accept(dark, nullptr, nullptr);  // the filler: there is room for the client's next try
    // Below the history's lines shown again, if any.
    auto below_history = [&c] {
        std::string shown = c.joined_text();
        return shown.substr(shown.find("this run below") == std::string::npos ? 0 : shown.find("this run below"));
    };
    auto deadline = Clock::now() + seconds(20);
    while (below_history().find("*** connected to ") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(100));
    std::string found = below_history();
    ASSERT_NE(found.find("*** connected to "), std::string::npos) << c.text();
    EXPECT_EQ(found.find("*** connected to " + gone_dark.address()), std::string::npos)
        << "the relay of last time was tried for longer than a moment: " << c.text();
    // Its announcement reaches this host on both its networks: the client takes either address.
    found = found.substr(found.find("*** connected to ") + 17);
    found = found.substr(0, found.find(':'));
    EXPECT_NE(below_history().find("*** the relay here was " + gone_dark.address() + "; joined " + found +
                                   ", which is announcing: /relay " + found + " to keep it"),
              std::string::npos) << c.text();
    EXPECT_EQ(c.file(relay_file), gone_dark.address() + "\n");
    for (int fd : {taken, filler, dark})
        close(fd);
    c.type("/quit");
    c.press("Enter");
    ASSERT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    EXPECT_EQ(c.file(relay_file), gone_dark.address() + "\n") << "an announcing relay replaced the one remembered";
    // The one remembered, there: joined at once, while the client listens for others announcing
    // (the relay itself announces from its other address).
    ASSERT_EQ(std::system(("echo 127.0.0.1 > '" + relay_file + "'").c_str()), 0);
    c.start("--name alice", "USER=dora");
    ASSERT_TRUE(c.wait_for("*** connected to 127.0.0.1:8888", START_TIMEOUT)) << c.text();
    std::this_thread::sleep_for(seconds(4));  // a beacon period of listening
    EXPECT_NE(c.joined_text().find("*** a relay announces itself here at 198.18.0.1 as well; this is the one "
                                   "remembered, 127.0.0.1"), std::string::npos)
        << c.text();
    std::string this_run = c.text();  // below the history's lines shown again, if any
    this_run = this_run.substr(this_run.find("this run below") == std::string::npos ? 0 : this_run.find("this run below"));
    EXPECT_EQ(this_run.find("found server at"), std::string::npos) << "the relay of last time was not tried first: " << c.text();
    c.type("/quit");
    c.press("Enter");
    ASSERT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    // A relay named when the client starts is for that run: not the relay of last time.
    std::remove(relay_file.c_str());
    c.start("--name alice 127.0.0.1", "USER=dora");
    ASSERT_TRUE(c.wait_for("*** connected to 127.0.0.1:8888", START_TIMEOUT)) << c.text();
    c.type("/quit");
    c.press("Enter");
    ASSERT_EQ(c.wait_exit(seconds(10)), 0) << c.text();
    EXPECT_EQ(c.file(relay_file), "") << "the relay named on the command line was remembered";
    std::remove(relay_file.c_str());
}

// What the display rule marks is decided by Unicode's general categories: combining marks of every
// script stack four deep at most, and format characters show as marks, but for the joiners that
// emoji sequences and the scripts that write with them need. The history keeps each line as shown.
TEST_F(Relay, KeptLinesMarkStackedMarksOfEveryScriptAndFormatCharactersButKeepJoinersTextNeeds)
{
    // The rule is the core's, the same in both builds; Windows converts GB18030 by its code page
    // 54936, which under Wine maps none of the four-byte characters of the BMP (Thai, Arabic, the
    // joiners), where Windows itself maps them all.
    if (under_wine())
        GTEST_SKIP() << "Wine's code page 54936 lacks the four-byte characters of the BMP";
    start_server();
    KeepingClient c("kim");
    c.start({"--keep-history", "127.0.0.1"});
    line(2, START_TIMEOUT);
    Client peer;
    line(3);
    auto stacked = [](const std::string &base, const std::string &mark, int n) {
        std::string s = base;
        for (int i = 0; i < n; ++i)
            s += mark;
        return s;
    };
    std::string marks = "mallory: " + stacked("\u0E01", "\u0E49", 40) + " " + stacked("\u0627", "\u0670", 10) + " " +
                        stacked("\u0F40", "\u0F72", 10) + " " + stacked("\u4EBA", "\u302A", 10) + " " +
                        stacked("\u304B", "\u3099", 10) + "\n";
    std::string formats = "mallory: a\u0890b\u0891c\u08E2d\U000110BDe\U000110CDf\u070Fg\u2066h\U000E0041i\n";
    std::string joined = "carol: \U0001F469\u200D\U0001F4BB \u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645 "
                         "\u0915\u094D\u200D\u0937 \u2764\uFE0F\u200D\U0001F525\n";
    std::string loose = "mallory: a\u200Db \u200Dx y\u200D\u200Dz \u674E\u200D\n";
    peer.send(gb18030(marks + formats + joined + loose));
    ASSERT_TRUE(c.wait_for_output(gb18030("\u674E"), seconds(10))) << c.output();
    c.close_input();
    ASSERT_EQ(c.wait_exit(seconds(10)), 0);
    std::string kept = c.day();
    const std::string mark = "\uFFFD";
    EXPECT_NE(kept.find(" mallory: " + stacked("\u0E01", "\u0E49", 4) + mark + " " + stacked("\u0627", "\u0670", 4) + mark +
                        " " + stacked("\u0F40", "\u0F72", 4) + mark + " " + stacked("\u4EBA", "\u302A", 4) + mark + " " +
                        stacked("\u304B", "\u3099", 4) + mark + "\n"),
              std::string::npos) << kept;
    EXPECT_NE(kept.find(" mallory: a" + mark + "b" + mark + "c" + mark + "d" + mark + "e" + mark + "f" + mark + "g" + mark +
                        "h" + mark + "i\n"),
              std::string::npos) << kept;
    EXPECT_NE(kept.find(" " + joined), std::string::npos) << kept;
    EXPECT_NE(kept.find(" mallory: a" + mark + "b " + mark + "x y" + mark + mark + "z \u674E" + mark + "\n"), std::string::npos)
        << kept;
}

// A flood of lines fills no disk: a day keeps 64 MB at most, then says so once and keeps nothing
// more; empty lines are kept as nothing; today's growth counts toward the 200 MB kept in all, so
// older days go as it grows.
TEST_F(Relay, KeptHistoryStopsAtItsBytesADayAndTodayCountsTowardTheBound)
{
    start_server();
    KeepingClient c("lee");
    const std::string today = c.folder() + "/" + day_file(0), yesterday = c.folder() + "/" + day_file(1);
    const off_t MB = 1 << 20;
    ASSERT_EQ(truncate_file(yesterday, 150 * MB), 0);  // sparse: no disk spent
    ASSERT_EQ(truncate_file(today, 40 * MB), 0);
    c.start({"--keep-history", "127.0.0.1"});
    line(2, START_TIMEOUT);
    Client peer;
    line(3);
    std::string flood = "\n\n\n";
    const std::string row = "peer: " + std::string(93, 'x') + "\n";
    while (flood.size() < static_cast<size_t>(30 * MB))
        flood += row;
    peer.send(flood);
    const std::string full = "the history keeps 64 MB a day at most: nothing more is kept today";
    EXPECT_TRUE(c.wait_for_errors(full, seconds(30))) << c.errors();
    c.close_input();
    ASSERT_EQ(c.wait_exit(seconds(20)), 0);
    struct stat info{};
    ASSERT_EQ(stat(today.c_str(), &info), 0);
    EXPECT_LE(info.st_size, 64 * MB);
    EXPECT_GT(info.st_size, 64 * MB - 4096);
    std::string tail;
    {
        std::ifstream in(today, std::ios::binary);
        in.seekg(40 * MB + 1);
        tail.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(tail.find(" \n"), std::string::npos) << "an empty line was kept";
    EXPECT_EQ(tail.rfind("\tn *** " + full), tail.rfind('\n', tail.size() - 2) + 9) << tail.substr(tail.size() - 300);
    EXPECT_EQ(count(c.errors(), full), 1u) << c.errors();
    EXPECT_NE(stat(yesterday.c_str(), &info), 0) << "the days before today were not pruned as it grew";
}

// The history is kept only in folders of the user's own that nobody else may write in, and only in
// files of the user's own with no other name; whatever else is there is never written, read or
// removed, and why nothing is kept is said once.
TEST_F(Relay, KeptHistoryTrustsNoFolderOrFileOfAnotherUser)
{
    if (under_wine())
        GTEST_SKIP() << "the folders' owners are the POSIX files'; Windows takes the shell's known folders";
    start_server();
    Client peer;
    auto run = [&](KeepingClient &c) {
        c.start({"--keep-history", "127.0.0.1"});
        std::this_thread::sleep_for(milliseconds(300));  // connected
        peer.send("peer: one\npeer: two\n");
        EXPECT_TRUE(c.wait_for_output("peer: two\n", seconds(10))) << c.output();
        std::this_thread::sleep_for(milliseconds(1500));  // written, or refused
        c.close_input();
        EXPECT_EQ(c.wait_exit(seconds(10)), 0);
    };
    // Another user's folder, as one made first where XDG_DATA_HOME points.
    {
        KeepingClient c("mia");
        const std::string mine = c.folder().substr(0, c.folder().rfind('/'));
        ASSERT_EQ(chown(mine.c_str(), 4242, 4242), 0);
        run(c);
        EXPECT_EQ(count(c.errors(), "another user's folder"), 1u) << c.errors();
        EXPECT_EQ(c.day(), "") << "kept in another user's folder";
    }
    // Settings in another user's folder (here: the history turned off) are not read.
    {
        KeepingClient c("mia");
        write_file(c.settings() + "/history", "off");
        ASSERT_EQ(chown(c.settings().c_str(), 4242, 4242), 0);
        run(c);
        EXPECT_NE(c.day().find(" peer: two\n"), std::string::npos) << "settings were read from another user's folder";
    }
    // A folder others may write in.
    {
        KeepingClient c("mia");
        ASSERT_EQ(chmod(c.folder().c_str(), 0777), 0);
        run(c);
        EXPECT_EQ(count(c.errors(), "others may write in this folder"), 1u) << c.errors();
        EXPECT_EQ(c.day(), "");
    }
    // The history folder swapped for a link to another's: nothing there is read or removed.
    {
        KeepingClient c("mia"), victim("vic");
        write_file(victim.folder() + "/" + day_file(300), "10:00:00 theirs\n");
        write_file(victim.folder() + "/" + day_file(400), "10:00:00 theirs too\n");
        write_file(c.folder() + "/" + day_file(1), "10:00:00 mine\n");
        ASSERT_EQ(std::system(("rm -rf '" + c.folder() + "'").c_str()), 0);
        ASSERT_EQ(symlink(victim.folder().c_str(), c.folder().c_str()), 0);
        run(c);
        EXPECT_EQ(victim.day(400), "10:00:00 theirs too\n") << "removed through a link";
        EXPECT_EQ(victim.day(0), "") << "written through a link";
        EXPECT_NE(c.errors().find("a link or no folder"), std::string::npos) << c.errors();
    }
    // Today's file with another name (a hard link to a file elsewhere), and another user's file.
    {
        KeepingClient c("mia");
        const std::string elsewhere = c.folder() + "/../elsewhere";
        write_file(elsewhere, "keep\n");
        ASSERT_EQ(link(elsewhere.c_str(), (c.folder() + "/" + day_file(0)).c_str()), 0);
        run(c);
        EXPECT_EQ(c.day(), "keep\n") << "written through a hard link";
        EXPECT_EQ(count(c.errors(), "the history of this day is not kept: "), 1u) << c.errors();
        KeepingClient d("mia");
        write_file(d.folder() + "/" + day_file(0), "theirs\n");
        ASSERT_EQ(chown((d.folder() + "/" + day_file(0)).c_str(), 4242, 4242), 0);
        run(d);
        EXPECT_EQ(d.day(), "theirs\n") << "written into another user's file";
        EXPECT_NE(d.errors().find("another user's file"), std::string::npos) << d.errors();
    }
}

// A write that stalls (a network folder that hangs; here a file system frozen with fsfreeze) holds
// /quit 2 s at most: the terminal is given back; and the lines that wait for it stay bounded. (A
// thread held by a frozen file system cannot end until it thaws, so the process lingers till then;
// one held by a hung network folder ends with it.)
TEST_F(Relay, AHistoryWriteThatStallsHoldsNeitherQuitNorMemory)
{
    if (under_wine())
        GTEST_SKIP() << "a frozen file system is Linux's";
    start_server();
    ScreenClient c;
    const std::string data = c.file_path("data"), image = c.file_path("data.img");
    if (std::system(("mkdir -p " + data + " && truncate -s 64M " + image + " && mkfs.ext4 -q -F " + image +
                     " && mount -o loop " + image + " " + data + " && chmod 700 " + data).c_str()) != 0)
        GTEST_SKIP() << "no loop device to mount a file system of the test's own on";
    c.start("--name zoe 127.0.0.1");
    ASSERT_TRUE(c.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << c.text();
    Client peer;
    line(3);
    peer.send("peer: before the freeze\n");
    ASSERT_TRUE(c.wait_for("before the freeze", seconds(10))) << c.text();
    std::this_thread::sleep_for(milliseconds(1500));  // written
    ASSERT_EQ(std::system(("fsfreeze -f " + data).c_str()), 0);
    std::string flood;
    const std::string row = "peer: " + std::string(93, 'y') + "\n";
    while (flood.size() < (40u << 20))
        flood += row;
    peer.send(flood);
    EXPECT_TRUE(c.wait_for("yyyyyyyy", seconds(30))) << c.text();
    std::this_thread::sleep_for(seconds(4));  // the writer is held; the lines pile up behind it
    // The client: the child of the pane's shell.
    std::string shell = c.ask("display-message -p '#{pane_pid}'");
    std::ifstream children("/proc/" + shell.substr(0, shell.find('\n')) + "/task/" + shell.substr(0, shell.find('\n')) + "/children");
    long client = 0, rss = 0;
    children >> client;
    std::ifstream status("/proc/" + std::to_string(client) + "/status");
    for (std::string l; std::getline(status, l);)
        if (l.compare(0, 6, "VmRSS:") == 0)
            rss = std::atol(l.c_str() + 6);
    std::string region = c.ask("display-message -p '#{scroll_region_lower}'");
    c.type("/quit");
    c.press("Enter");
    auto asked = Clock::now();
    while (c.ask("display-message -p '#{scroll_region_lower}'") == region && Clock::now() - asked < seconds(10))
        std::this_thread::sleep_for(milliseconds(100));
    auto took = Clock::now() - asked;
    std::system(("fsfreeze -u " + data).c_str());
    EXPECT_TRUE(c.wait_exit(seconds(10))) << c.text();
    std::system(("umount " + data + " || umount -l " + data).c_str());
    EXPECT_LT(took, seconds(4)) << "the terminal came back " << std::chrono::duration_cast<milliseconds>(took).count()
                                << " ms after /quit";
    EXPECT_GT(client, 0);
#ifndef RELAY_SANITIZED  // a sanitizer's shadow memory and quarantine are no measure of the client's
    EXPECT_LT(rss, 40 * 1024) << "KiB resident, 40 MB sent while the history's writes stalled";
#endif
}

// ---- files handed to the room ----

// curl, the oracle for the sender: the status it got; the body goes to body_file, the head to
// head_file.
std::string curl(const std::string &args, const std::string &body_file, const std::string &head_file)
{
    return run("curl -s --max-time 60 -o '" + body_file + "' -D '" + head_file + "' -w '%{http_code}' " + args);
}

std::string sha256_of(const std::string &path)
{
    return run("sha256sum '" + path + "'").substr(0, 64);
}

// A path as the client under test names it: under Wine, through the drive Z: that maps "/".
std::string path_for_client(std::string path)
{
    if (!under_wine())
        return path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

// A connection to a port here, with a small receive buffer if asked (a fetcher that takes its time).
int connect_port(unsigned short port, int rcvbuf = 0)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads what a connection gets until it closes or the time-out passes.
std::string read_until_closed(int fd, Clock::duration timeout)
{
    std::string got;
    auto deadline = Clock::now() + timeout;
    char buf[4096];
    while (Clock::now() < deadline) {
        timeval tv{0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0)
            break;
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// The next line the room carries to a raw client, its line end included.
std::string next_line(Client &c, Clock::duration timeout)
{
    std::string got;
    auto deadline = Clock::now() + timeout;
    while (got.find('\n') == std::string::npos && Clock::now() < deadline) {
        check_relay();
        got += c.recv_for(milliseconds(200));
    }
    return got;
}

TEST_F(Relay, OnAScreenAFileSharedIsOfferedByALineAndServedToCurlByteForByte)
{
    start_server();
    ScreenClient alice;
    const std::string content = random_bytes(3000000, 46), name = "\u7b2c\u4e09\u7ae0\u8bb2\u4e49.pdf";  // 第三章讲义
    write_file(alice.file_path(name), content);
    alice.start("--name alice 127.0.0.1", "USER=alice");
    Client peer;
    line(3);
    ASSERT_TRUE(alice.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << alice.text();
    alice.type("/share " + path_for_client(alice.file_path(name)));
    alice.press("Enter");

    // The line, as the room reads it: the name in GB18030 as the rest of the line, and in the address
    // as UTF-8 percent-encoded. The relay is reached over loopback: the address is this host's on
    // the network the relay announces on.
    std::string offer = next_line(peer, seconds(30));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(offer, m, std::regex("alice: \\[FILE\\] (.+) \\(2\\.9 MB\\) (http://198\\.18\\.0\\.1:(889[0-9])/f/"
                                                      "[A-Za-z0-9_-]{22,}/(\\S+)) size=3000000 sha256=([0-9a-f]{64})\n")))
        << offer;
    EXPECT_EQ(m[1], gb18030(name));
    EXPECT_EQ(m[4], "%E7%AC%AC%E4%B8%89%E7%AB%A0%E8%AE%B2%E4%B9%89.pdf");
    EXPECT_EQ(m[5], sha256_of(alice.file_path(name)));
    const std::string url = m[2], hash = m[5], token_path = url.substr(url.find("/f/"));
    const unsigned short port = static_cast<unsigned short>(std::stoi(m[3]));
    const std::string body = alice.file_path("body"), head = alice.file_path("head");
    auto header = [&](const std::string &field) {
        std::string h = alice.file(head);
        size_t at = h.find(field + ": ");
        return at == std::string::npos ? std::string("(none)") : h.substr(at + field.size() + 2, h.find('\r', at) - at - field.size() - 2);
    };

    // The whole file, and the head that saves it under its name and keeps browsers from guessing.
    EXPECT_EQ(curl("'" + url + "'", body, head), "200");
    EXPECT_TRUE(alice.file(body) == content) << "the file fetched differs";
    EXPECT_EQ(header("ETag"), "\"" + hash + "\"");
    EXPECT_EQ(header("Content-Disposition").substr(header("Content-Disposition").find("filename*=")),
              "filename*=UTF-8''%E7%AC%AC%E4%B8%89%E7%AB%A0%E8%AE%B2%E4%B9%89.pdf");
    EXPECT_EQ(header("X-Content-Type-Options"), "nosniff");
    // Ranges: one in the middle, the rest from a point (as a fetch resumes), none past the end; a range
    // under an If-Range that is not this file's hash gets the whole file.
    EXPECT_EQ(curl("-r 100-199 '" + url + "'", body, head), "206");
    EXPECT_TRUE(alice.file(body) == content.substr(100, 100));
    EXPECT_EQ(header("Content-Range"), "bytes 100-199/3000000");
    EXPECT_EQ(curl("-r 2999990- -H 'If-Range: \"" + hash + "\"' '" + url + "'", body, head), "206");
    EXPECT_TRUE(alice.file(body) == content.substr(2999990));
    EXPECT_EQ(curl("-r 3000000- '" + url + "'", body, head), "416");
    EXPECT_EQ(header("Content-Range"), "bytes */3000000");
    EXPECT_EQ(curl("-r 100-199 -H 'If-Range: \"0000\"' '" + url + "'", body, head), "200");
    EXPECT_EQ(alice.file(body).size(), content.size());
    EXPECT_EQ(curl("-I '" + url + "'", body, head), "200");
    EXPECT_EQ(header("Content-Length"), "3000000");
    // Only the tokens shared: no other path, no listing, no way out of them; GET and HEAD only.
    const std::string base = url.substr(0, url.find("/f/"));
    for (const std::string &path : {std::string("/"), std::string("/f/"), "/f/" + std::string(24, 'A') + "/x.pdf",
                                    std::string("/f/..%2F..%2Fetc%2Fpasswd"), std::string("/../../etc/passwd"),
                                    token_path.substr(0, token_path.size() - 5)})
        EXPECT_EQ(curl("--path-as-is '" + base + path + "'", body, head), path == token_path.substr(0, token_path.size() - 5) ? "200" : "404")
            << path;
    EXPECT_EQ(curl("-X POST '" + url + "'", body, head), "405");

    // A head longer than 8 KiB, and one that has not ended within 10 s, are refused and the
    // connection closed.
    int fd = connect_port(port);
    std::string long_head = "GET " + token_path + " HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n";
    send(fd, long_head.data(), long_head.size(), MSG_NOSIGNAL);
    EXPECT_EQ(read_until_closed(fd, seconds(10)).substr(0, 12), "HTTP/1.1 431");
    close(fd);
    fd = connect_port(port);
    std::string slow = "GET " + token_path + " HTTP/1.1\r\n";
    send(fd, slow.data(), slow.size(), MSG_NOSIGNAL);
    auto began = Clock::now();
    EXPECT_EQ(read_until_closed(fd, seconds(15)).substr(0, 12), "HTTP/1.1 408");
    EXPECT_GE(Clock::now() - began, seconds(9));
    close(fd);

    // A file changed since it was offered is gone; one withdrawn is not there.
    write_file(alice.file_path(name), content + "x");
    EXPECT_EQ(curl("'" + url + "'", body, head), "410");
    alice.type("/unshare");
    alice.press("Enter");
    ASSERT_TRUE(alice.wait_for("*** withdrew", seconds(10))) << alice.text();
    EXPECT_EQ(curl("'" + url + "'", body, head), "404");
}

// A file past 4 GiB, sparse: its size in the line and its last bytes served; two transfers to one
// address at once, and a third told to come back later, while another address is served.
TEST_F(Relay, OnAScreenAFileOf5GiBIsOfferedAndAnAddressGetsTwoTransfersAtOnce)
{
    start_server();
    ScreenClient alice;
    const std::string big = alice.file_path("big.img");
    write_file(big, "");
    ASSERT_EQ(truncate(big.c_str(), 5LL << 30), 0);
    alice.start("--name alice 127.0.0.1", "USER=alice");
    line(2);
    ASSERT_TRUE(alice.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << alice.text();
    alice.type("/share " + path_for_client(big));
    alice.press("Enter");
    ASSERT_TRUE(alice.wait_for("*** hashing big.img (5.0 GB)", seconds(10))) << alice.text();
    // The offer, as the sender's screen shows it once the file is hashed (a raw peer would be
    // dropped by the relay for its silence meanwhile).
    ASSERT_TRUE(wait_joined(alice, "*** sharing big.img", seconds(100))) << alice.text();
    std::string shown = alice.joined_text();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(shown, m, std::regex("alice: \\[FILE\\] big\\.img \\(5\\.0 GB\\) (http://198\\.18\\.0\\.1:(889[0-9])/"
                                                      "f/\\S+) size=5368709120 sha256=[0-9a-f]{64}")))
        << shown;
    const std::string url = m[1];
    const std::string body = alice.file_path("body"), head = alice.file_path("head");
    EXPECT_EQ(curl("-r 5368709110- '" + url + "'", body, head), "206");
    EXPECT_EQ(alice.file(body), std::string(10, '\0'));
    EXPECT_NE(alice.file(head).find("Content-Range: bytes 5368709110-5368709119/5368709120"), std::string::npos) << alice.file(head);

    // Two fetchers from here that take nothing in hold both of this address's transfers.
    unsigned short port = static_cast<unsigned short>(std::stoi(m[2]));
    std::string get = "GET " + url.substr(url.find("/f/")) + " HTTP/1.1\r\n\r\n";
    int slow[2];
    for (int &fd : slow) {
        fd = connect_port(port, 4096);
        send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(milliseconds(500));
    const std::string loopback_url = "http://127.0.0.1" + url.substr(url.find(':', 7));
    EXPECT_EQ(curl("-r 0-9 '" + loopback_url + "'", body, head), "503");
    EXPECT_NE(alice.file(head).find("Retry-After: "), std::string::npos) << alice.file(head);
    ASSERT_TRUE(alice.wait_for("2 transfers", seconds(5))) << alice.text();  // the status row
    // Another address is served meanwhile.
    PeerHost other(1);
    {
        InNamespace there(other.netns());
        std::string other_url = "http://" + other.near_address() + url.substr(url.find(':', 7));
        EXPECT_EQ(curl("-r 0-9 '" + other_url + "'", body, head), "206");
    }
    for (int fd : slow)
        close(fd);
    std::remove(big.c_str());
}

// A sender that the test plays: each request's head is kept, and answered as the test says.
class FakeSender {
public:
    explicit FakeSender(std::function<std::string(const std::string &head)> answer) : answer_(std::move(answer))
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(18080);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 || listen(fd_, 16) != 0)
            ADD_FAILURE() << "the fake sender cannot listen";
        thread_ = std::thread([this] {
            for (;;) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0)
                    return;
                std::string head;
                char buf[4096];
                while (head.find("\r\n\r\n") == std::string::npos) {
                    ssize_t n = recv(c, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    head.append(buf, static_cast<size_t>(n));
                }
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    heads_.push_back(head);
                }
                std::string reply = answer_(head);
                send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                close(c);
            }
        });
    }
    ~FakeSender()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    std::vector<std::string> heads()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return heads_;
    }

private:
    std::function<std::string(const std::string &)> answer_;
    int fd_ = -1;
    std::thread thread_;
    std::mutex mu_;
    std::vector<std::string> heads_;
};

std::string offer_line(const std::string &sender, const std::string &host, const std::string &token,
                       const std::string &encoded_name, size_t size, const std::string &hash)
{
    return sender + ": [FILE] x (" + std::to_string(size) + " bytes) http://" + host + "/f/" + token + "/" + encoded_name +
           " size=" + std::to_string(size) + " sha256=" + hash + "\n";
}

std::string hex_sha256(const std::string &bytes)
{
    char path[] = "/tmp/relay-hash-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    write_file(path, bytes);
    std::string h = sha256_of(path);
    std::remove(path);
    return h;
}

TEST_F(Relay, OnAScreenGetSavesTheFileCheckedResumesABrokenOneAndRefusesWhatItShould)
{
    start_server();
    const std::string content = random_bytes(1 << 20, 7), hash = hex_sha256(content), half = content.substr(0, 300000);
    // The answers: the whole file; its first part only, then the rest when asked with a range; a
    // redirect; the whole file under the wrong hash.
    FakeSender sender([&](const std::string &head) -> std::string {
        std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n";
        if (head.find("/f/brokenbrokenbroken/") != std::string::npos) {
            if (head.find("Range: bytes=300000-") != std::string::npos)
                return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 300000-" + std::to_string(content.size() - 1) + "/" +
                       std::to_string(content.size()) + "\r\nContent-Length: " + std::to_string(content.size() - 300000) +
                       "\r\n\r\n" + content.substr(300000);
            return ok + half;
        }
        if (head.find("/f/redirectredirectre/") != std::string::npos)
            return "HTTP/1.1 302 Found\r\nLocation: http://8.8.8.8/x\r\nContent-Length: 0\r\n\r\n";
        return ok + content;
    });
    ScreenClient bob;
    const std::string downloads = under_wine() ? RELAY_WINEPREFIX "/drive_c/users/bob/Downloads" : bob.file_path("downloads");
    // Under Wine, a folder of its own rather than the link to the home folder Wine makes.
    std::system(("rm -rf '" + downloads + "' && mkdir -p '" + downloads + "'").c_str());
    bob.start("--name bob 127.0.0.1", "USER=bob XDG_DOWNLOAD_DIR=" + downloads);
    Client peer;
    line(3);
    ASSERT_TRUE(bob.wait_for("*** connected to 127.0.0.1", START_TIMEOUT)) << bob.text();
    const std::string here = "127.0.0.1:18080";
    peer.send(offer_line("carol", here, "wholewholewholewhole", "report.pdf", content.size(), hash));
    peer.send(offer_line("carol", here, "wholewholewholewhole", "report.pdf", content.size(), hash));
    peer.send(offer_line("carol", here, "brokenbrokenbroken", "%E6%8A%A5%E5%91%8A.bin", content.size(), hash));
    peer.send(offer_line("carol", here, "wrongwrongwrongwrong", "wrong.bin", content.size(), std::string(64, '0')));
    peer.send(offer_line("mallory", "8.8.8.8:8890", "publicpublicpublic", "far.bin", content.size(), hash));
    peer.send(offer_line("mallory", here, "redirectredirectre", "moved.bin", content.size(), hash));
    peer.send(offer_line("mallory", here, "hostilehostilehost", "..%2F..%2FCON", content.size(), hash));
    peer.send(offer_line("mallory", here, "hostilehostilehost", "%1B%5D0%3Bx%07..", content.size(), hash));
    // Each offer is understood as it is heard, and shown with how to fetch it.
    ASSERT_TRUE(wait_joined(bob, "%1B%5D0%3Bx%07.. size=1048576 sha256=" + hash + " (/get 8)", seconds(10))) << bob.text();
    bob.type("/files");
    bob.press("Enter");
    ASSERT_TRUE(wait_joined(bob, "*** 8. _]0;x_ (1.0 MB) from mallory at 127.0.0.1", seconds(10))) << bob.text();

    auto get = [&](int n, const std::string &said) {
        bob.type("/get " + std::to_string(n));
        bob.press("Enter");
        return wait_joined(bob, said, seconds(30));
    };
    // Saved under its name, then beside it without replacing it; both as sent.
    ASSERT_TRUE(get(1, "*** saved report.pdf (1.0 MB, checked) as ")) << bob.text();
    ASSERT_TRUE(get(2, "report (2).pdf; open it from its folder")) << bob.text();
    EXPECT_TRUE(bob.file(downloads + "/report.pdf") == content);
    EXPECT_TRUE(bob.file(downloads + "/report (2).pdf") == content);
    // Broken midway, the part stays; asked again, only the rest is fetched.
    ASSERT_TRUE(get(3, "*** fetching \u62a5\u544a.bin failed: the transfer broke at 293.0 KB of 1.0 MB; /get 3 goes on from there"))
        << bob.text();
    EXPECT_EQ(bob.file(downloads + "/\u62a5\u544a.bin.part").size(), half.size());
    ASSERT_TRUE(get(3, "*** saved \u62a5\u544a.bin (1.0 MB, checked)")) << bob.text();
    EXPECT_TRUE(bob.file(downloads + "/\u62a5\u544a.bin") == content);
    std::vector<std::string> heads = sender.heads();
    ASSERT_GE(heads.size(), 4u);
    EXPECT_NE(heads[3].find("Range: bytes=300000-\r\nIf-Range: \"" + hash + "\""), std::string::npos) << heads[3];
    // A wrong hash: deleted, and said.
    ASSERT_TRUE(get(4, "*** fetching wrong.bin failed: what came does not match the hash offered, and was deleted")) << bob.text();
    struct stat st;
    EXPECT_NE(stat((downloads + "/wrong.bin").c_str(), &st), 0);
    EXPECT_NE(stat((downloads + "/wrong.bin.part").c_str(), &st), 0);
    // A public address is not asked at all; a redirect is not followed.
    size_t asked = sender.heads().size();
    // (Wine's console breaks a long line itself: the start of it.)
    ASSERT_TRUE(get(5, "*** not fetching far.bin from 8.8.8.8: its address is on no private network")) << bob.text();
    ASSERT_TRUE(get(6, "*** fetching moved.bin failed: the sender answered with a redirect, which is not followed")) << bob.text();
    EXPECT_EQ(sender.heads().size(), asked + 1);
    // Hostile names: no way out of the folder, no reserved name, no escapes.
    ASSERT_TRUE(get(7, "*** saved _.._CON (1.0 MB, checked)")) << bob.text();
    EXPECT_TRUE(bob.file(downloads + "/_.._CON") == content);
    ASSERT_TRUE(get(8, "*** saved _]0;x_ (1.0 MB, checked)")) << bob.text();
    EXPECT_TRUE(bob.file(downloads + "/_]0;x_") == content);
}


}  // namespace
