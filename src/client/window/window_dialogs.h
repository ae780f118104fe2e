// window_dialogs.h - the chat window's dialogs: the name, the relay to connect to; and the guide.
#pragma once

#include <windows.h>

#include <string>

class connection;
class chat_commands;

// Asks for a name over the owner window, offering one: the name chosen (GB18030), or "" if the
// person cancelled.
std::string ask_name(HWND owner, const std::string &offered);
// The relay dialog over the main window, modal; it lists the relays the connection hears as they
// are found (the listing posted to the main window first), and the relay chosen goes to commands.
void choose_relay(HWND main_window, connection &conn, chat_commands &commands);
// The listing of relays for the relay dialog, posted to the main window (WM_RELAYS): handed on to
// the dialog if the one it was made for is still open, and freed.
void relays_listed(WPARAM opening, LPARAM found);
// Opens README.txt beside the program (or says over the owner window that it is not there).
void open_guide(HWND owner);
