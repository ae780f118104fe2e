// window_look.h - the window's colours as the system says: light or dark as Settings >
// Personalisation > Colours chooses for apps (AppsUseLightTheme, followed while running), with the
// title bar to match where the system has a dark one (DWM's immersive dark mode); high contrast
// uses the system's colours throughout.
#pragma once

#include <windows.h>

// The colours of the look in use.
struct window_look {
    bool dark = false;
    bool high_contrast = false;
    COLORREF background, text, dim, link;
    COLORREF input_background, input_text;
    COLORREF bar_background, bar_text;
    COLORREF names[12];
};

// The look's part of the main window: the window, its input box and its status bar (which draws
// itself in the look from now on: its text stays its own, for screen readers). Before the look is
// applied.
void make_look(HWND main_window, HWND input, HWND status_bar);
// The colours in use: read again each time the look is applied, at the same place.
const window_look &look_in_use();
// Reads the system's setting and shows the window in it: the list (recoloured), the input box, the
// status bar, the title bar. Called at the start and when the setting changes.
void apply_look();
// Whether a WM_SETTINGCHANGE is one that may change the look.
bool look_setting_changed(WPARAM wp, LPARAM lp);
// The input box's colours (WM_CTLCOLOREDIT): the brush to return, or nullptr for the system's.
HBRUSH input_colours(HDC dc);
// Paints the main window's background (WM_ERASEBKGND): true if it did.
bool paint_window_background(HWND w, HDC dc);
