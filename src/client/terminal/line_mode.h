// line_mode.h - the client without the screen: pipes and files, and terminals that cannot show
// one. Standard input goes to the room a line at a time, the room's chat comes out on standard
// output, and the client's own words on standard error. Also the name asked for on the terminal
// before anything else is shown.
#pragma once

#include "client/core/connection.h"
#include "client/core/text.h"
#include "client/core/view.h"

#include <string>

// The room in pipes and files, or on a terminal in line mode: chat to standard output (on a
// terminal, as text in its own encoding, with what it would obey shown as marks; anything else
// the bytes as they came), the client's own words to standard error.
class line_view : public room_view {
public:
    // terminal: standard output is a terminal. A connection lost for good calls leave with the
    // exit status.
    line_view(bool terminal, void (*leave)(int status)) : terminal_(terminal), leave_(leave) {}
    void chat(const std::string &bytes, bool at_end) override;
    void note(const std::string &text) override;
    void relay_state(const std::string &, bool) override {}
    void lost(int status) override { leave_(status); }

private:
    bool terminal_;
    void (*leave_)(int status);
    gb18030_reader text_;
    std::string whole_;
    bool cr_held_ = false;
};

// Sends standard input a line at a time, until it ends, each whole with its line end and after the
// prefix (the name) if there is one.
void send_input(connection &conn, const std::string &prefix);

// The name to chat under, for a person at a terminal who gave none (the core's name_for_person),
// asked for on the terminal the first time. GB18030; "" if none was had.
std::string ask_name_on_terminal();
