// view.h - what the client's parts share: where the connection tells what happens, and the one
// way out.
#pragma once

#include <string>

// Ends the client with this exit status, leaving the terminal as it was found: every way out of the
// client goes through here.
[[noreturn]] void exit_client(int status);

// Exit statuses.
const int EXIT_USAGE = 1;
const int EXIT_NO_SERVER = 2;
const int EXIT_CONNECTION_LOST = 3;

// What the person sees of the room: standard output and error for pipes, the screen on a terminal.
class room_view {
public:
    virtual ~room_view() = default;
    // Bytes the relay passed on from the others, the answers to our heartbeats taken out. at_end:
    // this connection's stream has ended, and a character it left cut short is none.
    virtual void chat(const std::string &bytes, bool at_end) = 0;
    // A sentence of the client's own about the connection, in ASCII.
    virtual void note(const std::string &text) = 0;
    // The relay's address ("" while none is known) and whether the client is connected to it now.
    virtual void relay_state(const std::string &address, bool connected) = 0;
};
