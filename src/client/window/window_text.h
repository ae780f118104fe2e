// window_text.h - the chat window's text: GB18030 from the room to the wide text of Windows'
// controls, shown safe, and back for what is typed.
#pragma once

#include <string>

// Whole GB18030 characters as they may be shown on one row, by the client's one display rule
// (safe_to_show): what a peer sends cannot move text about, hide it or turn it round.
std::wstring shown_text(const std::string &gb18030);
// Typed text as it travels.
std::string gb18030_text(const std::wstring &typed);
// ASCII (the client's notes), or whole GB18030 characters, as wide text; shown safe.
std::wstring wide_text(const std::string &gb18030);
