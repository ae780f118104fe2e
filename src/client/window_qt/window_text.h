// window_text.h - the Linux window's text: the feed's UTF-8 and the core's GB18030 in Qt's strings,
// shown safe, and back for what is typed.
#pragma once

#include <QString>

#include <string>

// GB18030 from the core (a name, an address) as the window shows it on one row, by the client's one
// display rule (safe_to_show): what a peer sends cannot move text about, hide it or turn it round.
QString shown_text(const std::string &gb18030);
// Text the room's feed handed over (UTF-8, already safe).
QString feed_text(const std::string &utf8);
// Text typed in the window as it travels.
std::string gb18030_text(const QString &typed);
// The window's own words (ASCII).
QString ascii(const std::string &text);
