// window_access.h - the window for a screen reader: the conversation list and the input box have
// names of their own, and a line said while the window is active is announced.
#pragma once

#include <windows.h>

#include "window_text.h"

#include <vector>

// Names the list and the input box for assistive technology (their accessible names).
void name_controls(HWND list, HWND input);
// Announces a frame's new lines from the room on the list, if its window is active.
void announce(HWND list, const std::vector<shown_line> &lines);
