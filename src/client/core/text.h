// text.h - the client's text: GB18030 as it travels, the cells it takes on a screen, what may be
// shown of it, and the names in it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The length of the GB18030 character that begins at p, with len bytes there: 1, 2 or 4; 0 if the
// bytes so far could begin one but are too few to tell; -1 if p[0] begins none.
int gb18030_length(const unsigned char *p, std::size_t len);

// The length of the character at text[at], for walking text known to be whole characters: what
// begins none counts as one byte.
std::size_t character_at(const std::string &text, std::size_t at);

// Cuts the chat the relay sends into whole GB18030 characters for the terminal: a character cut in
// two by a receive waits for its other half, and a byte that begins none becomes U+FFFD alone, so
// that what follows it shows as it is.
class gb18030_reader {
public:
    // Appends to `out` the whole characters of what has come so far; at the end of the stream, a
    // character still cut short is none.
    void take(const std::string &in, std::string &out, bool at_end = false);

private:
    std::string held_;
};

// Cuts the chat the relay sends into lines: the room's feed's one cutter, for every front-end and
// the history alike. A line ends at LF (a CR before it is part of the line end). Of a line longer than LINE_SHOWN bytes, the first LINE_SHOWN
// (to the last whole character) are kept and the rest only counted: the line shows with
// " ... (N bytes not shown)" after it, so a line that never ends costs time, not memory. A line
// begun whose end has not come within LINE_WAIT of its first byte shows as it is.
class line_cutter {
public:
    using each_line = std::function<void(const std::string &line)>;
    static const std::size_t LINE_SHOWN = 16 * 1024;
    static constexpr std::chrono::milliseconds LINE_WAIT{1000};

    // Takes bytes from the stream, come at now_ms (steady milliseconds); each line they end goes to
    // `line`, without its line end. Only the bytes that are new are looked at: a line that keeps
    // coming is not read again. at_end: the stream has ended, and the line begun ends with it.
    void take(const char *bytes, std::size_t len, bool at_end, long long now_ms, const each_line &line);
    // Ends the line begun if, at now_ms, it has waited LINE_WAIT for its end.
    void end_if_waited(long long now_ms, const each_line &line);
    // Whether a line has begun and not ended.
    bool begun() const { return !partial_.empty() || cut_ > 0; }

private:
    void keep(const char *bytes, std::size_t len, long long now_ms);
    void end(const each_line &line);

    std::string partial_;          // the line begun; LINE_SHOWN bytes at most
    std::size_t cut_ = 0;          // the bytes of it past those, not kept
    bool cut_ends_cr_ = false;     // the last of them was a CR (the line end's, if a LF follows)
    long long since_ms_ = 0;       // when its first byte came
};

// The cells a character takes on a terminal: 2 for East Asian wide and full-width characters and
// emoji, 0 for combining marks, 1 for the rest.
int cell_width(std::uint32_t code_point);
// The cells the whole GB18030 characters of text take.
int text_cells(const std::string &text);

// Whole GB18030 text as a terminal or console may show it, whoever sent it. What a terminal would
// obey instead of showing (the C0 controls, ESC and DEL, and the C1 controls, four-byte characters
// here) and the characters that hide text or turn its direction without showing themselves become
// marks: a C0 control or DEL its caret form ("^[" for ESC, "^?" for DEL), the others U+FFFD, as does
// a byte that begins no character. Of the combining marks stacked on one character, MARKS_SHOWN
// show and the rest become one U+FFFD. Line ends (LF, CR LF) and tabs stay; on_one_row, a tab
// becomes a space and a line end is marked too.
std::string safe_to_show(const std::string &text, bool on_one_row = false);
const int MARKS_SHOWN = 4;

// Where `what` (whole GB18030 characters) begins in text at or after `from`, at the start of a
// character of text: never inside one whose later bytes spell it. npos if nowhere.
std::size_t find_characters(const std::string &text, const std::string &what, std::size_t from);

// The most bytes a name takes: a longer prefix before ": " is no name on the other screens either.
const std::size_t NAME_BYTES = 32;
// Why this GB18030 text cannot be a name, in words for the person, or nullptr if it can: 1 to
// NAME_BYTES bytes of text, nothing safe_to_show would mark, no ": " (that would end it early on
// the other screens), no space at either end.
const char *name_refusal(const std::string &name);

// The name a line begins with, "NAME: text" or "* NAME text" (/me); "" if none. *text_at is where
// the text after the name begins (0 if none).
std::string name_in(const std::string &line, std::size_t *text_at);
// The colour a name shows in, one of 12, the same on every client whatever its platform or front-end:
// 0 to 11, in the order red, green, yellow, blue, magenta, cyan, then their bright kinds.
int name_colour(const std::string &name);
