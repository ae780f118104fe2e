// view.h - what the client's core tells the front-end that shows the room, and the exit statuses
// a front-end ends with. The core never ends the process and writes nothing to a terminal: what
// it has to say goes through here, and the front-end decides what to show and when to end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Exit statuses.
const int EXIT_USAGE = 1;
const int EXIT_NO_SERVER = 2;
const int EXIT_CONNECTION_LOST = 3;

// What the commands make of a whole line from the room (chat_commands::heard).
struct heard_line {
    std::string name;         // the name it begins with, "" if none
    std::size_t text_at = 0;  // where its text begins, after the name
    bool mention = false;     // it says our name in its text, and the bell is on
    std::size_t offer = 0;    // it offers a file: the number /get fetches it by; 0 if it offers none
};

// Whose a line of the history is: a peer's (and every line of a file kept before kinds were), our
// own, or a note of the client's.
enum class kept_kind { peer, own, note };

// A line of the history: the day and time it was shown, whose it is, and its text as it was shown
// (GB18030, made safe again as it was read back).
struct kept_line {
    std::string day;   // "YYYY-MM-DD"
    std::string time;  // "HH:MM:SS"
    std::string text;
    kept_kind kind = kept_kind::peer;
};

// What the connection reports, from its own threads.
class room_view {
public:
    virtual ~room_view() = default;
    // Bytes the relay passed on from the others, the answers to our heartbeats taken out. at_end:
    // this connection's stream has ended, and a character it left cut short is none.
    virtual void chat(const std::string &bytes, bool at_end) = 0;
    // A sentence of the client's own, about the connection or in answer to a command, in ASCII or
    // GB18030 (a name, an address typed); shown as "*** text" or "chat_client: text".
    virtual void note(const std::string &text) = 0;
    // The relay's address ("" while none is known) and whether the client is connected to it now.
    virtual void relay_state(const std::string &address, bool connected) = 0;
    // The connection is lost for good (the client was not told to find the relay again), and why
    // has been noted: the core does nothing more, and the front-end ends with this exit status.
    // Reported once.
    virtual void lost(int status) = 0;
};

// What the commands report besides, to a front-end a person types in.
class chat_view : public room_view {
public:
    // A sentence in answer to a command, or the history's word on itself: shown as a note, and not
    // kept in the history (the connection's notes are).
    virtual void answer(const std::string &text) { note(text); }
    // A line this client sent (GB18030, its name prefix included), shown as sent.
    virtual void own_line(const std::string &line) = 0;
    // The name lines go under now ("" for none).
    virtual void set_name(const std::string &name) = 0;
    // Whether a line that mentions the name rings (or flashes, or sounds).
    virtual void set_bell(bool on) = 0;
    // How many lines typed wait for the relay.
    virtual void set_waiting(std::size_t lines) = 0;
    // Lines from the history, oldest first: the last ones kept, as the client starts (found false),
    // or what /search found (found true). A front-end that shows them no way of its own has each
    // noted, "YYYY-MM-DD HH:MM:SS text".
    virtual void history_lines(const std::vector<kept_line> &lines, bool found);
    // The files being sent, received or hashed, in a few words for a status row (GB18030), and how
    // far they are, 0 to 100 (-1 for none); "" once none is. At most ten times a second.
    virtual void transfer_progress(const std::string &, int) {}
    // How a transfer ended (GB18030): a note, kept, that a view may call attention to.
    virtual void transfer_outcome(const std::string &text) { note(text); }
};
