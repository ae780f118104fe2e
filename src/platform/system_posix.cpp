// system_posix.cpp - the last error, threads, the clock and memory on POSIX (Linux); a terminal there
// needs no holding open.
#ifndef _WIN32

#include "platform/system.h"

#include <cerrno>
#include <ctime>
#include <malloc.h>
#include <new>
#include <pthread.h>

// The dynamic loader looks in the system's folders, and in a program's own only if it was linked to
// (none here is).
void load_libraries_from_system_only()
{
}

unsigned long last_error()
{
    return static_cast<unsigned long>(errno);
}

void release_free_memory()
{
#ifdef __GLIBC__
    malloc_trim(0);  // also the free pages inside the heap, not only those at its end
#endif
}

struct thread_start {
    void (*fn)(void *);
    void *arg;
};

static void *run_thread(void *p)
{
    thread_start start = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    start.fn(start.arg);
    return nullptr;
}

bool start_thread(void (*fn)(void *), void *arg)
{
    auto *start = new (std::nothrow) thread_start{fn, arg};
    if (start == nullptr)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);  // nobody joins it
    pthread_t thread;
    int err = pthread_create(&thread, &attr, run_thread, start);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete start;
        return false;
    }
    return true;
}

clock_time local_clock()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return clock_time{tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

// ---- windows that stay open ----

// A terminal is not the program's own: it stays open, showing what was written, after the program
// ends.
bool console_is_ours_alone()
{
    return false;
}

void hold_console_open(const char *)
{
}

#endif  // !_WIN32
