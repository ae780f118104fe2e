// system_win32.cpp - the last error, threads, the clock and memory on Windows, and a console window
// held open after a failure.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/system.h"

#include <cstdint>
#include <malloc.h>
#include <new>
#include <process.h>

void load_libraries_from_system_only()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

unsigned long last_error()
{
    return GetLastError();  // Winsock keeps its codes here too (WSAGetLastError reads the same value)
}

void release_free_memory()
{
    _heapmin();  // the C runtime's heap gives back what it holds free
}

// Threads are the system's own, not the C++ library's: with MinGW's thread library (winpthreads 10)
// behind std::thread, when detached threads are started and end by thousands (connections coming
// and going), a later thread can start with another's argument, or none, and crash (seen under
// Wine, 1 run in 4 of a 30,000-thread test; never with _beginthreadex in 10 such runs).
struct thread_start {
    void (*fn)(void *);
    void *arg;
};

static unsigned __stdcall run_thread(void *p)
{
    thread_start start = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    start.fn(start.arg);
    return 0;
}

bool start_thread(void (*fn)(void *), void *arg)
{
    auto *start = new (std::nothrow) thread_start{fn, arg};
    if (start == nullptr)
        return false;
    std::uintptr_t thread = _beginthreadex(nullptr, 0, run_thread, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

clock_time local_clock()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return clock_time{st.wHour, st.wMinute, st.wSecond, st.wYear, st.wMonth, st.wDay};
}

// ---- windows that stay open ----

bool console_is_ours_alone()
{
    // Without a console on standard input no key can be read, and nobody watches: a pipe, a file,
    // a service's child.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode))
        return false;
    // A console made without a window (CREATE_NO_WINDOW) has nobody to read it either.
    if (GetConsoleWindow() == nullptr)
        return false;
    // A console the process got from the cmd or PowerShell that started it lists that shell too,
    // and stays open after the process ends; one made for the process lists only the process.
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void hold_console_open(const char *prompt_or_null)
{
    if (!console_is_ours_alone())
        return;
    if (prompt_or_null != nullptr) {
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0, written = 0;
        if (err == nullptr || err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode))
            err = GetStdHandle(STD_OUTPUT_HANDLE);
        WriteConsoleA(err, prompt_or_null, static_cast<DWORD>(lstrlenA(prompt_or_null)), &written, nullptr);
    }
    // Keys typed before the failure do not count. Input records come whatever the console's mode:
    // one key press ends the wait, without Enter. If the window is closed instead, the read fails.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(in);
    INPUT_RECORD record;
    DWORD got = 0;
    while (ReadConsoleInputW(in, &record, 1, &got) && got == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
    }
}

#endif  // _WIN32
