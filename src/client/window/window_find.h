// window_find.h - the chat window's find bar (Ctrl+F): a row over the conversation that finds text
// in the list, older matches first and back again, the one found selected and in view; past the
// oldest line the list holds, it goes on into the history, whose lines that say it are listed.
#pragma once

#include <windows.h>

#include "client/core/view.h"

// Makes the bar, hidden, in the main window, for this list; lines from the history go to room (the
// feed), relayout places the main window's controls again when the bar opens or closes, and the
// typing goes back to `input` when it closes. Its keys are taken from then on.
void make_find_bar(HWND parent, HWND list, HWND input, chat_view &room, void (*relayout)());
// Its height while open, 0 while closed; and its place.
int find_bar_height(int font_height);
void place_find_bar(int x, int y, int width, int height, HFONT font);
// Takes the keys of the bar: Ctrl+F (opens it, or goes to it), and in it Enter or F3 (the next
// match up, older), Shift+Enter or Shift+F3 (back down, newer), Esc (closes it). true if taken.
bool find_bar_key(const MSG &msg);
