// log_output.h - the relay's log lines on standard output, in terms a terminal, a console or the
// systemd journal can show, and as GBK bytes anywhere else.
//
// log_output_win32.cpp and log_output_posix.cpp define these functions in the same order.
#pragma once

#include <cstddef>

// Finds out, once at start-up, whether standard output is a terminal, a console or the systemd
// journal, and how text is shown there. Call before the first write_log_line.
void prepare_log_output();
// Writes one log line (GBK text ending in a line end) to standard output at once, whole. A terminal
// or console gets it as text in its own terms, the systemd journal as UTF-8; a pipe or a file gets
// the GBK bytes (with CR LF on Windows), as does a terminal that cannot show it. Returns 0, or -1 if
// standard output failed.
int write_log_line(const char *line, std::size_t len);
