// harness.h - runs the real relay binary in a private network namespace and talks to it as clients do.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// True when the program under test is the Windows build running under Wine.
bool under_wine();
// True when the program under test is built with a sanitizer.
bool sanitized();

// A relay that a test needs running and that ended without the test ending it: a crash, a
// sanitizer's report, an exit. Every wait here then ends at once, and on the test's own thread
// (test_thread_is_this_one) it throws relay_died, which fails the test; its log follows in
// Relay::TearDown. Without this, a relay that crashes in every test made each wait out its time
// limit, test after test.
struct relay_died : std::runtime_error {
    using std::runtime_error::runtime_error;
};
void test_thread_is_this_one();
bool relay_has_died();
// Throws relay_died if the relay has died and this is the test's thread; otherwise does nothing. For
// the waits of the tests themselves: a loop that polls calls it each time round.
void check_relay();

// Moves this process into a network namespace of its own: loopback up, plus a veth pair with a
// default route so that a limited broadcast sent here is delivered to sockets here.
void enter_private_network();

// Another host on a network of its own, 198.18.N.0/24: a network namespace joined to the test's by
// a veth pair. The test's end, peerN, is 198.18.N.1 and the host's, eth0, is 198.18.N.2; both carry
// the subnet's broadcast address, as DHCP would leave them. Gone, with its link, once the host is
// destroyed and nothing runs there any more.
class PeerHost {
public:
    explicit PeerHost(int n);
    ~PeerHost();
    PeerHost(const PeerHost &) = delete;
    PeerHost &operator=(const PeerHost &) = delete;

    std::string address() const;       // the host's own
    std::string near_address() const;  // the test's namespace on this network
    // Sends the test namespace's default route, and with it its limited broadcasts, to this network.
    void take_default_route() const;
    int netns() const { return netns_; }

private:
    int n_;
    int netns_ = -1;
};

// While it lives, the calling thread is in the given network namespace: sockets it opens and
// programs it starts belong there, and stay there afterwards.
class InNamespace {
public:
    explicit InNamespace(int netns);
    ~InNamespace();
    InNamespace(const InNamespace &) = delete;
    InNamespace &operator=(const InNamespace &) = delete;

private:
    int home_ = -1;
};

// Runs `ip -batch` on the lines given, in the calling thread's network namespace; aborts on failure.
void ip_batch(const std::string &lines);

// What systemd puts in JOURNAL_STREAM for a program whose output goes to the journal through the
// given descriptor: its device and inode, "device:inode".
std::string journal_stream_of(int fd);

// Runs a shell command; returns what it wrote (its standard output and error), and its exit status
// in *status (-1 if it did not exit).
std::string run(const std::string &command, int *status = nullptr);

// A file's bytes, or "" if there is none.
std::string read_file(const std::string &path);

// Polls until the condition holds, every `every`; false if it does not within the time-out (a
// relay's death ends the wait, as check_relay says).
template <typename Condition>
bool eventually(Condition holds, Clock::duration timeout, Clock::duration every = milliseconds(100))
{
    for (auto deadline = Clock::now() + timeout; !holds(); std::this_thread::sleep_for(every)) {
        check_relay();
        if (Clock::now() > deadline)
            return false;
    }
    return true;
}

// Converts UTF-8 text to GBK, the encoding of the server's log; to GB18030, that of text on the
// wire between companion clients; or to another encoding.
std::string gbk(const std::string &utf8);
std::string gb18030(const std::string &utf8);
std::string from_utf8(const char *encoding, const std::string &utf8);

// One line of the server's log, split into its time and the text after "[hh:mm:ss] ".
struct EventLine {
    int hour = -1, minute = -1, second = -1;
    std::string text;  // without the line end
    std::string raw;   // the whole line as written, line end included
};

// The expected text of each event line: GBK bytes of the Chinese message, plus the value if any.
std::string started_text();
std::string connected_text(int online);
std::string timed_out_text();
std::string bind_failed_text(unsigned long code);

// A program under test, with its standard input, output and error on pipes.
class Program {
public:
    Program();
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // Starts the program (under Wine for the Windows build) with the given arguments and extra
    // environment ("NAME=value"); max_files, if not 0, caps the descriptors it may open. A path
    // without a slash is looked for on PATH.
    void start(const std::string &path, const std::vector<std::string> &args = {},
               const std::vector<std::string> &env = {}, unsigned max_files = 0);
    // Call before start: standard output is then a pipe of one page that nobody reads until
    // resume_output, as when a console is frozen or the reader of a log pipe stalls. Non-blocking:
    // as a parent that set O_NONBLOCK on the pipe leaves it.
    void hold_output(bool nonblocking = false);
    void resume_output();
    // With output held: closes the reading end unread, as when the reader of a log pipe exits.
    void drop_output();
    // Call before start: standard output is then a pseudo-terminal, as when run in a terminal window.
    void output_to_terminal();
    // Call before start: standard input and output are then one pseudo-terminal (echo off), and
    // write_input types on it.
    void run_on_terminal();
    // Call before start: standard output is then a Unix stream socket that JOURNAL_STREAM names, as
    // when systemd runs the program with its output going to the journal.
    void output_to_journal();
    // Call before start: the descriptor stays open in the program, under its number, as one a
    // program is told to write to (Xvfb's -displayfd).
    void keep_descriptor(int fd) { kept_fd_ = fd; }
    // Call before start: the program is a Windows one, to run under this Wine in this prefix (by
    // default, the suite's program under test runs under the suite's Wine and prefix, if any).
    void run_under_wine(const std::string &wine, const std::string &prefix);
    void write_input(const std::string &bytes);
    // Writes what the program takes of the bytes before it ends (or closes its input); their count.
    size_t write_input_until_closed(const std::string &bytes);
    void close_input();
    std::string output();
    std::string errors();
    // Wait until the output (or error output) contains the text; false on time-out.
    bool wait_for_output(const std::string &text, Clock::duration timeout);
    bool wait_for_errors(const std::string &text, Clock::duration timeout);
    // Waits for the process to end; returns its exit status, or nothing if it is still running.
    std::optional<int> wait_exit(Clock::duration timeout);
    // Call before start: the process must keep running unless it is stopped, or `expected` says
    // that its end is due; should it end otherwise, the relay has died (see relay_died).
    void must_keep_running(std::function<bool()> expected);
    bool running();
    void stop();
    pid_t pid() const { return pid_; }
    // The TMPDIR of the program's own wineserver, if it runs under Wine: other Windows programs
    // started with it share the program's windows.
    const std::string &wine_tmp() const { return wine_tmp_; }
    // Read from /proc: resident memory, thread count, open descriptors, CPU time used.
    long rss_kib();
    int threads();
    int open_files();
    double cpu_seconds();

protected:
    std::mutex mu_;
    std::condition_variable cv_;
    std::string output_;
    bool output_held_ = false;     // guarded by mu_
    bool output_nonblocking_ = false;
    bool output_dropped_ = false;  // guarded by mu_
    bool output_to_terminal_ = false;
    bool input_on_terminal_ = false;
    bool output_to_journal_ = false;
    int kept_fd_ = -1;

private:
    void read_into(int fd, std::string *sink);
    void watch(pid_t pid);

    pid_t pid_ = -1;
    std::function<bool()> end_expected_;  // set: the process must keep running
    std::atomic<bool> stopping_{false};
    std::thread watcher_;
    int in_fd_ = -1;
    std::string wine_;         // the Wine that runs the program, if it is a Windows one
    std::string wine_prefix_;  // and its WINEPREFIX
    std::string wine_tmp_;     // the private TMPDIR of the program's wineserver
    std::optional<int> status_;
    std::thread out_reader_, err_reader_;
    std::string errors_;
};

// The relay server; its standard output is the event log.
class ServerProcess : public Program {
public:
    void start(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {},
               unsigned max_files = 0);
    // Starts another build of the relay than the suite's, such as one a package installed.
    void start_at(const std::string &path, const std::vector<std::string> &args = {},
                  const std::vector<std::string> &env = {});
    // Waits until the log holds at least n complete lines; returns them (fewer on time-out).
    std::vector<EventLine> wait_for_lines(size_t n, Clock::duration timeout);
    std::vector<EventLine> lines();
    std::string log();  // the log and anything on standard error, for failure messages
};

class Client {
public:
    // Connects to 127.0.0.1:8888, retrying for a while if nothing listens yet. A receive buffer
    // size, if given, is set before connecting (small ones make a client slow to take data).
    explicit Client(int rcvbuf = 0);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    void send(const std::string &bytes);
    // Reads exactly n bytes; returns fewer if the time-out passes or the connection ends first.
    std::string recv_exact(size_t n, Clock::duration timeout);
    // Returns whatever arrives within the time-out (empty if nothing does).
    std::string recv_for(Clock::duration timeout);
    // Reads until `expected` has all arrived or the time-out passes; returns how many bytes arrived
    // matching it, stopping at the first that differs. With keep_alive it heartbeats every 2 s, so
    // that a long read does not outlast the inactivity limit, and takes the answers out of the stream.
    // If `progress` is given, it follows the count of matching bytes as they arrive.
    size_t recv_matching(const std::string &expected, Clock::duration timeout, bool keep_alive = false,
                         std::atomic<size_t> *progress = nullptr);
    // True if the server closes the connection within the time-out.
    bool closed_by_server(Clock::duration timeout);
    // Closes with an RST instead of a FIN.
    void reset();
    // Closes with a FIN.
    void close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct Datagram {
    std::string payload;
    std::string source;  // the sender's address
    unsigned short source_port = 0;
    std::string destination;  // the address the datagram was sent to
    Clock::time_point arrived;
};

// A UDP socket bound to 0.0.0.0:8889, where the beacon is heard: here, or on another host.
class BeaconListener {
public:
    BeaconListener();
    explicit BeaconListener(const PeerHost &host);
    ~BeaconListener();
    std::optional<Datagram> receive(Clock::duration timeout);

private:
    int fd_ = -1;
};

// A socket that holds TCP port 8888 so that the server cannot bind it. It listens, so a test can
// also stand in for the relay.
class PortHolder {
public:
    PortHolder();
    ~PortHolder();
    // Accepts one connection; -1 if none comes within the time-out. The caller closes it.
    int accept_one(Clock::duration timeout);

private:
    int fd_ = -1;
};

// Opens n connections to 127.0.0.1:8888 at once (non-blocking connects, then waits for them all).
// Returns their descriptors; the caller closes them.
std::vector<int> connect_many(size_t n, Clock::duration timeout);

// Reads exactly n bytes from a connected socket; fewer if the time-out passes or it closes first.
std::string recv_exact_fd(int fd, size_t n, Clock::duration timeout);

// Bytes from a seeded generator, the same for the same seed.
std::string random_bytes(size_t n, unsigned seed);

// Whether a client silent since `since` was dropped (at `at`, if at all) between 10 and 14 s later:
// after the 10 s limit, allowing for the time the test takes to notice.
::testing::AssertionResult dropped_on_time(std::optional<Clock::time_point> at, Clock::time_point since);

// Wine needs a second or two to start a program; a native start takes milliseconds.
const Clock::duration START_TIMEOUT = seconds(30);
// How long a test listens to be sure that nothing (more) arrives.
const Clock::duration QUIET = milliseconds(300);

// The line end of the log: the Windows C runtime writes text mode.
inline std::string line_end()
{
    return under_wine() ? "\r\n" : "\n";
}

// Every test gets its own network namespace and starts its own server there.
class Relay : public ::testing::Test {
protected:
    void SetUp() override
    {
        enter_private_network();
        test_thread_is_this_one();
        server.must_keep_running([this] { return expect_exit.load(); });
    }

    // Starts the server and waits for its start line.
    void start_server(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {},
                      unsigned max_files = 0)
    {
        server.start(args, env, max_files);
        auto lines = server.wait_for_lines(1, START_TIMEOUT);
        ASSERT_FALSE(lines.empty()) << "no start line; log: " << server.log();
        ASSERT_EQ(lines[0].text, started_text()) << server.log();
    }

    // Waits for event line number n (counting from 1) and returns it.
    EventLine line(size_t n, Clock::duration timeout = seconds(10))
    {
        auto lines = server.wait_for_lines(n, timeout);
        if (lines.size() < n) {
            ADD_FAILURE() << "line " << n << " never came; log: " << server.log();
            return {};
        }
        return lines[n - 1];
    }

    // The relay started again as `again` while its address, 198.18.0.1, is away (taken with
    // ip_batch), and a peer in its room before the address comes back: a client that finds the
    // relay again then finds the peer there, and `held`, what the client had waiting, reaches it.
    void relay_back_with_a_peer_first(ServerProcess &again, const std::string &held)
    {
        again.start();
        ASSERT_FALSE(again.wait_for_lines(1, START_TIMEOUT).empty());
        Client peer;
        ASSERT_EQ(again.wait_for_lines(2, seconds(10)).size(), 2u);
        ip_batch("addr add 198.18.0.1/24 dev rl0\n");
        EXPECT_EQ(peer.recv_exact(held.size(), seconds(20)), held);
    }

    void TearDown() override
    {
        if (server.pid() > 0 && !expect_exit) {
            EXPECT_TRUE(server.running()) << "the server died";
        }
        if (HasFailure())
            std::fprintf(stderr, "server log:\n%s\n", server.log().c_str());
    }

    std::atomic<bool> expect_exit{false};  // the test ends the server's life on purpose
    ServerProcess server;
};
