// window_dialogs.h - the chat window's dialogs: the name, the relay to connect to; and the guide.
#pragma once

#include <windows.h>

#include <string>

// Asks for a name, offering one: the name chosen (GB18030), or "" if the person cancelled.
std::string ask_name(const std::string &offered);
// The relay dialog, modal; it lists the relays heard as they are found.
void choose_relay();
// The listing of relays for the relay dialog, posted to the main window (WM_RELAYS): handed on to
// the dialog if the one it was made for is still open, and freed.
void relays_listed(WPARAM opening, LPARAM found);
// Opens README.txt beside the program.
void open_guide();
