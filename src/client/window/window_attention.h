// window_attention.h - how the window asks for attention while it is behind others: the count in
// its title, the taskbar button flashing and its badge, the notification-area icon and its balloon, a sound.
#pragma once

#include <windows.h>

#include "window_text.h"

#include <string>
#include <vector>

// The attention's part of the main window: the window, the input box that has the typing when it
// comes forward, and the program's small icon for the notification area.
void make_attention(HWND main_window, HWND input, HICON icon);
// Adds (NIM_ADD), changes (NIM_MODIFY, with a balloon if one is given) or takes away (NIM_DELETE)
// the notification-area icon.
void tray_icon(DWORD action, const std::wstring &balloon = L"");
// Brings the window forward (a click on the icon or its balloon).
void bring_forward();
// A frame's new lines, of which `heard` are the peers' and lines[mention] the last that mentions our
// name (-1: none), as the feed counted them: counted while the window is behind, a mention told.
void attend(const std::vector<shown_line> &lines, std::size_t heard, int mention);
// The window came forward: the count, its badge and the flashing stop.
void attention_seen();
// The taskbar has made the window's button (its TaskbarButtonCreated message): from now on the
// button shows the unread count as a badge (ITaskbarList3's overlay icon), where the system can.
void taskbar_button_made();
// The files moving, in percent of their bytes (-1: none now), on the taskbar button as its
// progress, where the system can.
void transfer_progress(int percent);
