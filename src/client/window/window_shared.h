// window_shared.h - the few words the chat window's parts share: the window's class and title, the
// messages it posts itself, its own words as wide text, its message boxes and its settings files.
// What each part keeps while the window runs is its own, and the handles it works on are handed
// to it as it is made.
#pragma once

#include <windows.h>

#include "platform/settings.h"

#include <string>

const wchar_t WINDOW_CLASS[] = L"ChatRelayWindow";
const wchar_t TITLE[] = L"Chat";
const UINT WM_TRAY = WM_APP + 1;    // the notification-area icon was clicked
const UINT WM_RELAYS = WM_APP + 2;  // the relay dialog's listening is done

// The window's own words (ASCII) as wide text.
inline std::wstring wide(const std::string &ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// A message box of the window's, over the owner window (nullptr before there is one).
inline void message(HWND owner, const std::string &ascii, UINT icon)
{
    MessageBoxW(owner, wide(ascii).c_str(), TITLE, MB_OK | icon);
}

// What the window remembers in a small settings file of its own (its text size, its place): the
// text, at most `most` bytes of it; "" if there is none or it cannot be read. And written, as
// well as it can be: a setting not kept is no reason to trouble anyone.
inline std::string read_setting(const char *file, std::size_t most)
{
    std::string text(most, '\0');
    char why[512];
    long n = read_settings_file(file, &text[0], most, why, sizeof why);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}
inline void write_setting(const char *file, const std::string &text)
{
    char why[512];
    write_settings_file(file, text.data(), text.size(), why, sizeof why);
}
