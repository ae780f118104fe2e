// links.h - the web addresses in a line's text, which the windows show as links: http:// and
// https:// only, and only an address of printable ASCII. Nothing else is ever a link: not file:,
// not a UNC path (\\host\share, which would hand a peer the user's Windows credentials), no other
// scheme, and no address with a control character or one of the display rule's marks (U+FFFD, a
// caret form such as "^[") in it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Where each address begins in the text (UTF-8, as the room's feed hands it over), and its length,
// in bytes: the same as in characters, an address being ASCII.
std::vector<std::pair<std::size_t, std::size_t>> web_addresses(const std::string &utf8);
// Whether the whole of text is one such address (checked again before one is opened).
bool is_web_address(const std::string &text);
