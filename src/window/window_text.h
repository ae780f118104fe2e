// window_text.h - the chat window's text: GB18030 from the room to the wide text of Windows'
// controls, shown safe, and back for what is typed.
#pragma once

#include <cstddef>
#include <string>

// Whole GB18030 characters as they may be shown: control and format characters (C0 but the tab,
// DEL, C1, the zero-width and direction marks and overrides, the word joiner and invisible
// operators, the BOM, the Hangul filler) become U+FFFD, which is seen; a tab, a space. Nothing a
// peer sends can then move text about, hide it or turn it round.
std::wstring shown_text(const std::string &gb18030);
// Typed text as it travels.
std::string gb18030_text(const std::wstring &typed);
// ASCII (the client's notes), or whole GB18030 characters, as wide text; shown safe.
std::wstring wide_text(const std::string &gb18030);
// Whether the window shows this UTF-16 unit as it is.
bool shown_as_is(wchar_t unit);

// The name a line begins with, "NAME: text" or "* NAME text" (/me); "" if none. *text_at is where
// the text after it begins.
std::string name_in(const std::string &line, std::size_t *text_at);
