// wide_text.h - Windows' wide text (UTF-16) and GB18030, for the chat window, which speaks
// Windows' wide text to its controls and GB18030 to the room. Defined in terminal_win32.cpp only:
// nothing else needs it.
#pragma once

// Decodes whole GB18030 characters into out, which has room for len units: the count written.
int wide_from_gb18030(const char *text, int len, wchar_t *out);
// Encodes n UTF-16 units as GB18030 into out, which has room for len (four a unit) bytes: the
// count written.
int gb18030_from_wide(const wchar_t *text, int n, char *out, int len);
