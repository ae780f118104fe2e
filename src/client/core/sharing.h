// sharing.h - files handed to the room: served by the sender itself over plain HTTP and offered in
// the room with a line (offer.h); fetched by a receiver who asks for one, checked by its hash,
// resumed where a transfer broke. The relay never carries a file.
#pragma once

#include "client/core/offer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the sharing needs of the client around it.
struct sharing_hooks {
    // A sentence for the person (GB18030), as the commands' answers are noted.
    std::function<void(const std::string &text)> note;
    // How a transfer ended (GB18030): noted, and kept in the history.
    std::function<void(const std::string &text)> outcome;
    // The transfers under way in a few words (GB18030) for a status row and how far they are (0 to
    // 100), "" and -1 once none is: called at most ten times a second.
    std::function<void(const std::string &text, int percent)> progress;
    // Posts a line to the room (GB18030, without the name, which the poster puts before it).
    std::function<void(const std::string &line)> post;
    // The local address of the connection to the relay ("" while there is none).
    std::function<std::string()> local_address;
};

// The ports a client serves its files on: the first free one.
const unsigned short SHARE_PORT_FIRST = 8890;
const unsigned short SHARE_PORT_LAST = 8899;
// How long an offer stands: it ends sooner when the client quits.
const std::chrono::hours OFFER_LIFETIME{24};
// The transfers served at once, in all and to one address; beyond them a request is told to wait.
const int SERVED_AT_ONCE = 8;
const int SERVED_PER_ADDRESS = 2;
// How long a request's head may take to arrive.
const std::chrono::seconds REQUEST_HEAD_TIME{10};

// A token to serve a file under: 144 bits from the system's generator, 24 URL-safe characters; ""
// if the system gave none.
std::string new_token();

class file_sharing {
public:
    explicit file_sharing(sharing_hooks hooks);
    ~file_sharing();
    file_sharing(const file_sharing &) = delete;
    file_sharing &operator=(const file_sharing &) = delete;

    // The commands (their argument as typed, GB18030): /share PATH, /unshare [N], /files, /get N.
    void share(const std::string &path);
    void unshare(const std::string &which);
    void list_files();
    void get(const std::string &which);
    // A whole line heard in the room (GB18030): remembered if it is an offer. The number /get
    // fetches it by, or 0 if it is none.
    std::size_t heard(const std::string &line);

    struct state;  // shared with the threads that serve, fetch and hash

private:
    std::shared_ptr<state> state_;
};
