// load_client.cpp - see load_client.h.
#include "load_client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace load {

std::uint64_t mono_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

double mono_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

RecordHeader read_header(const char *p)
{
    RecordHeader h{};
    std::memcpy(&h.magic, p, 4);
    std::memcpy(&h.sender, p + 4, 2);
    std::memcpy(&h.size, p + 6, 2);
    std::memcpy(&h.seq, p + 8, 8);
    std::memcpy(&h.sent_ns, p + 16, 8);
    return h;
}

std::uint8_t payload_byte(std::uint16_t sender, std::uint64_t seq, std::size_t i)
{
    return static_cast<std::uint8_t>(seq * 31 + sender * 7 + i);
}

std::uint32_t checksum(const char *p, std::size_t n)
{
    std::uint32_t h = 2166136261u;  // FNV-1a
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<std::uint8_t>(p[i])) * 16777619u;
    return h;
}

void make_record(std::string &out, std::uint32_t magic, std::uint16_t sender, std::uint64_t seq, std::size_t size,
                 bool with_checksum)
{
    std::size_t at = out.size();
    out.resize(at + size);
    char *p = &out[at];
    std::uint64_t ts = mono_ns();
    auto sz = static_cast<std::uint16_t>(size);
    std::memcpy(p, &magic, 4);
    std::memcpy(p + 4, &sender, 2);
    std::memcpy(p + 6, &sz, 2);
    std::memcpy(p + 8, &seq, 8);
    std::memcpy(p + 16, &ts, 8);
    std::size_t end = with_checksum ? size - 4 : size;
    for (std::size_t i = RECORD_HEADER; i < end; ++i)
        p[i] = static_cast<char>(payload_byte(sender, seq, i));
    if (with_checksum) {
        std::uint32_t sum = checksum(p, end);
        std::memcpy(p + end, &sum, 4);
    }
}

bool payload_intact(const char *p, std::size_t size)
{
    RecordHeader h = read_header(p);
    for (std::size_t i = RECORD_HEADER; i < size; ++i)
        if (static_cast<std::uint8_t>(p[i]) != payload_byte(h.sender, h.seq, i))
            return false;
    return true;
}

bool checksum_intact(const char *p, std::size_t size)
{
    std::uint32_t sum;
    std::memcpy(&sum, p + size - 4, 4);
    return sum == checksum(p, size - 4);
}

std::size_t find_magic(const std::string &in, std::size_t from, std::uint32_t magic)
{
    return in.find(std::string(reinterpret_cast<const char *>(&magic), 4), from);
}

Histogram::Histogram(std::uint64_t unit_us, bool upper_edges)
    : unit_(unit_us), upper_(upper_edges), fine_(10000), coarse_(10000)
{
}

void Histogram::add(std::uint64_t us)
{
    ++count;
    max_us = std::max(max_us, us);
    if (us < 10000 * unit_)
        ++fine_[us / unit_];
    else
        ++coarse_[std::min<std::uint64_t>(us / (1000 * unit_), 9999)];
}

double Histogram::percentile(double p) const
{
    if (count == 0)
        return 0;
    auto want = static_cast<std::uint64_t>(p / 100.0 * static_cast<double>(count - 1)) + 1;
    std::uint64_t seen = 0, edge = upper_ ? 1 : 0;
    for (std::size_t i = 0; i < fine_.size(); ++i)
        if ((seen += fine_[i]) >= want)
            return static_cast<double>((i + edge) * unit_);
    for (std::size_t i = 10; i < coarse_.size(); ++i)  // the first ten are the fine buckets' range
        if ((seen += coarse_[i]) >= want)
            return static_cast<double>((i + edge) * 1000 * unit_);
    return static_cast<double>(max_us);
}

void Histogram::clear()
{
    count = max_us = 0;
    std::fill(fine_.begin(), fine_.end(), 0);
    std::fill(coarse_.begin(), coarse_.end(), 0);
}

Dialled connect_relay(bool nonblocking_connect, int rcvbuf)
{
    Dialled d;
    d.fd = socket(AF_INET, SOCK_STREAM | (nonblocking_connect ? SOCK_NONBLOCK : 0), 0);
    if (d.fd < 0) {
        d.failed = "socket";
        d.error = errno;
        return d;
    }
    if (rcvbuf > 0)
        setsockopt(d.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    int one = 1;
    setsockopt(d.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8888);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = connect(d.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (rc != 0 && errno != EINPROGRESS) {
        d.failed = "connect";
        d.error = errno;
        close(d.fd);
        d.fd = -1;
        return d;
    }
    if (!nonblocking_connect)
        fcntl(d.fd, F_SETFL, fcntl(d.fd, F_GETFL) | O_NONBLOCK);
    d.connected = rc == 0;
    return d;
}

void send_pending(int fd, std::string &out)
{
    while (!out.empty()) {
        ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        out.erase(0, static_cast<std::size_t>(n));
    }
}

void raise_descriptor_limit()
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

namespace {

// /proc/PID/stat from the state on (after the command's name, which may hold anything); "" if none.
std::string stat_fields(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = stat.rfind(')');
    return at == std::string::npos || at + 2 >= stat.size() ? std::string() : stat.substr(at + 2);
}

}  // namespace

double process_cpu_s(int pid)
{
    if (pid == 0)
        return 0;
    std::string stat = stat_fields(pid);
    unsigned long long utime = 0, stime = 0;
    std::sscanf(stat.c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long process_status(int pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::strlen(key));
    return 0;
}

long process_fds(int pid)
{
    if (pid == 0)
        return 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    long n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

bool process_alive(int pid)
{
    std::string stat = stat_fields(pid);
    return !stat.empty() && stat[0] != 'Z' && stat[0] != 'X';
}

}  // namespace load
