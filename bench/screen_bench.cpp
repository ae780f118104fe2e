// screen_bench.cpp - the client's screen under a busy room: a peer sends lines at a steady rate
// through the relay to a client on a pseudo-terminal, and this reports what the screen kept up
// with (lines shown a second, redraws a second, bytes written to the terminal) and what it cost
// (the client's CPU and resident memory). Runs everything in a private network namespace (root).
//
//   screen_bench CHAT_SERVER CHAT_CLIENT [SECONDS=10] [LINES_PER_SECOND=2000]
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The client's CPU time so far, in seconds, from /proc.
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return 0;
    // Fields after the command: state is the 3rd; utime and stime the 14th and 15th.
    unsigned long utime = 0, stime = 0;
    int field = 3;  // p is at the state
    const char *p = stat.c_str() + at + 2;
    while (*p != '\0' && field < 14) {
        if (*p++ == ' ')
            ++field;
    }
    std::sscanf(p, "%lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long status_kib(pid_t pid, const char *field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, std::strlen(field), field) == 0)
            return std::atol(line.c_str() + std::strlen(field) + 1);
    return 0;
}

int connect_relay()
{
    for (int tries = 0; tries < 200; ++tries) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(8888);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: screen_bench CHAT_SERVER CHAT_CLIENT [SECONDS] [LINES_PER_SECOND]\n");
        return 2;
    }
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 10;
    const int rate = argc > 4 ? std::atoi(argv[4]) : 2000;
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "screen_bench: needs root, for a network namespace of its own\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    pid_t relay = fork();
    if (relay == 0) {
        freopen("/dev/null", "w", stdout);
        execl(argv[1], argv[1], static_cast<char *>(nullptr));
        _exit(127);
    }
    int peer = connect_relay();
    if (peer < 0) {
        std::fprintf(stderr, "screen_bench: the relay did not start\n");
        return 1;
    }
    int one = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    int master = -1;
    pid_t client = forkpty(&master, nullptr, nullptr, &size);
    if (client == 0) {
        setenv("TERM", "xterm-256color", 1);
        setenv("LANG", "C.UTF-8", 1);
        setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
        execl(argv[2], argv[2], "--name", "bench", "127.0.0.1", static_cast<char *>(nullptr));
        _exit(127);
    }
    // The terminal: everything the client writes, kept for counting (a few MB).
    std::string shown;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char buf[65536];
        for (ssize_t n; reading && (n = read(master, buf, sizeof buf)) > 0;)
            shown.append(buf, static_cast<std::size_t>(n));
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // connected, and the first screen drawn

    double cpu_before = cpu_seconds(client);
    auto start = Clock::now();
    long sent = 0;
    const int per_tick = rate / 100;  // every 10 ms
    std::string batch;
    for (int tick = 0; tick < seconds * 100; ++tick) {
        batch.clear();
        for (int i = 0; i < per_tick; ++i)
            batch += "peer: msg " + std::to_string(sent++) + " the quick brown fox jumps over the lazy dog 0123456789\n";
        if (send(peer, batch.data(), batch.size(), 0) < 0)
            break;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
    }
    auto sent_for = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the last frames
    double cpu = cpu_seconds(client) - cpu_before;
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    long rss = status_kib(client, "VmRSS:"), hwm = status_kib(client, "VmHWM:");
    kill(client, SIGKILL);
    kill(relay, SIGKILL);
    reading = false;
    close(master);
    reader.join();
    waitpid(client, nullptr, 0);
    waitpid(relay, nullptr, 0);

    std::size_t lines = count(shown, "msg ");  // the name before it is coloured
    std::size_t frames = count(shown, "\x1b[?25l");
    std::printf("lines sent        %ld in %.1f s (%.0f a second)\n", sent, sent_for, sent / sent_for);
    std::printf("lines shown       %zu (%.0f a second)\n", lines, lines / took);
    std::printf("redraws           %zu (%.1f a second)\n", frames, frames / took);
    std::printf("terminal output   %.0f KiB a second\n", shown.size() / 1024.0 / took);
    std::printf("client CPU        %.1f %% of a core\n", 100.0 * cpu / took);
    std::printf("client memory     %ld KiB resident at the end, %ld KiB at most\n", rss, hwm);
    return 0;
}
