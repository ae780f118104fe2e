// event_log.h - event lines on their way to standard output: queued by the threads that log them,
// written by one thread of their own, so that a log nobody reads never holds up the relay.
#pragma once

#include "platform/system.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

// One event line as it happened: which line, the value it reports (the number online or an error
// code) and the time of day it happened at. 16 bytes, so that a long queue of them costs little.
struct log_record {
    const char *format;
    std::uint32_t value;
    std::uint8_t hour, minute, second;
};

// How many event lines may wait for standard output. A console that takes nothing (a click into a
// Windows console selects text and holds every write until a key is pressed; Ctrl-S on a terminal;
// a pipe whose reader stalls) must never hold up the relay, so lines wait here instead, up to this
// many (16 bytes each, some 17 MB in all); lines logged past it are dropped, and the relay serves on.
#define LOG_QUEUE_LIMIT 1000000

// Event lines waiting for standard output are kept in blocks of this many records (64 KiB), so that
// a queue of them costs 16 bytes a line with every C++ library (a std::deque of small records
// allocates each one apart under some) and goes back to the allocator a block at a time.
#define LOG_BLOCK_RECORDS 4096

struct log_block {
    log_block *next;
    std::size_t head, tail;  // records[head..tail) wait
    log_record records[LOG_BLOCK_RECORDS];
};

// Event lines waiting for the log writer, in the order of their events: a chain of blocks, written
// from the first and filled at the last.
struct log_fifo {
    log_block *first = nullptr;
    log_block *last = nullptr;
    std::size_t count = 0;

    // Queues r; false if out of memory (the line is then dropped, as past LOG_QUEUE_LIMIT).
    bool push(const log_record &r)
    {
        if (last == nullptr || last->tail == LOG_BLOCK_RECORDS) {
            auto *b = static_cast<log_block *>(std::malloc(sizeof(log_block)));
            if (b == nullptr)
                return false;
            b->next = nullptr;
            b->head = b->tail = 0;
            (last != nullptr ? last->next : first) = b;
            last = b;
        }
        last->records[last->tail++] = r;
        ++count;
        return true;
    }

    // Takes the oldest line; false if none waits. The last block stays for the next lines.
    bool pop(log_record &r)
    {
        if (count == 0)
            return false;
        r = first->records[first->head++];
        --count;
        if (first->head == first->tail) {
            if (first == last) {
                first->head = first->tail = 0;
            } else {
                log_block *done = first;
                first = first->next;
                std::free(done);
            }
        }
        return true;
    }
};

// The log: lines are added with the time of their event and written, in that order, by a writer
// thread; if the platform refuses that thread a thread, by the threads that log them, once they hold
// no lock of the relay's (write_unattended). Its lock may be taken while the registry's is held,
// never the other way round, and nothing waits on output under either.
class event_log {
public:
    // `clock` reads the time of day for each line; `write` formats one line and writes it at once.
    event_log(clock_time (*clock)(), void (*write)(const log_record &)) : clock_(clock), write_(write) {}

    // Queues a line with the time and value of its event. Callers may hold the registry's lock.
    void add(const char *format, std::uint32_t value)
    {
        std::lock_guard<std::mutex> lock(mtx_);
        clock_time now = clock_();  // read under the lock, so that times never run backwards down the log
        log_record r{format, value, static_cast<std::uint8_t>(now.hour), static_cast<std::uint8_t>(now.minute),
                     static_cast<std::uint8_t>(now.second)};
        if (queue_.count < LOG_QUEUE_LIMIT && queue_.push(r))
            waiting_.notify_one();
    }

    // Starts the writer thread; without one, lines are written by write_unattended.
    void start_writer()
    {
        if (!start_thread(run_writer, this))
            return;
        std::lock_guard<std::mutex> lock(mtx_);
        writer_running_ = true;
    }

    // Writes the waiting lines on the calling thread if no writer runs (before it is started, or if
    // the platform refused it a thread). Never call it holding the registry's lock: it waits for
    // standard output.
    void write_unattended()
    {
        if (writer_running_)
            return;  // the usual case: no lock taken for nothing on every arrival and departure
        std::lock_guard<std::mutex> writing(output_mtx_);
        for (;;) {
            log_record r;
            {
                std::lock_guard<std::mutex> lock(mtx_);
                if (writer_running_ || !queue_.pop(r))
                    return;
            }
            write_(r);
        }
    }

private:
    // The log writer: the one thread that waits for standard output.
    static void run_writer(void *arg)
    {
        auto *log = static_cast<event_log *>(arg);
        for (;;) {
            log_record r;
            {
                std::unique_lock<std::mutex> lock(log->mtx_);
                log->waiting_.wait(lock, [log, &r] { return log->queue_.pop(r); });
            }
            log->write_(r);
        }
    }

    clock_time (*clock_)();
    void (*write_)(const log_record &);
    log_fifo queue_;                          // guarded by mtx_
    std::mutex mtx_;
    std::condition_variable waiting_;         // with mtx_: a line was queued
    std::atomic<bool> writer_running_{false};  // set under mtx_, once
    // Held while a line is written where no writer runs (start-up, or no thread for the writer),
    // so that lines written by different threads keep the order they were queued in.
    std::mutex output_mtx_;
};
