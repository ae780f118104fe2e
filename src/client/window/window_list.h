// window_list.h - the conversation list and the window's fonts: the room's lines in a read-only
// RichEdit, coloured, with the controls laid out around it.
#pragma once

#include <windows.h>

#include "window_room.h"

#include <vector>

// The DPI of a window (the system's where the window does not say).
UINT window_dpi(HWND w);
// Makes the window's font for ui.dpi and gives it to the controls.
void make_font();
// Places the find bar, the list and the input box in the main window.
void lay_out();
// Appends a frame's lines to the list.
void append_lines(const std::vector<shown_line> &lines);
// Colours the whole list again, in the look in use.
void recolour_list();
// The text's size, in percent of the system's (Ctrl+Plus, Ctrl+Minus, Ctrl+0): set, shown and
// remembered; and read back at the start, before the font is made.
void zoom_text(int percent);
void restore_zoom();
