// window_shared.h - the few words the chat window's parts share: the window's class and title, the
// messages it posts itself, its own words as wide text, its message boxes and its one way out.
// What each part keeps while the window runs is its own, and the handles it works on are handed
// to it as it is made.
#pragma once

#include <windows.h>

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
