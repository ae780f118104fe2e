// system.h - what the programs ask of the system besides the network: the last error's code,
// threads, the clock, memory, and a console window that should stay open after a failure.
//
// system_win32.cpp and system_posix.cpp define these functions in the same order.
#pragma once

// Has the libraries the process loads from now on (and those the system's own load for it) found in
// the system's folder alone: on Windows, System32, never the program's own folder or the current
// one, where a program unpacked in Downloads would find what anyone put beside it. Call first
// thing in main.
void load_libraries_from_system_only();

// Hour, minute and second of the local time of day, and the local date.
struct clock_time {
    int hour;
    int minute;
    int second;
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
};

// The calling thread's code for the last failed call (GetLastError on Windows, errno elsewhere).
unsigned long last_error();

// Hands memory the process has freed back to the system, so that what a crowd of clients took does
// not stay resident after it has left. It walks the allocator's free memory: call it now and then,
// holding no lock of the relay's.
void release_free_memory();

// Runs fn(arg) on a thread of its own that nobody waits for; what the thread took goes when fn
// returns. Returns false if the system would not start one.
bool start_thread(void (*fn)(void *), void *arg);

// The local time of day and date, read now.
clock_time local_clock();

// ---- windows that stay open ----

// True if the console is this process's alone: on Windows, a console window that opened with the
// process (started from the Start menu, a shortcut or Explorer) and closes when it ends, with
// standard input on it to read a key from. False for a console shared with the shell that started
// the process (cmd, PowerShell), for one without a window, when standard input is a pipe or a file,
// and everywhere but on Windows: there a terminal outlives the programs run in it.
bool console_is_ours_alone();
// If console_is_ours_alone(), writes the prompt (ASCII, if not null) to the console and waits for a
// key, so that what the process wrote there before failing can be read before its window closes.
// Does nothing otherwise, so that nothing unattended ever waits.
void hold_console_open(const char *prompt_or_null);
