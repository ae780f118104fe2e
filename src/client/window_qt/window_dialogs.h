// window_dialogs.h - the Linux window's dialogs: the name, the relay to connect to, and About.
#pragma once

#include <string>

class QWidget;
class chat_commands;
class connection;

// Asks for a name, offering one, until a good one is given or the person cancels: the name
// (GB18030), or "" for none.
std::string ask_name(QWidget *parent, const std::string &offered);
// The relay dialog, modal: it lists the relays heard as they are found; the one chosen or typed is
// moved to.
void choose_relay(QWidget *parent, connection &conn, chat_commands &commands);
// What the program is.
void show_about(QWidget *parent);
