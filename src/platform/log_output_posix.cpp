// log_output_posix.cpp - the relay's log lines on standard output: a terminal, the journal, a pipe.
#ifndef _WIN32

#include "platform/log_output.h"
#include "platform/posix_write.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

// From GBK to the encoding of the terminal that standard output is, if it is one, or to UTF-8 if
// it is the journal's stream; a descriptor converts one line at a time.
static iconv_t to_terminal = reinterpret_cast<iconv_t>(-1);
static std::mutex to_terminal_mtx;

// Whether standard output is the systemd journal's stream. systemd names that stream in
// JOURNAL_STREAM as "device:inode"; a program that inherited the variable but whose output was
// then sent elsewhere (`chat_server | ...` from a service's shell) has another file there.
static bool output_is_journal()
{
    const char *named = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat out {};
    return named != nullptr && std::sscanf(named, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDOUT_FILENO, &out) == 0 && device == out.st_dev && inode == out.st_ino;
}

void prepare_log_output()
{
    // A write to a log pipe whose reader has gone (`chat_server | head`) must cost the log, not the
    // relay: it fails with EPIPE instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (::isatty(STDOUT_FILENO)) {
        // The terminal's encoding is the one the environment's locale names (LANG, LC_CTYPE, LC_ALL).
        std::setlocale(LC_CTYPE, "");
        to_terminal = ::iconv_open(::nl_langinfo(CODESET), "GBK");
    } else if (output_is_journal()) {
        // The journal keeps text as UTF-8 and shows a line in any other encoding as "[N B blob data]".
        to_terminal = ::iconv_open("UTF-8", "GBK");
    }
}

// Converts a line for the terminal into out; false if the terminal's encoding cannot show it.
static bool convert_for_terminal(const char *line, std::size_t len, char *out, std::size_t *out_len)
{
    std::lock_guard<std::mutex> lock(to_terminal_mtx);
    ::iconv(to_terminal, nullptr, nullptr, nullptr, nullptr);  // each line starts afresh
    char *in = const_cast<char *>(line);
    char *to = out;
    std::size_t in_left = len;
    std::size_t out_left = *out_len;
    if (::iconv(to_terminal, &in, &in_left, &to, &out_left) == static_cast<std::size_t>(-1) ||
        ::iconv(to_terminal, nullptr, nullptr, &to, &out_left) == static_cast<std::size_t>(-1))
        return false;
    *out_len -= out_left;
    return true;
}

int write_log_line(const char *line, std::size_t len)
{
    char shown[512];  // any encoding takes at most four bytes for each GBK byte
    std::size_t shown_len = sizeof shown;
    if (to_terminal != reinterpret_cast<iconv_t>(-1) && len <= sizeof shown / 4 &&
        convert_for_terminal(line, len, shown, &shown_len))
        return write_all(STDOUT_FILENO, shown, shown_len);
    return write_all(STDOUT_FILENO, line, len);
}

#endif  // !_WIN32
