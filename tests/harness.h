// harness.h - runs the real relay binary in a private network namespace and talks to it as clients do.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// True when the program under test is the Windows build running under Wine.
bool under_wine();

// Moves this process into a network namespace of its own: loopback up, plus a veth pair with a
// default route so that a limited broadcast sent here is delivered to sockets here.
void enter_private_network();

// Converts UTF-8 text to GBK, the encoding of the server's log.
std::string gbk(const std::string &utf8);

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

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts the binary with the given arguments and extra environment ("NAME=value").
    void start(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {});
    // Waits until the log holds at least n complete lines; returns them (fewer on time-out).
    std::vector<EventLine> wait_for_lines(size_t n, Clock::duration timeout);
    std::vector<EventLine> lines();
    // Waits for the process to end; returns its exit status, or nothing if it is still running.
    std::optional<int> wait_exit(Clock::duration timeout);
    bool running();
    void stop();
    std::string log();  // the whole log, for failure messages
    pid_t pid() const { return pid_; }

private:
    void read_output(int fd);

    pid_t pid_ = -1;
    std::string wine_tmp_;  // the private TMPDIR of the program's wineserver
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string output_;
};

class Client {
public:
    // Connects to 127.0.0.1:8888, retrying for a while if nothing listens yet.
    Client();
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    void send(const std::string &bytes);
    // Reads exactly n bytes; returns fewer if the time-out passes or the connection ends first.
    std::string recv_exact(size_t n, Clock::duration timeout);
    // Returns whatever arrives within the time-out (empty if nothing does).
    std::string recv_for(Clock::duration timeout);
    // True if the server closes the connection within the time-out.
    bool closed_by_server(Clock::duration timeout);
    // Closes with an RST instead of a FIN.
    void reset();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct Datagram {
    std::string payload;
    unsigned short source_port = 0;
    std::string destination;  // the address the datagram was sent to
    Clock::time_point arrived;
};

// A UDP socket bound to 0.0.0.0:8889, where the beacon is heard.
class BeaconListener {
public:
    BeaconListener();
    ~BeaconListener();
    std::optional<Datagram> receive(Clock::duration timeout);

private:
    int fd_ = -1;
};

// A socket that holds TCP port 8888 so that the server cannot bind it.
class PortHolder {
public:
    PortHolder();
    ~PortHolder();

private:
    int fd_ = -1;
};
