// screen_bench.cpp - the client's screen under a busy room: a peer sends lines at a steady rate
// through the relay to a client on a pseudo-terminal, and this reports what the screen kept up
// with (lines shown a second, redraws a second, bytes written to the terminal) and what it cost
// (the client's CPU and resident memory). Runs everything in a private network namespace (root).
// Two floods instead of a steady room: `names` sends COUNT lines from as many names ("name000042:
// x"), then asks /names; `endless` sends MB megabytes of one line that never ends. They report
// what the client spent on them: CPU, and its resident memory at the end and at its peak.
// The steady room keeps its history in a folder of its own (no-history: with --no-history), to
// compare what keeping costs. `history` times the history itself: a burst of COUNT lines kept
// whole and in order, a search over a year of it (1,000,000 lines) beside grep -rFi on the same
// files, a search's worst case (a 1,000-byte pattern over 20 MB) beside grep -rFi, the memory a
// search through 220 MB holds, and the start over that year beside the start over none.
//
//   screen_bench CHAT_SERVER CHAT_CLIENT [SECONDS=10] [LINES_PER_SECOND=2000] [no-history]
//   screen_bench CHAT_SERVER CHAT_CLIENT names [COUNT=1000000]
//   screen_bench CHAT_SERVER CHAT_CLIENT endless [MB=100]
//   screen_bench CHAT_SERVER CHAT_CLIENT history [COUNT=100000]
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
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <vector>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

// A folder of its own for a client's history (its XDG_DATA_HOME).
std::string data_folder()
{
    char dir[] = "/tmp/screen-bench-data-XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : "/nonexistent";
}

// Starts the client on a pseudo-terminal of 40 rows by 120, with its history under data.
pid_t start_client(const char *path, const std::vector<std::string> &args, const std::string &data, int *master)
{
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    pid_t client = forkpty(master, nullptr, nullptr, &size);
    if (client == 0) {
        setenv("TERM", "xterm-256color", 1);
        setenv("LANG", "C.UTF-8", 1);
        setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        std::vector<char *> argv{const_cast<char *>(path)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(path, argv.data());
        _exit(127);
    }
    return client;
}

// Reads what the client shows until it has shown `what` (true) or the time is up.
bool read_until(int master, std::string &shown, const std::string &what, std::chrono::seconds at_most)
{
    auto deadline = Clock::now() + at_most;
    char buf[65536];
    while (shown.find(what) == std::string::npos && Clock::now() < deadline) {
        pollfd in{master, POLLIN, 0};
        if (poll(&in, 1, 100) <= 0)
            continue;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            return false;
        shown.append(buf, static_cast<std::size_t>(n));
    }
    return shown.find(what) != std::string::npos;
}

void drain(int master, std::atomic<bool> &reading)
{
    char buf[65536];
    while (reading) {
        pollfd in{master, POLLIN, 0};
        if (poll(&in, 1, 100) > 0 && read(master, buf, sizeof buf) <= 0)
            break;
    }
}

std::string day_name(int days_back)
{
    std::time_t t = std::time(nullptr) - days_back * 86400L;
    std::tm tm{};
    localtime_r(&t, &tm);
    char name[32];
    std::strftime(name, sizeof name, "%Y-%m-%d.txt", &tm);
    return name;
}

// Every line of the history files under data, oldest file first.
std::string history_text(const std::string &data)
{
    std::string folder = data + "/chat_client/history";
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &n : names) {
        std::ifstream in(folder + "/" + n, std::ios::binary);
        all.append(std::istreambuf_iterator<char>(in), {});
    }
    return all;
}

double seconds_of(const std::string &command)
{
    auto start = Clock::now();
    if (std::system(command.c_str()) < 0)
        return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The history's cases, with a stand-in for the relay that the client connects to.
int history_cases(const char *client_path, long burst)
{
    int stand_in = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(8888);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(stand_in, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 || listen(stand_in, 4) != 0) {
        std::fprintf(stderr, "screen_bench: cannot listen on 127.0.0.1:8888\n");
        return 1;
    }

    // A burst, as fast as the client takes it; then /quit, and the files read back.
    {
        std::string data = data_folder();
        int master = -1;
        pid_t client = start_client(client_path, {"--name", "bench", "127.0.0.1"}, data, &master);
        int peer = accept4(stand_in, nullptr, nullptr, SOCK_CLOEXEC);
        std::string shown;
        read_until(master, shown, "connected to", std::chrono::seconds(10));
        std::atomic<bool> reading{true};
        std::thread reader(drain, master, std::ref(reading));
        auto start = Clock::now();
        std::string chunk;
        char line[96];
        for (long i = 0; i < burst; ++i) {
            std::snprintf(line, sizeof line, "peer: burst %07ld the quick brown fox jumps over the lazy dog\n", i);
            chunk += line;
            if (chunk.size() >= 60000 || i + 1 == burst) {
                send_all(peer, chunk);
                chunk.clear();
            }
        }
        double sent_for = std::chrono::duration<double>(Clock::now() - start).count();
        double took = wait_idle(client, start, std::chrono::seconds(120));
        ssize_t ignored = write(master, "/quit\r", 6);
        (void)ignored;
        int status = 0;
        waitpid(client, &status, 0);
        reading = false;
        reader.join();
        close(master);
        close(peer);
        std::string kept = history_text(data);
        long whole = 0, in_order = 0, next = 0;
        for (std::size_t from = 0; from < kept.size();) {
            std::size_t end = kept.find('\n', from);
            if (end == std::string::npos)
                break;
            std::size_t b = kept.find("peer: burst ", from);
            if (b != std::string::npos && b < end) {
                std::snprintf(line, sizeof line, "peer: burst %07ld the quick brown fox jumps over the lazy dog", next);
                if (kept.compare(b, end - b, line) == 0) {
                    ++whole;
                    ++in_order;
                    ++next;
                } else {
                    long n = std::atol(kept.c_str() + b + 12);
                    whole += kept.compare(b + 19, end - b - 19, " the quick brown fox jumps over the lazy dog") == 0;
                    next = n + 1;
                }
            }
            from = end + 1;
        }
        std::printf("burst             %ld lines sent in %.1f s, the client done %.1f s after it began\n", burst, sent_for, took);
        std::printf("burst kept        %ld whole, %ld in order after the one before (of %ld)\n", whole, in_order, burst);
        std::system(("rm -rf " + data).c_str());
    }

    // A year of history: 1,000,000 lines over 365 days, one in 10,000 saying "Needle".
    std::string year = data_folder();
    std::string folder = year + "/chat_client/history";
    std::system(("mkdir -p " + folder).c_str());
    const long lines = 1000000, per_day = lines / 365 + 1;
    long written = 0;
    unsigned long long bytes = 0;
    for (int d = 364; d >= 0; --d) {
        std::string text;
        for (long i = 0; i < per_day && written < lines; ++i, ++written) {
            char l[128];
            std::snprintf(l, sizeof l, "%02ld:%02ld:%02ld name%03ld: the quick brown fox jumps over the lazy dog %s%07ld\n",
                          i * 86400 / per_day / 3600, i * 86400 / per_day / 60 % 60, i * 86400 / per_day % 60, written % 500,
                          written % 10000 == 7 ? "Needle " : "", written);
            text += l;
        }
        bytes += text.size();
        std::ofstream(folder + "/" + day_name(d), std::ios::binary) << text;
    }
    std::printf("a year            %ld lines, %.1f MB, in 365 files\n", written, bytes / 1e6);
    std::string env = "XDG_DATA_HOME=" + year + " ";
    // Read once before timing, so that both read from the page cache.
    seconds_of("cat " + folder + "/* > /dev/null");
    double best_grep = 1e9, best_client = 1e9, best_all = 1e9;
    for (int i = 0; i < 3; ++i) {
        best_grep = std::min(best_grep, seconds_of("LC_ALL=C.UTF-8 grep -rFi needle " + folder + " > /dev/null"));
        best_client = std::min(best_client, seconds_of(env + client_path + " --history needle > /dev/null"));
        best_all = std::min(best_all, seconds_of(env + client_path + " --history > /dev/null"));
    }
    std::string found = "";
    {
        FILE *p = popen((env + client_path + " --history NEEDLE | wc -l").c_str(), "r");
        char buf[64] = "";
        if (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr)
            found = buf;
        if (p != nullptr)
            pclose(p);
    }
    std::printf("search            chat_client --history needle %.2f s (%ld lines found), grep -rFi %.2f s: %.2fx\n",
                best_client, std::atol(found.c_str()), best_grep, best_client / best_grep);
    std::printf("print all         chat_client --history %.2f s\n", best_all);

    // The cases that undo a search that skips: 20 MB of one letter (or of two in turn), and a
    // pattern of 1,000 bytes that is just that but for a byte or two near its end; found nowhere.
    {
        std::string worst = data_folder();
        std::string worst_folder = worst + "/chat_client/history";
        std::system(("mkdir -p " + worst_folder).c_str());
        std::string worst_env = "XDG_DATA_HOME=" + worst + " ";
        std::string text;
        const std::pair<std::string, std::string> cases[] = {{"a", std::string(998, 'a') + "ba"}, {"ab", ""}};
        for (const auto &c : cases) {
            std::string pattern = c.second;
            if (pattern.empty()) {
                for (int i = 0; i < 499; ++i)
                    pattern += "ab";
                pattern += "bb";
            }
            std::string row = "12:00:00 ";
            while (row.size() < 4009)
                row += c.first;
            row += "\n";
            text.clear();
            while (text.size() < 20000000)
                text += row;
            std::ofstream(worst_folder + "/" + day_name(0), std::ios::binary) << text;
            seconds_of("cat " + worst_folder + "/* > /dev/null");
            double grep_worst = 1e9, client_worst = 1e9;
            for (int i = 0; i < 3; ++i) {
                grep_worst = std::min(grep_worst, seconds_of("LC_ALL=C.UTF-8 grep -rFi " + pattern + " " + worst_folder + " > /dev/null"));
                client_worst = std::min(client_worst, seconds_of("timeout 120 env " + worst_env + client_path + " --history " + pattern + " > /dev/null"));
            }
            std::printf("search, worst     a 1,000-byte pattern over %.0f MB of \"%s\": chat_client --history %.2f s, grep -rFi %.2f s: %.2fx\n",
                        text.size() / 1e6, c.first.c_str(), client_worst, grep_worst, client_worst / grep_worst);
        }
        // Memory: a search through one day of 200 MB holds a block or two of it, not the day.
        std::ofstream big(worst_folder + "/" + day_name(1), std::ios::binary);
        for (int i = 0; i < 10; ++i)
            big << text;
        big.close();
        FILE *p = popen(("/usr/bin/time -f %M env " + worst_env + client_path + " --history zzz 2>&1 >/dev/null").c_str(), "r");
        char buf[64] = "";
        if (p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr)
            std::printf("search, memory    through %.0f MB in two days: %ld KiB resident at most\n", text.size() * 11 / 1e6,
                        std::atol(buf));
        if (p != nullptr)
            pclose(p);
        std::system(("rm -rf " + worst).c_str());
    }

    // The start: until the client says it is connected, over none and over the year (best of 5: the
    // screen draws its first frame up to 0.2 s after the first line).
    auto start_time = [&](const std::string &data) {
        double best = 1e9;
        for (int i = 0; i < 5; ++i) {
            int master = -1;
            auto start = Clock::now();
            pid_t client = start_client(client_path, {"--name", "bench", "127.0.0.1"}, data, &master);
            int peer = accept4(stand_in, nullptr, nullptr, SOCK_CLOEXEC);
            std::string shown;
            bool ok = read_until(master, shown, "connected to", std::chrono::seconds(20));
            double t = std::chrono::duration<double>(Clock::now() - start).count();
            if (ok)
                best = std::min(best, t);
            kill(client, SIGKILL);
            waitpid(client, nullptr, 0);
            close(master);
            close(peer);
        }
        return best;
    };
    std::string none = data_folder();
    double over_none = start_time(none), over_year = start_time(year);
    std::printf("start             %.3f s over no history, %.3f s over the year: %.3f s more\n", over_none, over_year,
                over_year - over_none);
    std::system(("rm -rf " + none + " " + year).c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: screen_bench CHAT_SERVER CHAT_CLIENT [SECONDS] [LINES_PER_SECOND] [no-history]\n"
                             "       screen_bench CHAT_SERVER CHAT_CLIENT names [COUNT]\n"
                             "       screen_bench CHAT_SERVER CHAT_CLIENT endless [MIB]\n"
                             "       screen_bench CHAT_SERVER CHAT_CLIENT history [COUNT]\n");
        return 2;
    }
    const std::string flood = argc > 3 && !std::isdigit(static_cast<unsigned char>(argv[3][0])) ? argv[3] : "";
    if (!flood.empty() && flood != "names" && flood != "endless" && flood != "history") {
        std::fprintf(stderr, "screen_bench: no flood called %s (names, endless, history)\n", argv[3]);
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
    if (flood == "history")
        return history_cases(argv[2], argc > 4 ? std::atol(argv[4]) : 100000);
    const bool no_history = argc > 5 && std::strcmp(argv[5], "no-history") == 0;
    const std::string data = data_folder();
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

    int master = -1;
    std::vector<std::string> args{"--name", "bench", "127.0.0.1"};
    if (no_history)
        args.push_back("--no-history");
    pid_t client = start_client(argv[2], args, data, &master);
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
        std::system(("rm -rf " + data).c_str());
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
    std::printf("history           %s, %.1f MB kept\n", no_history ? "off (--no-history)" : "kept", history_text(data).size() / 1e6);
    std::system(("rm -rf " + data).c_str());
    return 0;
}
