// screen_bench.cpp - the client's screen under a busy room: a peer sends lines at a steady rate
// through the relay to a client on a pseudo-terminal, and this reports what the screen kept up
// with (lines shown a second, redraws a second, bytes written to the terminal) and what it cost
// (the client's CPU and resident memory). Runs everything in a private network namespace (root).
// Two floods instead of a steady room: `names` sends COUNT lines from as many names ("name000042:
// x"), then asks /names; `endless` sends MB megabytes of one line that never ends. They report
// what the client spent on them: CPU, and its resident memory at the end and at its peak.
//
//   screen_bench CHAT_SERVER CHAT_CLIENT [SECONDS=10] [LINES_PER_SECOND=2000]
//   screen_bench CHAT_SERVER CHAT_CLIENT names [COUNT=1000000]
//   screen_bench CHAT_SERVER CHAT_CLIENT endless [MB=100]
#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cctype>
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

// Waits until the client has been idle for a second (it has dealt with everything sent), up to
// the time given; returns the seconds it took.
double wait_idle(pid_t pid, Clock::time_point since, std::chrono::seconds at_most)
{
    double last = cpu_seconds(pid);
    int still = 0;
    while (still < 2 && Clock::now() - since < at_most) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        double now = cpu_seconds(pid);
        still = now - last < 0.01 ? still + 1 : 0;
        last = now;
    }
    return std::chrono::duration<double>(Clock::now() - since).count() - 1.0;
}

bool send_all(int fd, const std::string &bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, 0);
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
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
        std::fprintf(stderr, "usage: screen_bench CHAT_SERVER CHAT_CLIENT [SECONDS] [LINES_PER_SECOND]\n"
                             "       screen_bench CHAT_SERVER CHAT_CLIENT names [COUNT]\n"
                             "       screen_bench CHAT_SERVER CHAT_CLIENT endless [MIB]\n");
        return 2;
    }
    const std::string flood = argc > 3 && !std::isdigit(static_cast<unsigned char>(argv[3][0])) ? argv[3] : "";
    if (!flood.empty() && flood != "names" && flood != "endless") {
        std::fprintf(stderr, "screen_bench: no flood called %s (names, endless)\n", argv[3]);
        return 2;
    }
    const int seconds = argc > 3 && flood.empty() ? std::atoi(argv[3]) : 10;
    const int rate = argc > 4 && flood.empty() ? std::atoi(argv[4]) : 2000;
    const long amount = argc > 4 && !flood.empty() ? std::atol(argv[4]) : flood == "names" ? 1000000 : 100;
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "screen_bench: needs root, for a network namespace of its own\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A flood comes from a stand-in for the relay, as fast as the client takes it: the relay would
    // drop a client that fell 4 MiB behind, and the flood would end there.
    pid_t relay = -1;
    int peer = -1, stand_in = -1;
    if (flood.empty()) {
        relay = fork();
        if (relay == 0) {
            freopen("/dev/null", "w", stdout);
            execl(argv[1], argv[1], static_cast<char *>(nullptr));
            _exit(127);
        }
        peer = connect_relay();
        if (peer < 0) {
            std::fprintf(stderr, "screen_bench: the relay did not start\n");
            return 1;
        }
        int one = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else {
        stand_in = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(8888);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(stand_in, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 || listen(stand_in, 1) != 0) {
            std::fprintf(stderr, "screen_bench: cannot listen on 127.0.0.1:8888\n");
            return 1;
        }
    }

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
    if (stand_in >= 0)
        peer = accept4(stand_in, nullptr, nullptr, SOCK_CLOEXEC);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // connected, and the first screen drawn

    if (!flood.empty()) {
        double cpu_before = cpu_seconds(client);
        long rss_before = status_kib(client, "VmRSS:");
        auto start = Clock::now();
        std::string chunk;
        bool sent_all = true;
        if (flood == "names") {
            char line[32];
            for (long i = 0; i < amount && sent_all; ++i) {
                std::snprintf(line, sizeof line, "name%06ld: x\n", i);
                chunk += line;
                if (chunk.size() >= 60000 || i + 1 == amount) {
                    sent_all = send_all(peer, chunk);
                    chunk.clear();
                }
            }
        } else {
            chunk.assign(65536, 'w');
            for (long i = 0; i < amount * 16 && sent_all; ++i)
                sent_all = send_all(peer, chunk);
        }
        double sent_for = std::chrono::duration<double>(Clock::now() - start).count();
        double took = wait_idle(client, start, std::chrono::seconds(300));
        double cpu = cpu_seconds(client) - cpu_before;
        long rss = status_kib(client, "VmRSS:"), hwm = status_kib(client, "VmHWM:");
        std::size_t listed = 0;
        if (flood == "names") {
            // What /names still knows.
            const char ask[] = "/names\r";
            ssize_t ignored = write(master, ask, sizeof ask - 1);
            (void)ignored;
            wait_idle(client, Clock::now(), std::chrono::seconds(60));
        }
        kill(client, SIGKILL);
        reading = false;
        close(master);
        reader.join();
        waitpid(client, nullptr, 0);
        if (flood == "names") {
            std::size_t at = shown.rfind("heard in the last 10 minutes: ");
            if (at != std::string::npos)
                listed = count(shown.substr(at, shown.find('(', at) - at), ", ") + 1;
            std::printf("flood             %ld lines from as many names, %.1f MB, sent in %.1f s\n", amount,
                        amount * 15 / 1e6, sent_for);
            std::printf("/names lists      %zu names\n", listed);
        } else {
            std::size_t at = shown.rfind(" bytes not shown)");
            std::size_t from = at == std::string::npos ? at : shown.rfind('(', at);
            std::printf("flood             one line of %ld MiB with no end, sent in %.1f s\n", amount, sent_for);
            std::printf("lines drawn       %zu cut ones%s%s\n", count(shown, " bytes not shown)"),
                        at == std::string::npos ? "" : ", the last saying ",
                        at == std::string::npos ? "" : shown.substr(from, at + 17 - from).c_str());
            std::size_t longest = 0, run = 0;
            for (char ch : shown) {
                run = ch == 'w' ? run + 1 : 0;
                longest = std::max(longest, run);
            }
            std::printf("longest run drawn %zu bytes of the line\n", longest);
        }
        std::printf("terminal output   %.1f MB\n", shown.size() / 1e6);
        if (!sent_all)
            std::printf("the client stopped taking the flood: %s\n", std::strerror(errno));
        std::printf("client CPU        %.2f s, done %.1f s after the flood began\n", cpu, took);
        std::printf("client memory     %ld KiB resident before, %ld KiB at the end, %ld KiB at most\n", rss_before,
                    rss, hwm);
        return 0;
    }

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
