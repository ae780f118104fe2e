// load_client.h - what the load generator's modes (loadgen.cpp) and its soak (soak.cpp) share: the
// clock, the records they send and check, latency histograms, connections to the relay, and the
// probes of the relay's process in /proc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace load {

// The monotonic clock (CLOCK_MONOTONIC), which also stamps the records.
std::uint64_t mono_ns();
double mono_s();

// A record: magic 4 bytes, sender 2, size 2 (the whole record's), sequence number 8, send time 8
// (mono_ns), then a payload derived from sender and sequence, so that a receiver can tell a lost,
// repeated, reordered or corrupted record. With a checksum, the last 4 bytes are FNV-1a of the rest.
// Fields are in the machine's byte order: sender and receiver are the same program.
const std::size_t RECORD_HEADER = 24;

struct RecordHeader {
    std::uint32_t magic;
    std::uint16_t sender, size;
    std::uint64_t seq, sent_ns;
};

RecordHeader read_header(const char *p);  // needs RECORD_HEADER bytes at p
std::uint8_t payload_byte(std::uint16_t sender, std::uint64_t seq, std::size_t i);
std::uint32_t checksum(const char *p, std::size_t n);
// Appends a record of `size` bytes to `out`, stamped now.
void make_record(std::string &out, std::uint32_t magic, std::uint16_t sender, std::uint64_t seq, std::size_t size,
                 bool with_checksum);
// Whether a whole record's payload (without a checksum) is the one its header calls for.
bool payload_intact(const char *p, std::size_t size);
// Whether a whole record's last 4 bytes are the checksum of the rest.
bool checksum_intact(const char *p, std::size_t size);
// Where the next record may begin in `in` from `from` on: the next magic, or npos.
std::size_t find_magic(const std::string &in, std::size_t from, std::uint32_t magic);

// Latencies in microseconds: 10,000 fine buckets `unit_us` wide, then 10,000 coarse ones 1,000 times
// as wide. A percentile is given as its bucket's lower edge, or with `upper_edges` its upper edge.
class Histogram {
public:
    Histogram(std::uint64_t unit_us, bool upper_edges);
    void add(std::uint64_t us);
    double percentile(double p) const;
    void clear();
    std::uint64_t count = 0, max_us = 0;

private:
    std::uint64_t unit_;
    bool upper_;
    std::vector<std::uint64_t> fine_, coarse_;
};

// A TCP connection to the relay on 127.0.0.1:8888 with TCP_NODELAY, and a receive buffer of `rcvbuf`
// bytes when that is above 0; non-blocking once made, and with `nonblocking_connect` while it is
// made too. On failure fd is -1, `failed` names the call ("socket" or "connect") and `error` its
// errno; a socket whose connect failed is closed.
struct Dialled {
    int fd = -1;
    bool connected = false;  // at once; else the connect is under way
    const char *failed = nullptr;
    int error = 0;
};
Dialled connect_relay(bool nonblocking_connect, int rcvbuf);

// Sends from `out` until it is empty or the socket takes no more; what was sent leaves `out`.
void send_pending(int fd, std::string &out);

// Raises this process's descriptor limit to its hard limit.
void raise_descriptor_limit();

// The relay's process as /proc shows it. Pid 0, or a process that is not there: 0 (descriptors:
// -1 for a process that is not there).
double process_cpu_s(int pid);                   // user and system time, in seconds
long process_status(int pid, const char *key);   // a number in /proc/PID/status, e.g. "VmRSS:"
long process_fds(int pid);                       // open descriptors
bool process_alive(int pid);                     // there, and not a zombie

}  // namespace load
