// window_text.h - the chat window's text: the room's lines as the feed hands them (UTF-8, already
// safe) in the wide text of Windows' controls, and typed text back to GB18030 for the room.
#pragma once

#include "client/core/view.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct room_line;

// One line of the message list, in the window's strings.
struct shown_line {
    enum kind_t { CHAT, OWN, NOTE, KEPT } kind = CHAT;  // KEPT: from the history (and its rule)
    kept_kind kept = kept_kind::note;  // a KEPT line's kind: our own bold, a note (and the rule) dimmed, a peer's plain
    std::wstring time;  // "HH:MM"; a line from the history's has its day before, where not today
    std::wstring name;  // the name part ("NAME: " or "* NAME "), coloured; may be empty
    std::wstring text;  // the rest
    int colour = 0;     // of the name: 0 to 11
    bool mention = false;  // a peer's line that says our name
    // The web addresses in the text (not in the window's own notes), which show as links: where
    // each begins, and its length.
    std::vector<std::pair<std::size_t, std::size_t>> links;
};

// A line of the feed as the list shows it.
shown_line shown_from(const room_line &line);
// Whole GB18030 characters as they may be shown on one row, by the client's one display rule
// (safe_to_show): what a peer sends cannot move text about, hide it or turn it round.
std::wstring shown_text(const std::string &gb18030);
// Typed text as it travels.
std::string gb18030_text(const std::wstring &typed);
// The link after a line that offers a file, which fetches it: "Download (/get N)"; and the N of
// such a link's text (0 if it is none).
std::wstring download_action(std::size_t offer);
std::size_t download_offer(const std::wstring &link);
// Wide text as UTF-8 (a link clicked, checked again by the core's rule before it opens).
std::string utf8_text(const std::wstring &wide);
