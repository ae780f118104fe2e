// window_state.h - what the chat window's parts share: its controls, its font, what it counts and
// remembers while it runs, and the client's core it sits on. One of it, used on the window's thread
// only (the core's threads reach the window through window_room).
#pragma once

#include <windows.h>

#include "window_look.h"
#include "window_room.h"

#include <deque>
#include <string>
#include <utility>
#include <vector>

class connection;
class chat_commands;

const wchar_t WINDOW_CLASS[] = L"ChatRelayWindow";
const wchar_t TITLE[] = L"Chat";
const UINT WM_TRAY = WM_APP + 1;    // the notification-area icon was clicked
const UINT WM_RELAYS = WM_APP + 2;  // the relay dialog's listening is done
const long long ALERT_GAP_MS = 5000;  // a sound and a balloon at most this often

// A line in the conversation list: its parts' lengths (the list's characters, its paragraph mark
// counted), how they are coloured, and its links (where in its text, and how long).
struct list_line {
    long length = 0;
    long time_length = 0, name_length = 0;
    int colour = 0;
    bool own = false, dim = false;
    std::vector<std::pair<long, long>> links;
};

struct window_state {
    window_room room;
    connection *conn = nullptr;
    chat_commands *commands = nullptr;

    HWND main_window = nullptr, list = nullptr, input = nullptr, status_bar = nullptr;
    HFONT font = nullptr;
    HICON app_icon = nullptr;    // the icon, small: the window's caption, the notification area
    HICON app_icon_big = nullptr;  // and large: Alt+Tab, the taskbar
    UINT dpi = 96;
    int zoom = 100;  // the text's size, in percent of the system's

    int unread = 0;
    bool alerting_allowed = true;  // the bell: a sound on a mention
    long long last_alert_ms = -ALERT_GAP_MS;

    window_look look;  // the colours in use
    HBRUSH input_brush = nullptr;

    std::deque<list_line> list_lines;  // each line in the list
    long list_chars = 0;
    std::deque<shown_line> waiting;  // lines come and not yet shown: the next frames'
    std::size_t waiting_chars = 0;
    std::size_t skipped = 0;  // lines that came faster than they could be shown, not yet told
    long long dropped_ms = -1000000;  // when the last was
    long long skip_told_ms = 0;
    LONG hanging_indent = 0;  // in twips: the width of "HH:MM ", where the rows a line wraps onto begin

    // The relay dialog open now, and the count of its openings: a listing made for one that has
    // closed (or for an earlier opening) is dropped, not sent to a handle that may be another
    // window's now.
    HWND relay_dialog_open = nullptr;
    WPARAM relay_dialog_opening = 0;
};

extern window_state ui;

// The window's own words (ASCII) as wide text.
inline std::wstring wide(const std::string &ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// A message box of the window's.
inline void message(const std::string &ascii, UINT icon)
{
    MessageBoxW(ui.main_window, wide(ascii).c_str(), TITLE, MB_OK | icon);
}

// Every way out of the window's process (window_main.cpp).
[[noreturn]] void exit_client(int status);
