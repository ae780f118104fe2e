// harness.cpp - process, namespace and socket plumbing for the black-box tests.
#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// The programs under test keep their history under a folder of this run's own, never in the
// home of whoever runs the tests; it goes when the run ends.
static const bool data_home_is_ours = [] {
    static char dir[] = "/tmp/relay-data-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    setenv("XDG_DATA_HOME", dir, 1);
    std::atexit([] { std::system((std::string("rm -rf ") + dir).c_str()); });
    return true;
}();

#ifndef RELAY_SERVER
#error "RELAY_SERVER must name the program under test"
#endif
#ifndef RELAY_WINE
#define RELAY_WINE ""
#endif
#ifndef RELAY_WINEPREFIX
#define RELAY_WINEPREFIX ""
#endif

bool under_wine()
{
    return RELAY_WINE[0] != '\0';
}

bool sanitized()
{
#ifdef RELAY_SANITIZED
    return true;
#else
    return false;
#endif
}

// ---- a relay that died ----

namespace {
std::atomic<bool> relay_gone{false};
std::mutex relay_gone_mtx;
std::string relay_gone_how;  // guarded by relay_gone_mtx
std::thread::id test_thread;
}  // namespace

void test_thread_is_this_one()
{
    test_thread = std::this_thread::get_id();
    relay_gone = false;
}

bool relay_has_died()
{
    return relay_gone.load();
}

void check_relay()
{
    if (!relay_gone.load() || std::this_thread::get_id() != test_thread || std::uncaught_exceptions() > 0)
        return;
    std::lock_guard<std::mutex> lock(relay_gone_mtx);
    throw relay_died("the relay died while the test needed it: " + relay_gone_how);
}

static void relay_died_now(const std::string &how)
{
    {
        std::lock_guard<std::mutex> lock(relay_gone_mtx);
        relay_gone_how = how;
    }
    relay_gone = true;
}

// Waits on a condition in slices, so that a relay's death ends the wait (see check_relay).
template <class Predicate>
static bool wait_unless_relay_died(std::condition_variable &cv, std::unique_lock<std::mutex> &lock,
                                   Clock::duration timeout, Predicate done)
{
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (relay_has_died()) {
            lock.unlock();
            check_relay();
            lock.lock();
            return done();
        }
        auto now = Clock::now();
        if (now >= deadline)
            return false;
        cv.wait_for(lock, std::min<Clock::duration>(deadline - now, milliseconds(100)));
    }
    return true;
}

static void run_or_die(const std::string &command)
{
    int rc = std::system(command.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "harness: '%s' failed (%d)\n", command.c_str(), rc);
        std::abort();
    }
}

void enter_private_network()
{
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "harness: unshare: %s (the tests must run as root)\n", std::strerror(errno));
        std::abort();
    }
    run_or_die("ip link set lo up"
               " && ip link add rl0 type veth peer name rl1"
               " && ip addr add 198.18.0.1/24 dev rl0"
               " && ip link set rl0 up && ip link set rl1 up"
               " && ip route add default dev rl0");
}

PeerHost::PeerHost(int n) : n_(n)
{
    // A child holds the new namespace only until it is equipped and open here: `ip` finds it by pid.
    int ready[2], release[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0)
        std::abort();
    pid_t holder = fork();
    if (holder == 0) {
        ::close(release[1]);  // so that the parent's end, closed or dead, ends the wait below
        char byte = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        ssize_t ignored = write(ready[1], &byte, 1);
        ignored = read(release[0], &byte, 1);
        (void)ignored;
        _exit(0);
    }
    char byte = 0;
    if (holder < 0 || read(ready[0], &byte, 1) != 1 || byte != 1) {
        std::fprintf(stderr, "harness: no namespace for host %d\n", n);
        std::abort();
    }
    netns_ = open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    std::string link = "peer" + std::to_string(n), net = "198.18." + std::to_string(n) + ".";
    run_or_die("ip link add " + link + " type veth peer name eth0 netns " + std::to_string(holder) +
               " && ip addr add " + net + "1/24 brd + dev " + link + " && ip link set " + link + " up");
    ::close(release[1]);
    waitpid(holder, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0]})
        ::close(fd);
    InNamespace there(netns_);
    run_or_die("ip link set lo up && ip addr add " + net + "2/24 brd + dev eth0 && ip link set eth0 up");
}

PeerHost::~PeerHost()
{
    ::close(netns_);
}

std::string PeerHost::address() const
{
    return "198.18." + std::to_string(n_) + ".2";
}

std::string PeerHost::near_address() const
{
    return "198.18." + std::to_string(n_) + ".1";
}

void PeerHost::take_default_route() const
{
    run_or_die("ip route replace default dev peer" + std::to_string(n_));
}

InNamespace::InNamespace(int netns)
{
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0 || setns(netns, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "harness: setns: %s\n", std::strerror(errno));
        std::abort();
    }
}

InNamespace::~InNamespace()
{
    if (setns(home_, CLONE_NEWNET) != 0)
        std::abort();
    ::close(home_);
}

void ip_batch(const std::string &lines)
{
    FILE *ip = popen("ip -batch -", "w");
    if (ip == nullptr || std::fwrite(lines.data(), 1, lines.size(), ip) != lines.size() || pclose(ip) != 0) {
        std::fprintf(stderr, "harness: ip -batch failed\n");
        std::abort();
    }
}

std::string gbk(const std::string &utf8)
{
    return from_utf8("GBK", utf8);
}

std::string gb18030(const std::string &utf8)
{
    return from_utf8("GB18030", utf8);
}

std::string from_utf8(const char *encoding, const std::string &utf8)
{
    iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        std::abort();
    std::string out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t in_left = utf8.size();
    char *o = out.data();
    size_t out_left = out.size();
    if (iconv(cd, &in, &in_left, &o, &out_left) == static_cast<size_t>(-1))
        std::abort();
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return out;
}

std::string journal_stream_of(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        std::abort();
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string started_text() { return gbk("服务器已启动。"); }
std::string connected_text(int online) { return gbk("新客户端连接，当前在线：") + std::to_string(online); }
std::string timed_out_text() { return gbk("客户端超时断开"); }
std::string bind_failed_text(unsigned long code) { return gbk("绑定套接字失败。代码：") + std::to_string(code); }

// ---- the server process ----

Program::Program() : wine_(RELAY_WINE), wine_prefix_(RELAY_WINEPREFIX) {}

Program::~Program()
{
    stop();
}

void Program::start(const std::string &path, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, unsigned max_files)
{
    // A program started again is a new process: the last one's end is not its own.
    status_.reset();
    stopping_ = false;
    int in[2], out[2], err[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    std::string journal_stream;
    if (output_to_terminal_) {
        // What is typed is not echoed, so that the output is only what the program shows.
        termios mode{};
        cfmakeraw(&mode);
        mode.c_oflag |= OPOST | ONLCR;
        mode.c_lflag |= ICANON | ISIG;
        ASSERT_EQ(openpty(&out[0], &out[1], nullptr, input_on_terminal_ ? &mode : nullptr, nullptr), 0)
            << std::strerror(errno);
        fcntl(out[0], F_SETFD, FD_CLOEXEC);
        fcntl(out[1], F_SETFD, FD_CLOEXEC);
    } else if (output_to_journal_) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out), 0) << std::strerror(errno);
        journal_stream = journal_stream_of(out[1]);
    } else {
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    }
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    if (output_held_) {
        ASSERT_EQ(fcntl(out[0], F_SETPIPE_SZ, 4096), 4096) << std::strerror(errno);
        if (output_nonblocking_) {
            ASSERT_EQ(fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
        }
    }
    std::vector<std::string> argv;
    if (!wine_.empty())
        argv.push_back(wine_);
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());

    if (!wine_.empty()) {
        // Wine puts its server's socket under TMPDIR. A directory of this program's own gives it a
        // wineserver of its own, started here, inside this test's network namespace: the
        // wineserver is what owns the program's sockets.
        char dir[] = "/tmp/relay-wine-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        wine_tmp_ = dir;
    }
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
        dup2(input_on_terminal_ ? out[1] : in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (max_files != 0) {
            rlimit files{max_files, max_files};
            setrlimit(RLIMIT_NOFILE, &files);
        }
        if (!wine_.empty()) {
            setenv("WINEPREFIX", wine_prefix_.c_str(), 1);
            setenv("WINEDEBUG", "-all", 1);
            setenv("TMPDIR", wine_tmp_.c_str(), 1);
        }
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        if (!journal_stream.empty())
            setenv("JOURNAL_STREAM", journal_stream.c_str(), 1);
        std::vector<char *> cargv;
        for (std::string &a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_fd_ = in[1];
    if (input_on_terminal_) {
        ::close(in[1]);
        in_fd_ = fcntl(out[0], F_DUPFD_CLOEXEC, 0);
    }
    out_reader_ = std::thread(&Program::read_into, this, out[0], &output_);
    err_reader_ = std::thread(&Program::read_into, this, err[0], &errors_);
    if (end_expected_)
        watch(pid_);
}

void Program::must_keep_running(std::function<bool()> expected)
{
    end_expected_ = std::move(expected);
}

// Waits, without reaping it, for the process to end: if nobody stopped it and its end was not due,
// the relay has died.
void Program::watch(pid_t pid)
{
    if (watcher_.joinable())
        watcher_.join();  // the process it watched has ended
    stopping_ = false;
    watcher_ = std::thread([this, pid] {
        siginfo_t info{};
        int rc;
        do
            rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
        while (rc != 0 && errno == EINTR);
        if (stopping_ || end_expected_())
            return;
        std::string how = "it ended";
        if (rc == 0 && info.si_code == CLD_EXITED)
            how = "it exited with status " + std::to_string(info.si_status);
        else if (rc == 0)
            how = std::string("it was killed by signal ") + std::to_string(info.si_status) + " (" +
                  strsignal(info.si_status) + ")";
        relay_died_now(how);
    });
}

void Program::hold_output(bool nonblocking)
{
    std::lock_guard<std::mutex> lock(mu_);
    output_held_ = true;
    output_nonblocking_ = nonblocking;
}

void Program::resume_output()
{
    std::lock_guard<std::mutex> lock(mu_);
    output_held_ = false;
    cv_.notify_all();
}

void Program::drop_output()
{
    std::lock_guard<std::mutex> lock(mu_);
    output_dropped_ = true;
    output_held_ = false;
    cv_.notify_all();
}

void Program::output_to_terminal()
{
    output_to_terminal_ = true;
}

void Program::run_on_terminal()
{
    output_to_terminal_ = true;
    input_on_terminal_ = true;
}

void Program::output_to_journal()
{
    output_to_journal_ = true;
}

void Program::run_under_wine(const std::string &wine, const std::string &prefix)
{
    wine_ = wine;
    wine_prefix_ = prefix;
}

void Program::read_into(int fd, std::string *sink)
{
    if (sink == &output_) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return !output_held_; });
        if (output_dropped_) {
            ::close(fd);
            return;
        }
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(mu_);
        sink->append(buf, static_cast<size_t>(n));
        cv_.notify_all();
    }
    ::close(fd);
}

void Program::write_input(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(in_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << "writing to the program's standard input: " << std::strerror(errno);
        done += static_cast<size_t>(n);
    }
}

size_t Program::write_input_until_closed(const std::string &bytes)
{
    std::signal(SIGPIPE, SIG_IGN);  // a program that has ended makes the write fail instead
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(in_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

void Program::close_input()
{
    if (in_fd_ >= 0)
        ::close(in_fd_);
    in_fd_ = -1;
}

std::string Program::output()
{
    std::lock_guard<std::mutex> lock(mu_);
    return output_;
}

std::string Program::errors()
{
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
}

bool Program::wait_for_output(const std::string &text, Clock::duration timeout)
{
    std::unique_lock<std::mutex> lock(mu_);
    return wait_unless_relay_died(cv_, lock, timeout, [&] { return output_.find(text) != std::string::npos; });
}

bool Program::wait_for_errors(const std::string &text, Clock::duration timeout)
{
    std::unique_lock<std::mutex> lock(mu_);
    return wait_unless_relay_died(cv_, lock, timeout, [&] { return errors_.find(text) != std::string::npos; });
}

void ServerProcess::start(const std::vector<std::string> &args, const std::vector<std::string> &env, unsigned max_files)
{
    Program::start(RELAY_SERVER, args, env, max_files);
}

void ServerProcess::start_at(const std::string &path, const std::vector<std::string> &args,
                             const std::vector<std::string> &env)
{
    Program::start(path, args, env);
}

static std::vector<EventLine> split_lines(const std::string &output)
{
    std::vector<EventLine> lines;
    size_t pos = 0;
    for (size_t end; (end = output.find('\n', pos)) != std::string::npos; pos = end + 1) {
        EventLine line;
        line.raw = output.substr(pos, end + 1 - pos);
        std::string body = output.substr(pos, end - pos);
        if (!body.empty() && body.back() == '\r')
            body.pop_back();
        if (body.size() >= 11 && std::sscanf(body.c_str(), "[%2d:%2d:%2d] ", &line.hour, &line.minute, &line.second) == 3 &&
            body[0] == '[' && body[3] == ':' && body[6] == ':' && body[9] == ']' && body[10] == ' ')
            line.text = body.substr(11);
        else
            line.text = body;
        lines.push_back(line);
    }
    return lines;
}

std::vector<EventLine> ServerProcess::wait_for_lines(size_t n, Clock::duration timeout)
{
    std::unique_lock<std::mutex> lock(mu_);
    wait_unless_relay_died(cv_, lock, timeout, [&] { return split_lines(output_).size() >= n; });
    return split_lines(output_);
}

std::vector<EventLine> ServerProcess::lines()
{
    return split_lines(output());
}

std::string ServerProcess::log()
{
    return output() + errors();
}

std::optional<int> Program::wait_exit(Clock::duration timeout)
{
    if (status_)
        return status_;
    if (pid_ <= 0)
        return std::nullopt;
    auto deadline = Clock::now() + timeout;
    do {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (!stopping_)
            check_relay();  // never while stopping: a destructor stops
        if (relay_has_died() && !stopping_)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(20));
    } while (Clock::now() < deadline);
    return std::nullopt;
}

bool Program::running()
{
    return pid_ > 0 && !wait_exit(milliseconds(0));
}

void Program::stop()
{
    stopping_ = true;
    close_input();
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        wait_exit(seconds(10));
    }
    if (watcher_.joinable())
        watcher_.join();
    if (!wine_tmp_.empty()) {
        // The test's wineserver ends what else the program started (a console, a child), which would
        // hold its output open; it would otherwise also linger for a while after its last client.
        std::string cmd = "TMPDIR=" + wine_tmp_ + " WINEPREFIX=" + wine_prefix_ + " wineserver -k 2>/dev/null";
        std::system(cmd.c_str());
    }
    resume_output();  // a held reader must see the end of the output to be joined
    if (out_reader_.joinable())
        out_reader_.join();
    if (err_reader_.joinable())
        err_reader_.join();
    if (!wine_tmp_.empty()) {
        std::system(("rm -rf " + wine_tmp_).c_str());
        wine_tmp_.clear();
    }
    pid_ = -1;
}

static std::string proc_status_field(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return line.substr(field.size() + 1);
    return "";
}

long Program::rss_kib()
{
    return std::atol(proc_status_field(pid_, "VmRSS").c_str());
}

int Program::threads()
{
    return std::atoi(proc_status_field(pid_, "Threads").c_str());
}

int Program::open_files()
{
    int count = 0;
    DIR *dir = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

double Program::cpu_seconds()
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i + 4 <= n; i += 4) {
        std::uint32_t v = gen();
        std::memcpy(&s[i], &v, 4);
    }
    return s;
}

::testing::AssertionResult dropped_on_time(std::optional<Clock::time_point> at, Clock::time_point since)
{
    if (!at)
        return ::testing::AssertionFailure() << "the silent client was never dropped";
    double after = std::chrono::duration<double>(*at - since).count();
    if (after < 10.0)
        return ::testing::AssertionFailure() << "dropped after " << after << " s, before 10 s of silence";
    if (after > 14.0)
        return ::testing::AssertionFailure() << "dropped after " << after << " s, too long after 10 s of silence";
    return ::testing::AssertionSuccess();
}

// ---- clients ----

// False on time-out, or at once once the relay has died (see check_relay).
static bool wait_readable(int fd, Clock::time_point deadline)
{
    for (;;) {
        check_relay();
        if (relay_has_died())
            return false;
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left < 0)
            left = 0;
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (rc > 0)
            return true;
        if ((rc == 0 && left <= 100) || (rc < 0 && errno != EINTR))
            return false;
    }
}

Client::Client(int rcvbuf)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8888);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto deadline = Clock::now() + seconds(10);
    do {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            return;
        ::close(fd_);
        fd_ = -1;
        check_relay();
        std::this_thread::sleep_for(milliseconds(50));
    } while (Clock::now() < deadline);
    ADD_FAILURE() << "could not connect to 127.0.0.1:8888";
}

Client::~Client()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void Client::send(const std::string &bytes)
{
    check_relay();
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << "send: " << std::strerror(errno);
        done += static_cast<size_t>(n);
    }
}

std::string recv_exact_fd(int fd, size_t n, Clock::duration timeout)
{
    std::string got;
    auto deadline = Clock::now() + timeout;
    char buf[65536];
    while (got.size() < n && wait_readable(fd, deadline)) {
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

std::string Client::recv_exact(size_t n, Clock::duration timeout)
{
    return recv_exact_fd(fd_, n, timeout);
}

std::string Client::recv_for(Clock::duration timeout)
{
    std::string got;
    auto deadline = Clock::now() + timeout;
    char buf[65536];
    while (wait_readable(fd_, deadline)) {
        ssize_t r = recv(fd_, buf, sizeof buf, 0);
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

size_t Client::recv_matching(const std::string &expected, Clock::duration timeout, bool keep_alive,
                             std::atomic<size_t> *progress)
{
    static const std::string PONG = "[PONG]";
    size_t got = 0;
    size_t pongs_due = 0;
    std::string held;  // received, not yet matched
    auto deadline = Clock::now() + timeout;
    auto next_ping = Clock::now() + seconds(2);
    char buf[65536];
    for (;;) {
        while (!held.empty()) {
            // An answer to one of our heartbeats can stand between any two relayed chunks.
            if (pongs_due > 0 && held[0] == '[') {
                size_t n = std::min<size_t>(held.size(), 6);
                if (held.compare(0, n, PONG, 0, n) == 0) {
                    if (n < 6)
                        break;  // too little to tell yet
                    if (got == expected.size() || expected.compare(got, 6, PONG) != 0) {
                        held.erase(0, 6);
                        --pongs_due;
                        continue;
                    }
                }
            }
            if (got == expected.size() || held[0] != expected[got])
                return got;
            size_t m = 1;  // a run of matching bytes, up to any '[' that may open an answer
            while (m < held.size() && got + m < expected.size() && held[m] == expected[got + m] &&
                   !(pongs_due > 0 && held[m] == '['))
                ++m;
            got += m;
            held.erase(0, m);
            if (progress)
                progress->store(got);
        }
        if (got == expected.size() && pongs_due == 0)
            return got;
        if (keep_alive && got < expected.size() && Clock::now() >= next_ping) {
            send("[PING]");
            ++pongs_due;
            next_ping = Clock::now() + seconds(2);
        }
        if (wait_readable(fd_, keep_alive ? std::min(deadline, next_ping) : deadline)) {
            ssize_t r = recv(fd_, buf, sizeof buf, 0);
            if (r <= 0)
                return got;
            held.append(buf, static_cast<size_t>(r));
        } else if (Clock::now() >= deadline || relay_has_died()) {
            return got;
        }
    }
}

bool Client::closed_by_server(Clock::duration timeout)
{
    auto deadline = Clock::now() + timeout;
    char buf[4096];
    while (wait_readable(fd_, deadline)) {
        ssize_t r = recv(fd_, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET))
            return true;
        if (r < 0)
            return false;
    }
    return false;
}

void Client::reset()
{
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

void Client::close()
{
    ::close(fd_);
    fd_ = -1;
}

std::vector<int> connect_many(size_t n, Clock::duration timeout)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8888);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> fds;
    for (size_t i = 0; i < n; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        fds.push_back(fd);
    }
    // Wait until every handshake has completed.
    auto deadline = Clock::now() + timeout;
    for (int fd : fds) {
        pollfd p{fd, POLLOUT, 0};
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return fds;
}

// ---- UDP ----

static int beacon_socket()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8889);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
    return fd;
}

BeaconListener::BeaconListener() : fd_(beacon_socket()) {}

BeaconListener::BeaconListener(const PeerHost &host)
{
    InNamespace there(host.netns());
    fd_ = beacon_socket();
}

BeaconListener::~BeaconListener()
{
    close(fd_);
}

std::optional<Datagram> BeaconListener::receive(Clock::duration timeout)
{
    if (!wait_readable(fd_, Clock::now() + timeout))
        return std::nullopt;
    char buf[2048];
    char control[256];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, 0);
    if (n < 0)
        return std::nullopt;
    Datagram d;
    d.arrived = Clock::now();
    d.payload.assign(buf, static_cast<size_t>(n));
    char text[INET_ADDRSTRLEN];
    d.source = inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    d.source_port = ntohs(from.sin_port);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.destination = inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
        }
    }
    return d;
}

PortHolder::PortHolder()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Connections of a relay that has just ended (TIME_WAIT) must not keep the port from being held;
    // once listening, it keeps every other socket from binding the port all the same.
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8888);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
    EXPECT_EQ(listen(fd_, 5), 0);
}

PortHolder::~PortHolder()
{
    close(fd_);
}

int PortHolder::accept_one(Clock::duration timeout)
{
    if (!wait_readable(fd_, Clock::now() + timeout))
        return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}
