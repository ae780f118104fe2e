// terminal_win32.cpp - the client's console on Windows: its text as GB18030, its screen mode and size.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include "platform/terminal.h"
#include "platform/wide_text.h"
#include "common/gb18030.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <vector>

void binary_stdio()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

// Code page 54936 is GB18030. MultiByteToWideChar keeps nothing from one call to the next: the
// first half of a character cut at the end of its input comes out as U+FFFD, and the second half,
// in the next call, as something else. Whole characters must be handed to it, and are.
const UINT GB18030_CODE_PAGE = 54936;
// Wine before 9.0 lacks code page 54936. There text is converted by parts: GBK's one- and two-byte
// characters, which GB18030 shares, with code page 936, and the supplementary planes' four-byte
// characters (emoji, rare ideographs) by their arithmetic. The BMP's own four-byte characters,
// which take a table, become '?' one way and U+FFFD the other.
// Asked once, before any thread of the program's own starts: where the system lacks the code page,
// each asking looks for its file again.
static const bool has_gb18030 = IsValidCodePage(GB18030_CODE_PAGE) != 0;
const UINT GBK_CODE_PAGE = 936;

// The length of the whole GB18030 character at text: the second byte tells two from four.
static int character_length(const char *text, int len)
{
    if (static_cast<unsigned char>(text[0]) < 0x80 || len < 2)
        return 1;
    return text[1] >= '0' && text[1] <= '9' ? (len < 4 ? len : 4) : 2;
}

// Decodes one four-byte character into out: the count of UTF-16 units written.
static int decode_four_bytes(const unsigned char *p, wchar_t *out)
{
    long index = gb18030_index(p) - GB18030_PLANES_START;
    if (index < 0 || index > 0xFFFFF) {
        out[0] = 0xFFFD;
        return 1;
    }
    out[0] = static_cast<wchar_t>(0xD800 + (index >> 10));
    out[1] = static_cast<wchar_t>(0xDC00 + (index & 0x3FF));
    return 2;
}

// Decodes whole GB18030 characters into out, which has room for len units: the count written.
static int gb18030_to_utf16(const char *text, int len, wchar_t *out)
{
    if (has_gb18030)
        return MultiByteToWideChar(GB18030_CODE_PAGE, 0, text, len, out, len);
    int n = 0;
    for (int at = 0; at < len;) {
        int run = at;  // one- and two-byte characters
        while (run < len && character_length(text + run, len - run) != 4)
            run += character_length(text + run, len - run);
        if (run > at)
            n += MultiByteToWideChar(GBK_CODE_PAGE, 0, text + at, run - at, out + n, len - n);
        if (run + 4 <= len)
            n += decode_four_bytes(reinterpret_cast<const unsigned char *>(text) + run, out + n);
        at = run + 4;
    }
    return n;
}

// Encodes UTF-16 into GB18030 in out, which has room for four bytes a unit: the count written.
static int utf16_to_gb18030(const wchar_t *text, int n, char *out, int len)
{
    if (has_gb18030)
        return WideCharToMultiByte(GB18030_CODE_PAGE, 0, text, n, out, len, nullptr, nullptr);
    int used = 0;
    for (int at = 0; at < n;) {
        int run = at;  // no surrogates
        while (run < n && (text[run] < 0xD800 || text[run] > 0xDFFF))
            ++run;
        if (run > at)
            used += WideCharToMultiByte(GBK_CODE_PAGE, 0, text + at, run - at, out + used, len - used, nullptr, nullptr);
        if (run + 1 < n && text[run] <= 0xDBFF && text[run + 1] >= 0xDC00 && text[run + 1] <= 0xDFFF) {
            long index = ((text[run] - 0xD800L) << 10) + (text[run + 1] - 0xDC00L) + GB18030_PLANES_START;
            gb18030_code(index, out + used);
            used += 4;
            at = run + 2;
        } else if (run < n) {
            out[used++] = '?';  // half a surrogate pair
            at = run + 1;
        } else {
            at = run;
        }
    }
    return used;
}

int wide_from_gb18030(const char *text, int len, wchar_t *out)
{
    return gb18030_to_utf16(text, len, out);
}

int gb18030_from_wide(const wchar_t *text, int n, char *out, int len)
{
    return utf16_to_gb18030(text, n, out, len);
}

static HANDLE console_in = nullptr;      // standard input, if it is a console
static HANDLE console_screen = nullptr;  // standard output, if it is a console
// Typed and not yet converted: a CR that may begin a CR LF, or the first half of a surrogate pair,
// at the end of what a read returned.
static wchar_t typed_held = 0;

static HANDLE console_or_null(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

terminal_sides prepare_terminal()
{
    console_in = console_or_null(STD_INPUT_HANDLE);
    console_screen = console_or_null(STD_OUTPUT_HANDLE);
    return terminal_sides{console_in != nullptr, console_screen != nullptr};
}

// Turns the console's CR LF into LF in text[0..n), and keeps back a last unit that needs the next
// one: a CR, or the first half of a surrogate pair. Returns the count of units left to convert.
static int take_typed(wchar_t *text, int n)
{
    int kept = 0;
    for (int i = 0; i < n; ++i)
        if (!(text[i] == L'\r' && i + 1 < n && text[i + 1] == L'\n'))
            text[kept++] = text[i];
    if (kept > 0 && (text[kept - 1] == L'\r' || (text[kept - 1] >= 0xD800 && text[kept - 1] <= 0xDBFF)))
        typed_held = text[--kept];
    return kept;
}

// Reads typed text as UTF-16, whatever the console's code page, and converts it to GB18030.
static int read_console(char *buf, int len)
{
    wchar_t text[1024];
    // No UTF-16 unit takes more than four bytes in GB18030.
    int room = len / 4 < 1024 ? len / 4 : 1024;
    for (;;) {
        int n = 0;
        if (typed_held != 0)
            text[n++] = typed_held;
        typed_held = 0;
        DWORD got = 0;
        if (!ReadConsoleW(console_in, text + n, static_cast<DWORD>(room - n), &got, nullptr) || got == 0)
            return 0;
        if (text[n] == 0x1A)
            return 0;  // Ctrl-Z: the console's end of input
        n = take_typed(text, n + static_cast<int>(got));
        if (n > 0)
            return utf16_to_gb18030(text, n, buf, len);
    }
}

static bool screen_keys = false;  // the screen reads keys, not lines
static int read_console_keys(char *buf, int len);

int read_input(char *buf, int len)
{
    if (console_in != nullptr && screen_keys)
        return read_console_keys(buf, len);
    if (console_in != nullptr)
        return read_console(buf, len);
    DWORD got = 0;
    // A pipe whose writer has closed fails with ERROR_BROKEN_PIPE: that is its end.
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, static_cast<DWORD>(len), &got, nullptr))
        return 0;
    return static_cast<int>(got);
}

int show_text(const char *text, std::size_t len)
{
    if (len == 0)
        return 0;
    // No GB18030 character takes more UTF-16 units than it has bytes.
    std::vector<wchar_t> wide(len);
    int n = gb18030_to_utf16(text, static_cast<int>(len), wide.data());
    if (n <= 0)
        return -1;
    // The console shows every character in UTF-16; one its font lacks shows as a box.
    for (DWORD done = 0; done < static_cast<DWORD>(n);) {
        DWORD written = 0;
        if (!WriteConsoleW(console_screen, wide.data() + done, static_cast<DWORD>(n) - done, &written, nullptr) ||
            written == 0)
            return -1;
        done += written;
    }
    return 0;
}

int argument_in_gb18030(char **, int i, char *out, std::size_t out_len)
{
    // The wide command line carries the name whatever the console's code page; the narrow argv
    // would have lost what the code page cannot hold.
    int count = 0;
    LPWSTR *args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr)
        return -1;
    int units = i < count ? lstrlenW(args[i]) : 0;
    int n = -1;
    if (units > 0 && static_cast<std::size_t>(units) * 4 <= out_len)
        n = utf16_to_gb18030(args[i], units, out, static_cast<int>(out_len));
    LocalFree(args);
    return n;
}

std::uint32_t gb18030_code_point(const char *ch, std::size_t len)
{
    wchar_t wide[4];
    int n = len <= 4 ? gb18030_to_utf16(ch, static_cast<int>(len), wide) : 0;
    if (n == 1)
        return wide[0];
    if (n == 2 && wide[0] >= 0xD800 && wide[0] <= 0xDBFF && wide[1] >= 0xDC00 && wide[1] <= 0xDFFF)
        return 0x10000 + ((static_cast<std::uint32_t>(wide[0]) - 0xD800) << 10) + (wide[1] - 0xDC00);
    return 0xFFFD;
}

std::string utf8_from_gb18030(const std::string &text)
{
    if (text.empty())
        return text;
    // No GB18030 character takes more UTF-16 units than it has bytes, nor a unit more than three
    // bytes of UTF-8.
    std::wstring wide(text.size(), L'\0');
    int n = gb18030_to_utf16(text.data(), static_cast<int>(text.size()), &wide[0]);
    std::string out(static_cast<std::size_t>(n) * 3, '\0');
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(m > 0 ? static_cast<std::size_t>(m) : 0);
    return out;
}

std::string gb18030_from_utf8(const std::string &text)
{
    if (text.empty())
        return text;
    // Without MB_ERR_INVALID_CHARS, bytes that are no UTF-8 become U+FFFD.
    std::wstring wide(text.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], static_cast<int>(wide.size()));
    if (n <= 0)
        return std::string();
    // U+FFFD, which a damaged file brings, is put in by itself: without code page 54936 (older Wine)
    // the conversion has no four-byte codes of the BMP.
    std::string out;
    std::string part;
    for (int at = 0; at < n;) {
        int run = at;
        while (run < n && wide[static_cast<std::size_t>(run)] != 0xFFFD)
            ++run;
        part.assign(static_cast<std::size_t>(run - at) * 4, '\0');
        if (run > at)
            part.resize(static_cast<std::size_t>(utf16_to_gb18030(wide.data() + at, run - at, &part[0], static_cast<int>(part.size()))));
        out += part;
        if (run < n)
            out += GB18030_REPLACEMENT;
        at = run + 1;
    }
    return out;
}

// ---- the companion client's screen ----

// The console's modes as found, given back on leaving.
static DWORD input_mode_as_found = 0, output_mode_as_found = 0;
static volatile LONG screen_mode_on = 0;
static const char *screen_restore = "";

// Whether what the console shows takes VT sequences, once asked to: Wine's console window accepts
// the mode and then shows the sequences as text. "ESC [ C" moves the cursor one cell on a console
// that takes it; one that does not prints three cells of it. That is fine where the console has no
// window of its own to show (a pseudo console, Wine's in a terminal): a terminal shows what is
// written, and takes the sequences itself. Caller has asked for the mode.
static bool console_takes_vt()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    DWORD written = 0;
    if (!WriteConsoleA(console_screen, "\r\x1b[C", 4, &written, nullptr) ||
        !GetConsoleScreenBufferInfo(console_screen, &info))
        return false;
    bool takes = info.dwCursorPosition.X == 1;
    WriteConsoleA(console_screen, "\r   \r", 5, &written, nullptr);
    return takes || !IsWindowVisible(GetConsoleWindow());
}

// Windows 10's console takes VT sequences once asked to; older consoles refuse, and keep the line
// mode, as does one that accepts the mode but shows the sequences as text. TERM=dumb asks for the
// line mode here too, as it does on Linux.
bool screen_possible()
{
    DWORD in_mode = 0, out_mode = 0;
    const char *term = std::getenv("TERM");
    if ((term != nullptr && std::strcmp(term, "dumb") == 0) || console_in == nullptr || console_screen == nullptr || !GetConsoleMode(console_in, &in_mode) ||
        !GetConsoleMode(console_screen, &out_mode))
        return false;
    if (!SetConsoleMode(console_screen, out_mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    bool takes = console_takes_vt();
    SetConsoleMode(console_screen, out_mode);
    return takes;
}

static void restore_console()
{
    if (InterlockedExchange(&screen_mode_on, 0) == 0)
        return;
    DWORD written = 0;
    WriteConsoleA(console_screen, screen_restore, static_cast<DWORD>(std::strlen(screen_restore)), &written, nullptr);
    SetConsoleMode(console_in, input_mode_as_found);
    SetConsoleMode(console_screen, output_mode_as_found);
}

// The window closing, logging off or shutting down: the console is given back before the end.
static BOOL WINAPI console_closing(DWORD)
{
    restore_console();
    return FALSE;
}

static LONG WINAPI crashing(EXCEPTION_POINTERS *)
{
    restore_console();
    return EXCEPTION_CONTINUE_SEARCH;
}

bool enter_screen_mode(const char *restore)
{
    if (!GetConsoleMode(console_in, &input_mode_as_found) || !GetConsoleMode(console_screen, &output_mode_as_found))
        return false;
    screen_restore = restore;
    // Keys as typed, no echo, Ctrl-C a key; size changes come as events too, and are skipped.
    DWORD in_mode = (input_mode_as_found | ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS) &
                    ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                                        ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT);
    DWORD out_mode = output_mode_as_found | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    if (!SetConsoleMode(console_screen, out_mode))
        return false;
    if (!SetConsoleMode(console_in, in_mode)) {
        SetConsoleMode(console_screen, output_mode_as_found);
        return false;
    }
    screen_mode_on = 1;
    screen_keys = true;
    SetConsoleCtrlHandler(console_closing, TRUE);
    SetUnhandledExceptionFilter(crashing);
    return true;
}

void leave_screen_mode()
{
    restore_console();
}

// The keys the screen knows that type no character, as the VT sequences a terminal sends for them.
static const char *key_sequence(WORD key)
{
    switch (key) {
    case VK_LEFT: return "\x1b[D";
    case VK_RIGHT: return "\x1b[C";
    case VK_UP: return "\x1b[A";
    case VK_DOWN: return "\x1b[B";
    case VK_HOME: return "\x1b[H";
    case VK_END: return "\x1b[F";
    case VK_DELETE: return "\x1b[3~";
    default: return nullptr;
    }
}

// Reads key presses from the console: characters as UTF-16, converted to GB18030 (a surrogate pair
// may come in two events), and the editing keys as VT sequences, so that the screen reads the same
// keys on every platform.
static int read_console_keys(char *buf, int len)
{
    INPUT_RECORD events[64];
    for (;;) {
        DWORD got = 0;
        DWORD room = static_cast<DWORD>(len / 8 < 64 ? len / 8 : 64);  // no key takes more than 8 bytes
        if (!ReadConsoleInputW(console_in, events, room, &got) || got == 0)
            return 0;
        int used = 0;
        for (DWORD i = 0; i < got; ++i) {
            const KEY_EVENT_RECORD &k = events[i].Event.KeyEvent;
            if (events[i].EventType != KEY_EVENT || !k.bKeyDown)
                continue;
            for (WORD r = 0; r < (k.wRepeatCount > 0 ? k.wRepeatCount : 1) && used + 8 <= len; ++r) {
                wchar_t c = k.uChar.UnicodeChar;
                if (c == 0) {
                    const char *seq = key_sequence(k.wVirtualKeyCode);
                    if (seq != nullptr) {
                        std::memcpy(buf + used, seq, std::strlen(seq));
                        used += static_cast<int>(std::strlen(seq));
                    }
                } else if (c >= 0xD800 && c <= 0xDBFF) {
                    typed_held = c;
                } else {
                    wchar_t pair[2] = {typed_held, c};
                    bool whole = typed_held != 0 && c >= 0xDC00 && c <= 0xDFFF;
                    used += utf16_to_gb18030(whole ? pair : &c, whole ? 2 : 1, buf + used, len - used);
                    typed_held = 0;
                }
            }
        }
        if (used > 0)
            return used;
    }
}

bool terminal_size(int *rows, int *cols)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console_screen == nullptr || !GetConsoleScreenBufferInfo(console_screen, &info))
        return false;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    *cols = info.srWindow.Right - info.srWindow.Left + 1;
    return true;
}

std::size_t login_name(char *out, std::size_t len)
{
    wchar_t name[257];
    DWORD n = 257;
    if (!GetUserNameW(name, &n) || n < 2 || (n - 1) * 4 > len)
        return 0;
    int used = utf16_to_gb18030(name, static_cast<int>(n - 1), out, static_cast<int>(len));
    return used > 0 ? static_cast<std::size_t>(used) : 0;
}

bool background_dark_unless_told()
{
    return true;
}

#endif  // _WIN32
