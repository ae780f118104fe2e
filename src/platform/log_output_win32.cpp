// log_output_win32.cpp - the relay's log lines on standard output: a console, a pipe, a file.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/log_output.h"

#include <cstdio>

// Standard output, if it is a console: there text goes as UTF-16, which reads right whatever the
// console's code page.
static HANDLE console_out = nullptr;

void prepare_log_output()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode))
        console_out = out;
}

// Writes a line to the console, decoded from code page 936. Returns how it went: CONSOLE_REFUSED
// if nothing was written (it could not be decoded, or the console took none of it), so that the
// bytes may go out as they are; CONSOLE_BROKEN if the console took part of it and then failed, when
// writing it again would show the line's start twice.
enum console_write { CONSOLE_WRITTEN, CONSOLE_REFUSED, CONSOLE_BROKEN };

static console_write write_to_console(const char *line, std::size_t len)
{
    wchar_t text[256];
    int body = static_cast<int>(len > 0 && line[len - 1] == '\n' ? len - 1 : len);
    if (body == 0 || body > 250)
        return CONSOLE_REFUSED;
    int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, line, body, text, 250);
    if (n <= 0)
        return CONSOLE_REFUSED;
    text[n++] = L'\r';
    text[n++] = L'\n';
    // A console may take part of a write; the rest follows, from where it stopped.
    int done = 0;
    while (done < n) {
        DWORD written = 0;
        if (!WriteConsoleW(console_out, text + done, static_cast<DWORD>(n - done), &written, nullptr) || written == 0)
            return done == 0 ? CONSOLE_REFUSED : CONSOLE_BROKEN;
        done += static_cast<int>(written);
    }
    return CONSOLE_WRITTEN;
}

int write_log_line(const char *line, std::size_t len)
{
    if (console_out != nullptr) {
        console_write how = write_to_console(line, len);
        if (how != CONSOLE_REFUSED)
            return how == CONSOLE_WRITTEN ? 0 : -1;
    }
    // The C runtime's text mode makes the line end CR LF; one flush per line writes it whole.
    if (std::fwrite(line, 1, len, stdout) != len || std::fflush(stdout) != 0)
        return -1;
    return 0;
}

#endif  // _WIN32
