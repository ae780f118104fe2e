// relay_log.h - the relay's start-up failure lines, which the service host finds in the relay's log
// to file them as errors. The text is GBK (code page 936), spelled in byte escapes, with its
// meaning beside each line.
#pragma once

#include <string_view>

constexpr char LINE_STARTUP_FAILED[] =  // "Socket initialisation failed. Code: "
    "[%02d:%02d:%02d] \xb3\xf5\xca\xbc\xbb\xaf\xcc\xd7\xbd\xd3\xd7\xd6\xca\xa7\xb0\xdc\xa1\xa3\xb4\xfa\xc2\xeb\xa3\xba"
    "%lu\n";
constexpr char LINE_BIND_FAILED[] =  // "Binding the socket failed. Code: "
    "[%02d:%02d:%02d] \xb0\xf3\xb6\xa8\xcc\xd7\xbd\xd3\xd7\xd6\xca\xa7\xb0\xdc\xa1\xa3\xb4\xfa\xc2\xeb\xa3\xba"
    "%lu\n";

// What a line of this format says between its time ("[hh:mm:ss] ") and its value: the fixed text
// by which a reader of the log knows the line.
constexpr std::string_view line_text(std::string_view format)
{
    std::string_view text = format.substr(format.find("] ") + 2);
    return text.substr(0, text.find('%'));
}
