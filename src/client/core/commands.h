// commands.h - what a person types on the screen: lines for the room, and the commands
// (/me, /nick, /names, /relay, /bell, /quit, /help); and the name, asked for and remembered.
#pragma once

#include "client/terminal/screen.h"

#include <string>

// The name to chat under, for one who gave none: the one remembered in the name file, or, the
// first time, one asked for on the terminal (the login name offered) and remembered. GB18030; ""
// if none was had. A name file that cannot be read or written is reported, and the name used for
// this run all the same.
std::string remembered_name();

// Runs the screen's input line until the person leaves: each line entered is a command or goes to
// the room, after the name; lines typed while the relay is away wait for it.
void run_screen(screen &s, const std::string &name);
