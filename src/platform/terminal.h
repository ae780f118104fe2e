// terminal.h - the client's terminal or console: the text typed and shown there, converted to and
// from GB18030 (as it travels), its screen mode, keys and size, and the names the person brings
// (the command line's arguments, the login name).
//
// terminal_win32.cpp and terminal_posix.cpp define these functions in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Makes standard input and output carry bytes unchanged (no line-end translation).
void binary_stdio();

// Which of standard input and output are a terminal or console whose text can be converted: there
// people type and read text, which travels as GB18030.
struct terminal_sides {
    bool input;
    bool output;
};
// Finds out, once at start-up, which of standard input and output are such a terminal, and gets
// ready to convert between its encoding and GB18030. Call before the other functions below.
terminal_sides prepare_terminal();
// Reads what standard input has, waiting for at least one byte, and stores at most len (16 or more)
// bytes: their count, or 0 at the end of the input or on failure. What is typed on a terminal comes
// converted to GB18030, with LF line ends; what comes from a pipe or a file comes as it is.
int read_input(char *buf, int len);
// Shows text on the terminal that standard output is. The text is whole GB18030 characters: one cut
// in two by a receive is the caller's to hold back. A character the terminal cannot show appears as
// U+FFFD, or as '?' where that cannot be shown either. Returns 0, or -1 if the terminal failed.
int show_text(const char *text, std::size_t len);
// Stores argv[i], text the person typed on the command line, as GB18030 in out: its length, or -1
// if it does not fit or cannot be converted.
int argument_in_gb18030(char **argv, int i, char *out, std::size_t out_len);
// Decodes one whole GB18030 character of len bytes to its Unicode code point: U+FFFD if it is none.
std::uint32_t gb18030_code_point(const char *ch, std::size_t len);
// Whole GB18030 characters as UTF-8, the encoding of the history's files; and UTF-8 as GB18030,
// where bytes that are no UTF-8 character (a damaged file) become U+FFFD.
std::string utf8_from_gb18030(const std::string &text);
std::string gb18030_from_utf8(const std::string &text);

// ---- the companion client's screen ----

// Whether standard input and output are both a terminal or console that can place the cursor with
// VT sequences: a terminal whose TERM is set and not "dumb", or a console that takes them.
bool screen_possible();
// Puts the terminal into the screen's mode: each key as it is typed, no echo, Ctrl-C and Ctrl-Z as
// keys. `restore` (VT sequences, kept by the caller) is written when the mode is left: by
// leave_screen_mode, and also on a crash signal or when the window closes. false if it could not.
bool enter_screen_mode(const char *restore);
// Writes `restore` and gives the terminal back its mode as found. Safe to call more than once.
void leave_screen_mode();
// The terminal's size now, in character cells; false if it cannot be had.
bool terminal_size(int *rows, int *cols);
// The name the user logged in with, as GB18030 text into out: its length, or 0 if unknown.
std::size_t login_name(char *out, std::size_t len);
// Whether the terminal's background is dark when the terminal does not say (OSC 11): the Windows
// console's is, and it does not answer; a Linux terminal's may be either.
bool background_dark_unless_told();
