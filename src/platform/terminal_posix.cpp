// terminal_posix.cpp - the client's terminal on POSIX: its text as GB18030, its screen mode and size.
#ifndef _WIN32

#include "platform/terminal.h"
#include "common/gb18030.h"
#include "platform/posix_write.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

void binary_stdio() {}

static const iconv_t NO_ICONV = reinterpret_cast<iconv_t>(-1);

static iconv_t typed_to_wire = NO_ICONV;   // the terminal's encoding to GB18030
static iconv_t wire_to_screen = NO_ICONV;  // GB18030 to the terminal's encoding
static char replacement[8] = "?";          // U+FFFD in the terminal's encoding, if it has it
static std::size_t replacement_len = 1;
// Bytes read from the terminal and not yet converted: the start of a character cut by the read.
static char typed[1024];
static std::size_t typed_len = 0;

// U+FFFD as the terminal shows it, or '?' if its encoding has no such character.
static void find_replacement(const char *codeset)
{
    iconv_t cd = ::iconv_open(codeset, "UTF-8");
    if (cd == NO_ICONV)
        return;
    char *in = const_cast<char *>("\xEF\xBF\xBD");
    std::size_t in_left = 3;
    char *to = replacement;
    std::size_t out_left = sizeof replacement;
    if (::iconv(cd, &in, &in_left, &to, &out_left) != static_cast<std::size_t>(-1))
        replacement_len = sizeof replacement - out_left;
    ::iconv_close(cd);
}

terminal_sides prepare_terminal()
{
    // The terminal's encoding is the one the environment's locale names (LANG, LC_CTYPE, LC_ALL).
    std::setlocale(LC_CTYPE, "");
    const char *codeset = ::nl_langinfo(CODESET);
    if (::isatty(STDIN_FILENO))
        typed_to_wire = ::iconv_open("GB18030", codeset);
    if (::isatty(STDOUT_FILENO)) {
        wire_to_screen = ::iconv_open(codeset, "GB18030");
        find_replacement(codeset);
    }
    return terminal_sides{typed_to_wire != NO_ICONV, wire_to_screen != NO_ICONV};
}

// Converts what is in `typed` into out, keeping back a character cut at its end. A byte that is no
// character in the terminal's encoding goes out as U+FFFD. out has room for four times what is
// typed: no character takes more than four bytes in GB18030, nor fewer than one typed.
static std::size_t convert_typed(char *out, std::size_t out_len)
{
    char *in = typed;
    std::size_t in_left = typed_len;
    char *to = out;
    std::size_t out_left = out_len;
    while (in_left > 0 && ::iconv(typed_to_wire, &in, &in_left, &to, &out_left) == static_cast<std::size_t>(-1) &&
           errno == EILSEQ) {
        std::memcpy(to, GB18030_REPLACEMENT, 4);
        to += 4;
        out_left -= 4;
        ++in;
        --in_left;
    }
    std::memmove(typed, in, in_left);  // EINVAL: the rest of a character is still to come
    typed_len = in_left;
    return out_len - out_left;
}

static int read_some(char *buf, std::size_t len)
{
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf, len);
        if (n >= 0 || errno != EINTR)
            return n < 0 ? 0 : static_cast<int>(n);
    }
}

int read_input(char *buf, int len)
{
    if (typed_to_wire == NO_ICONV)
        return read_some(buf, static_cast<std::size_t>(len));
    std::size_t room = std::min(sizeof typed, static_cast<std::size_t>(len) / 4);
    for (;;) {
        int n = read_some(typed + typed_len, room - typed_len);
        if (n == 0 && typed_len > 0) {
            typed_len = 0;  // a character cut short by the end of the input is none
            std::memcpy(buf, GB18030_REPLACEMENT, 4);
            return 4;
        }
        if (n == 0)
            return 0;
        typed_len += static_cast<std::size_t>(n);
        std::size_t converted = convert_typed(buf, static_cast<std::size_t>(len));
        if (converted > 0)
            return static_cast<int>(converted);
    }
}

// The length of the whole GB18030 character at text: the second byte tells two from four.
static std::size_t character_length(const char *text, std::size_t len)
{
    if (static_cast<unsigned char>(text[0]) < 0x80 || len < 2)
        return 1;
    return text[1] >= '0' && text[1] <= '9' ? std::min<std::size_t>(4, len) : 2;
}

int show_text(const char *text, std::size_t len)
{
    char *in = const_cast<char *>(text);
    std::size_t in_left = len;
    while (in_left > 0) {
        char shown[4096];
        char *to = shown;
        std::size_t out_left = sizeof shown;
        std::size_t rc = ::iconv(wire_to_screen, &in, &in_left, &to, &out_left);
        if (write_all(STDOUT_FILENO, shown, sizeof shown - out_left) != 0)
            return -1;
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A character the terminal's encoding lacks (or, with a C locale, anything not ASCII).
            if (write_all(STDOUT_FILENO, replacement, replacement_len) != 0)
                return -1;
            std::size_t skip = character_length(in, in_left);
            in += skip;
            in_left -= skip;
        }
    }
    return 0;
}

// Converts text from one encoding to GB18030 into out; its length, or -1.
static int to_gb18030(const char *from, const char *text, char *out, std::size_t out_len)
{
    iconv_t cd = ::iconv_open("GB18030", from);
    if (cd == NO_ICONV)
        return -1;
    char *in = const_cast<char *>(text);
    std::size_t in_left = std::strlen(text);
    char *to = out;
    std::size_t out_left = out_len;
    std::size_t rc = ::iconv(cd, &in, &in_left, &to, &out_left);
    ::iconv_close(cd);
    return rc == static_cast<std::size_t>(-1) ? -1 : static_cast<int>(out_len - out_left);
}

int argument_in_gb18030(char **argv, int i, char *out, std::size_t out_len)
{
    // The command line is in the locale's encoding; a C locale has no room for a name that is not
    // ASCII, so one typed under it is taken as UTF-8, what terminals use today.
    int n = to_gb18030(::nl_langinfo(CODESET), argv[i], out, out_len);
    return n >= 0 ? n : to_gb18030("UTF-8", argv[i], out, out_len);
}

std::uint32_t gb18030_code_point(const char *ch, std::size_t len)
{
    // Decoding takes state of its own, and the screen's threads decode at once.
    thread_local iconv_t to_utf32 = ::iconv_open("UTF-32LE", "GB18030");
    unsigned char code[4];
    char *in = const_cast<char *>(ch);
    char *to = reinterpret_cast<char *>(code);
    std::size_t in_left = len, out_left = sizeof code;
    if (to_utf32 == NO_ICONV)
        return 0xFFFD;
    ::iconv(to_utf32, nullptr, nullptr, nullptr, nullptr);
    if (::iconv(to_utf32, &in, &in_left, &to, &out_left) == static_cast<std::size_t>(-1) || out_left != 0)
        return 0xFFFD;
    return code[0] | code[1] << 8 | code[2] << 16 | static_cast<std::uint32_t>(code[3]) << 24;
}

static bool all_ascii(const std::string &text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// Converts with cd (kept by the calling thread); a byte that begins no character, or a character
// cut short at the end, becomes `replacement`.
static std::string convert_text(iconv_t cd, const std::string &text, const char *replacement)
{
    std::string out;
    if (cd == NO_ICONV)
        return out;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(text.data());
    std::size_t in_left = text.size();
    char buf[4096];
    while (in_left > 0) {
        char *to = buf;
        std::size_t out_left = sizeof buf;
        std::size_t rc = ::iconv(cd, &in, &in_left, &to, &out_left);
        out.append(buf, sizeof buf - out_left);
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG)
            continue;
        out += replacement;
        if (errno == EINVAL)
            break;  // cut short at the end
        ++in;
        --in_left;
    }
    return out;
}

std::string utf8_from_gb18030(const std::string &text)
{
    if (all_ascii(text))
        return text;
    thread_local iconv_t to_utf8 = ::iconv_open("UTF-8", "GB18030");
    return convert_text(to_utf8, text, "\xEF\xBF\xBD");
}

std::string gb18030_from_utf8(const std::string &text)
{
    if (all_ascii(text))
        return text;
    thread_local iconv_t from_utf8 = ::iconv_open("GB18030", "UTF-8");
    return convert_text(from_utf8, text, GB18030_REPLACEMENT);
}

// ---- the companion client's screen ----

static termios terminal_as_found;
static volatile sig_atomic_t screen_mode_on = 0;
static const char *screen_restore = "";

static void restore_terminal()
{
    if (!screen_mode_on)
        return;
    screen_mode_on = 0;
    ssize_t ignored = ::write(STDOUT_FILENO, screen_restore, std::strlen(screen_restore));
    (void)ignored;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &terminal_as_found);
}

// A crash or the window's closing leaves the terminal as it was found, then takes its course.
static void restore_and_die(int sig)
{
    restore_terminal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool screen_possible()
{
    const char *term = std::getenv("TERM");
    return ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO) && term != nullptr && term[0] != '\0' &&
           std::strcmp(term, "dumb") != 0;
}

bool enter_screen_mode(const char *restore)
{
    if (::tcgetattr(STDIN_FILENO, &terminal_as_found) != 0)
        return false;
    termios raw = terminal_as_found;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    screen_restore = restore;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0)
        return false;
    screen_mode_on = 1;
    for (int sig : {SIGHUP, SIGTERM, SIGQUIT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        std::signal(sig, restore_and_die);
    return true;
}

void leave_screen_mode()
{
    restore_terminal();
}

bool terminal_size(int *rows, int *cols)
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return false;
    *rows = size.ws_row;
    *cols = size.ws_col;
    return true;
}

std::size_t login_name(char *out, std::size_t len)
{
    const char *name = std::getenv("USER");
    passwd *entry = ::getpwuid(::getuid());
    if ((name == nullptr || name[0] == '\0') && entry != nullptr)
        name = entry->pw_name;
    if (name == nullptr)
        return 0;
    int n = to_gb18030(::nl_langinfo(CODESET), name, out, len);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool background_dark_unless_told()
{
    return false;
}

#endif  // !_WIN32
