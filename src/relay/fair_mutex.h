// fair_mutex.h - the registry's lock, which hands itself over to a thread that has waited too long.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A lock that nobody waits for long. A std::mutex lets a running thread take it again and again while
// others sleep waiting for it: on a relay short of CPU, some handlers then waited for it for a minute
// while others were served, their clients' words unread. Here, as with a plain mutex, whoever comes
// when it is free takes it (the cheap way, while waits are short); but once the longest waiter has
// waited STARVING_TIME, it is handed over in the order the waiters came, so that what a busy room
// costs is spread over everyone as latency. Not sooner: a handover waits for the next thread to be
// scheduled while the lock sits idle, and at 50 ms a crowd's arrival already set off enough of
// them to double the room's p99 (measured: docs/benchmarks.md, Overload).
#define STARVING_TIME std::chrono::milliseconds(500)

class fair_mutex {
public:
    void lock()
    {
        std::unique_lock<std::mutex> inner(m_);
        if (!held_) {
            held_ = true;
            return;
        }
        waiter me;
        me.since = std::chrono::steady_clock::now();
        (tail_ != nullptr ? tail_->next : head_) = &me;
        tail_ = &me;
        // Woken either with the lock handed over, or, at the head of the queue, to try for it.
        me.turn.wait(inner, [this, &me] { return me.granted || (!held_ && head_ == &me); });
        if (!me.granted) {
            held_ = true;
            pop_head();
        }
    }

    bool try_lock()
    {
        std::lock_guard<std::mutex> inner(m_);
        if (held_)
            return false;
        held_ = true;
        return true;
    }

    void unlock()
    {
        std::lock_guard<std::mutex> inner(m_);
        waiter *next = head_;
        if (next == nullptr) {
            held_ = false;
            return;
        }
        if (std::chrono::steady_clock::now() - next->since >= STARVING_TIME) {
            pop_head();  // handed over: it stays held, so nobody can take it in between
            next->granted = true;
        } else {
            held_ = false;
        }
        next->turn.notify_one();
    }

private:
    struct waiter {
        std::chrono::steady_clock::time_point since;
        std::condition_variable turn;
        bool granted = false;
        waiter *next = nullptr;
    };

    void pop_head()
    {
        head_ = head_->next;
        if (head_ == nullptr)
            tail_ = nullptr;
    }

    std::mutex m_;  // guards the fields below; held only for a moment
    bool held_ = false;
    waiter *head_ = nullptr;  // the waiters, longest first
    waiter *tail_ = nullptr;
};
