// window_list.h - the conversation list and the window's fonts: the room's lines in a read-only
// RichEdit, coloured, with the controls laid out around it.
#pragma once

#include <windows.h>

#include "window_look.h"
#include "window_text.h"

#include <vector>

// The list's part of the main window: the list, and the input box and status bar it lays out and
// gives the font to; the colours it draws in are the look in use, which stays where it is. Before
// the font is made.
void make_list(HWND main_window, HWND list, HWND input, HWND status_bar, const window_look &look);
// The DPI of a window (the system's where the window does not say).
UINT window_dpi(HWND w);
// Makes the window's font for the window's DPI (read as it is made, and again when it moves to a
// screen of another scale) and gives it to the controls.
void make_font(UINT dpi);
// Places the find bar, the list and the input box in the main window.
void lay_out();
// Appends a frame's lines to the list.
void append_lines(const std::vector<shown_line> &lines);
// Colours the whole list again, in the look in use.
void recolour_list();
// The text's size, in percent of the system's (Ctrl+Plus, Ctrl+Minus, Ctrl+0): made `step` percent
// larger (smaller if negative; back to the system's at 0), shown and remembered; and read back at
// the start, before the font is made.
void zoom_text(int step);
void restore_zoom();
