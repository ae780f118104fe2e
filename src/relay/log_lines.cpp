// log_lines.cpp - the relay's event lines, and the log they are queued on.
#include "log_lines.h"

#include "platform/log_output.h"

#include <cstddef>
#include <cstdio>

// Event lines. The text is GBK (code page 936), spelled in byte escapes, with its meaning beside
// each (docs/relay.md shows the Chinese). This file holds no byte outside ASCII, so that a
// compiler that reads it in some other code page (cl.exe without /utf-8 reads the system's) cannot
// take a line end for half of a character and fold the next line into a comment; a test checks it.
// The two start-up failure lines are in common/relay_log.h, where the service host finds them too.
const char LINE_STARTED[] =  // "Server started."
    "[%02d:%02d:%02d] \xb7\xfe\xce\xf1\xc6\xf7\xd2\xd1\xc6\xf4\xb6\xaf\xa1\xa3"
    "\n";
const char LINE_CONNECTED[] =  // "New client connected, now online: "
    "[%02d:%02d:%02d] \xd0\xc2\xbf\xcd\xbb\xa7\xb6\xcb\xc1\xac\xbd\xd3\xa3\xac\xb5\xb1\xc7\xb0\xd4\xda\xcf\xdf\xa3\xba"
    "%d\n";
const char LINE_TIMED_OUT[] =  // "Client timed out and disconnected"
    "[%02d:%02d:%02d] \xbf\xcd\xbb\xa7\xb6\xcb\xb3\xac\xca\xb1\xb6\xcf\xbf\xaa"
    "\n";

// Formats a line and writes it at once, whole, in the terminal's own encoding if stdout is one.
static void write_line(const log_record &r)
{
    char text[128];
    int len = r.format == LINE_CONNECTED
                  ? std::snprintf(text, sizeof text, r.format, r.hour, r.minute, r.second, static_cast<int>(r.value))
                  : std::snprintf(text, sizeof text, r.format, r.hour, r.minute, r.second,
                                  static_cast<unsigned long>(r.value));
    if (len <= 0 || len >= static_cast<int>(sizeof text))
        return;  // no line is that long
    write_log_line(text, static_cast<std::size_t>(len));  // a log that cannot be written is not reported
}

clock_time getTime()
{
    return local_clock();
}

// The log; its lines are queued with the time of their event and written by a thread of its own.
event_log events(getTime, write_line);

void log_event(const char *format, std::uint32_t value)
{
    events.add(format, value);
}
