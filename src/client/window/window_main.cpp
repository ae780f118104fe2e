// window_main.cpp - chat_window, the chat in a window of its own on Windows: the room's lines in a
// read-only RichEdit, a box to type in, a status bar, a menu, and a notice when something is said
// while the window is behind others. It sits on the client's core (../client/core): the same
// connection, commands, names heard and text rules as the terminal client, so it speaks to the room
// exactly as that does; its view of the room is in window_room.cpp.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>

#include "client/core/commands.h"
#include "client/core/connection.h"
#include "client/core/history.h"
#include "client/core/text.h"
#include "client/core/version.h"
#include "client/core/view.h"
#include "platform/net.h"
#include "platform/settings.h"
#include "platform/system.h"
#include "platform/terminal.h"
#include "window_find.h"
#include "window_resource.h"
#include "window_room.h"
#include "window_text.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <deque>
#include <string>
#include <thread>
#include <vector>


namespace {

const wchar_t WINDOW_CLASS[] = L"ChatRelayWindow";
const wchar_t TITLE[] = L"Chat";
const UINT_PTR FRAME_TIMER = 1;
const UINT FRAME_MS = 50;               // appends are batched: at most this often
const long long ALERT_GAP_MS = 5000;    // a sound and a balloon at most this often
const std::size_t CUT_STEP = 500;       // lines taken off the top of the list at once, past the cap
const long LIST_CHARS = 4L << 20;       // and the characters the list holds at most: long lines too
const std::size_t FRAME_LINES = 100;    // lines added in one frame at most: more scroll by unread
const std::size_t FRAME_CHARS = 4000;   // and their characters: a flood of long lines lets typing through too
const std::size_t FLOOD_CHARS = 3 * 16448;  // a frame with more (three of the longest lines shown) is a flood: capped
const long long SKIP_NOTE_MS = 5000;    // how often a flood's skipped lines are told
const UINT WM_TRAY = WM_APP + 1;        // the notification-area icon was clicked
const UINT WM_RELAYS = WM_APP + 2;      // the relay dialog's listening is done
const int ID_LIST = 1, ID_INPUT = 2, ID_STATUS = 3;
const char WINDOW_FILE[] = "window";    // where the window's size and place are kept

// The 12 colours of the terminal client's names, as on a light background.
const COLORREF NAME_COLOURS[12] = {
    RGB(197, 15, 31),  RGB(19, 136, 8),   RGB(160, 120, 0),  RGB(0, 55, 218),  RGB(136, 23, 152), RGB(0, 130, 150),
    RGB(231, 72, 86),  RGB(22, 160, 12),  RGB(190, 150, 0),  RGB(59, 120, 255), RGB(180, 0, 158),  RGB(0, 160, 190),
};
const COLORREF GREY = RGB(128, 128, 128);

const char USAGE[] =
    "usage: chat_window [--name NAME] [--no-history] [HOST]\n"
    "       chat_window --version\n\n"
    "Without HOST, waits for a relay's announcement on the local network and connects to the first "
    "relay heard; when the connection is lost, it finds the relay again. With --name, every line sent "
    "begins with \"NAME: \"; without it, the name is asked for once and remembered (the console "
    "client uses the same name). The window keeps what it shows, and shows the last lines again at the "
    "next start (--no-history keeps nothing in this run); Ctrl+F finds text, on into the history. Type "
    "/help in the window for its commands.";

[[noreturn]] void exit_client(int status);

window_room room;
connection *conn = nullptr;
chat_commands *commands = nullptr;

HWND main_window, list, input, status_bar;
HFONT font;
HICON app_icon;
UINT dpi = 96;
int unread = 0;
bool alerting_allowed = true;  // the bell: a sound on a mention
long long last_alert_ms = -ALERT_GAP_MS;
std::deque<long> list_lengths;  // the length of each line in the list, with its paragraph mark
long list_chars = 0;
std::size_t skipped = 0;  // lines that came faster than they could be shown, not yet told
long long skip_told_ms = 0;
LONG hanging_indent = 0;  // in twips: the width of "HH:MM ", where the rows a line wraps onto begin
// The relay dialog open now, and the count of its openings: a listing made for one that has closed
// (or for an earlier opening) is dropped, not sent to a handle that may be another window's now.
HWND relay_dialog_open = nullptr;
WPARAM relay_dialog_opening = 0;

// The window's own words (ASCII) as wide text.
std::wstring wide(const std::string &ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

void message(const std::string &ascii, UINT icon)
{
    MessageBoxW(main_window, wide(ascii).c_str(), TITLE, MB_OK | icon);
}

// ---- fonts and layout ----

UINT window_dpi(HWND w)
{
    typedef UINT(WINAPI * dpi_for_window)(HWND);
    static dpi_for_window get = reinterpret_cast<dpi_for_window>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    UINT d = get != nullptr && w != nullptr ? get(w) : 0;
    if (d == 0) {
        HDC dc = GetDC(nullptr);
        d = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSY));
        ReleaseDC(nullptr, dc);
    }
    return d;
}

// Whether the font has a glyph for Chinese.
bool shows_chinese(HFONT f)
{
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, f);
    WORD glyph = 0xFFFF;
    GetGlyphIndicesW(dc, L"\x4E2D", 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return glyph != 0xFFFF;
}

// The system's message font, at the window's DPI; if it has no Chinese, a UI font at the same size
// that has it (the RichEdit list and the edit box do not all link fonts as the rest of Windows does).
void make_font()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    LOGFONTW lf{};
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        lf = metrics.lfMessageFont;
    } else {
        lf.lfHeight = -12;
        lstrcpyW(lf.lfFaceName, L"Microsoft YaHei UI");
    }
    HDC dc = GetDC(nullptr);
    int system_dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(dpi), system_dpi);
    HFONT made = CreateFontIndirectW(&lf);
    if (made == nullptr)
        return;
    for (const wchar_t *face : {L"Microsoft YaHei UI", L"Microsoft YaHei", L"SimSun"}) {
        if (shows_chinese(made))
            break;
        LOGFONTW cjk = lf;
        lstrcpynW(cjk.lfFaceName, face, LF_FACESIZE);
        if (HFONT other = CreateFontIndirectW(&cjk)) {
            DeleteObject(made);
            made = other;
        }
    }
    if (font != nullptr)
        DeleteObject(font);
    font = made;
    HDC measure = GetDC(nullptr);
    HGDIOBJ old = SelectObject(measure, font);
    SIZE time_size{};
    GetTextExtentPoint32W(measure, L"00:00 ", 6, &time_size);
    SelectObject(measure, old);
    ReleaseDC(nullptr, measure);
    hanging_indent = MulDiv(time_size.cx, 1440, static_cast<int>(dpi));
    for (HWND w : {list, input, status_bar})
        if (w != nullptr)
            SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

int font_height()
{
    HDC dc = GetDC(input);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(input, dc);
    return tm.tmHeight > 0 ? tm.tmHeight : 16;
}

void lay_out()
{
    RECT r;
    GetClientRect(main_window, &r);
    SendMessageW(status_bar, WM_SIZE, 0, 0);
    RECT s;
    GetWindowRect(status_bar, &s);
    int status_h = s.bottom - s.top;
    int gap = MulDiv(4, static_cast<int>(dpi), 96);
    int input_h = font_height() * 3 + gap * 2;
    int bottom = r.bottom - status_h;
    int find_h = find_bar_height(font_height());
    place_find_bar(0, 0, r.right, find_h, font);
    MoveWindow(list, 0, find_h, r.right, bottom - input_h - gap - find_h, TRUE);
    MoveWindow(input, 0, bottom - input_h, r.right, input_h, TRUE);
}

// ---- the message list ----

bool list_at_bottom()
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if (!GetScrollInfo(list, SB_VERT, &si) || si.nMax <= static_cast<int>(si.nPage))
        return true;
    return si.nPos + static_cast<int>(si.nPage) >= si.nMax - 1;
}

void format_range(long from, long to, COLORREF colour, bool automatic, bool bold)
{
    CHARRANGE range{from, to};
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    CHARFORMAT2W cf{};
    cf.cbSize = sizeof cf;
    cf.dwMask = CFM_COLOR | CFM_BOLD;
    cf.dwEffects = (automatic ? CFE_AUTOCOLOR : 0) | (bold ? CFE_BOLD : 0);
    cf.crTextColor = colour;
    SendMessageW(list, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
}

// Appends a frame's lines at once. The text goes in as plain text (EM_REPLACESEL of wide text that
// begins with the time, so that nothing a peer sends can be read as RTF), and is coloured after.
// The oldest lines go once the list holds LIST_CAP and a step more.
void append_lines(const std::vector<shown_line> &lines)
{
    struct span {
        long from, to;
        COLORREF colour;
        bool automatic, bold;
    };
    std::wstring text;
    std::vector<span> spans;
    for (const shown_line &l : lines) {
        long at = list_chars + static_cast<long>(text.size());
        bool own = l.kind == shown_line::OWN;
        text += l.time + L" ";
        spans.push_back({at, at + static_cast<long>(l.time.size()), GREY, false, false});
        long name_at = list_chars + static_cast<long>(text.size());
        text += l.name;
        long text_at = list_chars + static_cast<long>(text.size());
        if (!l.name.empty())
            spans.push_back({name_at, text_at, NAME_COLOURS[l.colour % 12], false, own});
        text += l.text;
        long end = list_chars + static_cast<long>(text.size());
        if (l.kind == shown_line::NOTE || l.kind == shown_line::KEPT)
            spans.push_back({text_at, end, GREY, false, false});
        else
            spans.push_back({text_at, end, 0, true, own});
        text += L"\r";
        list_lengths.push_back(end + 1 - at);
    }
    bool at_bottom = list_at_bottom();
    CHARRANGE kept{};
    SendMessageW(list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    format_range(list_chars, list_chars, 0, true, false);
    SendMessageW(list, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    for (const span &s : spans)
        format_range(s.from, s.to, s.colour, s.automatic, s.bold);
    // The rows a long line wraps onto begin under its text, not where a line's time does: text a
    // peer pads cannot make a row that looks like a line of its own.
    CHARRANGE added{list_chars, list_chars + static_cast<long>(text.size())};
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&added));
    PARAFORMAT2 pf{};
    pf.cbSize = sizeof pf;
    pf.dwMask = PFM_STARTINDENT | PFM_OFFSET;
    pf.dxStartIndent = 0;
    pf.dxOffset = hanging_indent;
    SendMessageW(list, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&pf));
    list_chars += static_cast<long>(text.size());
    if (list_lengths.size() > LIST_CAP + CUT_STEP || list_chars > LIST_CHARS) {
        long cut = 0;
        while (list_lengths.size() > 1 && (list_lengths.size() > LIST_CAP || list_chars - cut > LIST_CHARS * 3 / 4)) {
            cut += list_lengths.front();
            list_lengths.pop_front();
        }
        CHARRANGE top{0, cut};
        SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&top));
        SendMessageW(list, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        list_chars -= cut;
        kept.cpMin = kept.cpMin > cut ? kept.cpMin - cut : 0;
        kept.cpMax = kept.cpMax > cut ? kept.cpMax - cut : 0;
    }
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    if (at_bottom)
        SendMessageW(list, WM_VSCROLL, SB_BOTTOM, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// ---- attention ----

bool in_front()
{
    return GetForegroundWindow() == main_window;
}

void show_title()
{
    std::wstring title = unread > 0 ? L"(" + std::to_wstring(unread) + L") " + TITLE : std::wstring(TITLE);
    SetWindowTextW(main_window, title.c_str());
}

void tray_icon(DWORD action, const std::wstring &balloon = L"")
{
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = main_window;
    nid.uID = 1;
    nid.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    nid.uCallbackMessage = WM_TRAY;
    nid.hIcon = app_icon;
    lstrcpynW(nid.szTip, TITLE, ARRAYSIZE(nid.szTip));
    if (!balloon.empty()) {
        nid.uFlags |= NIF_INFO;
        lstrcpynW(nid.szInfoTitle, L"You were mentioned in the chat", ARRAYSIZE(nid.szInfoTitle));
        lstrcpynW(nid.szInfo, balloon.c_str(), ARRAYSIZE(nid.szInfo));
        nid.dwInfoFlags = NIIF_INFO | NIIF_NOSOUND;
    }
    Shell_NotifyIconW(action, &nid);
}

// What a balloon says of a line: its name whole, and as much of its text as fits, cut between
// characters (never between the halves of a surrogate pair) and ended with an ellipsis.
std::wstring balloon_text(const shown_line &l)
{
    const std::size_t room = ARRAYSIZE(NOTIFYICONDATAW{}.szInfo) - 1;
    std::wstring text = l.text;
    std::size_t left = room > l.name.size() + 1 ? room - l.name.size() : 1;
    if (text.size() > left) {
        std::size_t cut = left - 1;
        if (cut > 0 && IS_HIGH_SURROGATE(text[cut - 1]))
            --cut;
        text = text.substr(0, cut) + L"\u2026";
    }
    return l.name + text;
}

void bring_forward()
{
    if (IsIconic(main_window))
        ShowWindow(main_window, SW_RESTORE);
    SetForegroundWindow(main_window);
    SetFocus(input);
}

// A frame's new lines while the window is behind others: counted in the title, the taskbar button
// flashes until the window comes forward; a mention plays the system's notification sound (if
// the bell is on) and shows a balloon, at most once every few seconds.
void attend(const std::vector<shown_line> &lines)
{
    int heard = 0;
    const shown_line *mention = nullptr;
    for (const shown_line &l : lines) {
        if (l.kind != shown_line::CHAT)
            continue;
        ++heard;
        if (l.mention)
            mention = &l;
    }
    bool behind = !in_front();
    if (heard > 0 && behind) {
        unread += heard;
        show_title();
        FLASHWINFO flash{};
        flash.cbSize = sizeof flash;
        flash.hwnd = main_window;
        flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
        FlashWindowEx(&flash);
    }
    if (mention == nullptr || now_ms() - last_alert_ms < ALERT_GAP_MS)
        return;
    last_alert_ms = now_ms();
    // WINMM.dll is no Known DLL: imported, it would be looked for beside the program first.
    typedef BOOL(WINAPI * play_sound)(const wchar_t *, HMODULE, DWORD);
    static const play_sound play = [] {
        HMODULE winmm = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return winmm == nullptr ? nullptr : reinterpret_cast<play_sound>(reinterpret_cast<void *>(GetProcAddress(winmm, "PlaySoundW")));
    }();
    const DWORD SOUND_ALIAS = 0x00010000, SOUND_ASYNC = 0x0001, SOUND_NO_DEFAULT = 0x0002;  // mmsystem.h's SND_*
    if (play == nullptr || !play(L"Notification.Default", nullptr, SOUND_ALIAS | SOUND_ASYNC | SOUND_NO_DEFAULT))
        MessageBeep(MB_ICONASTERISK);
    if (behind)
        tray_icon(NIM_MODIFY, balloon_text(*mention));
}

// ---- each frame ----

void show_status(const room_status &s)
{
    std::string text = s.relay.empty() ? "looking for the relay"
                                       : (s.connected ? "relay " + s.relay : "relay " + s.relay + " lost, reconnecting");
    text += "   name: " + (s.name.empty() ? std::string("(none)") : s.name);
    if (s.waiting > 0)
        text += "   " + std::to_string(s.waiting) + (s.waiting == 1 ? " line" : " lines") + " waiting";
    std::wstring shown = wide_text(text);
    SendMessageW(status_bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    CheckMenuItem(GetMenu(main_window), IDM_BELL, MF_BYCOMMAND | (s.bell ? MF_CHECKED : MF_UNCHECKED));
    alerting_allowed = s.bell;
}

void frame()
{
    std::vector<shown_line> lines;
    room_status s;
    bool changed = false;
    room.take(lines, s, changed);
    if (changed)
        show_status(s);
    if (!lines.empty()) {
        attend(lines);
        // A room faster than anyone reads (hundreds of lines a frame, or long ones) would hold the
        // window's thread, and so the typing, for seconds: in such a flood the newest lines show, as
        // many and as long as a frame takes, and the rest are counted. What a quiet room sends at
        // once (a few of the longest lines, say) all shows, and so do the history's lines (shown
        // again at the start, or found), which come once.
        auto chars_of = [](const shown_line &l) { return l.time.size() + l.name.size() + l.text.size() + 2; };
        std::size_t live = 0, live_chars = 0;
        for (const shown_line &l : lines)
            if (l.kind != shown_line::KEPT) {
                ++live;
                live_chars += chars_of(l);
            }
        if (live > FRAME_LINES || live_chars > FLOOD_CHARS) {
            std::size_t kept = 0, chars = 0, from = lines.size();  // the room's lines before `from` go
            for (std::size_t i = lines.size(); i-- > 0;) {
                if (lines[i].kind == shown_line::KEPT)
                    continue;
                chars += chars_of(lines[i]);
                if (kept == FRAME_LINES || (kept > 0 && chars > FRAME_CHARS))
                    break;
                ++kept;
                from = i;
            }
            std::vector<shown_line> shown;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                if (i >= from || lines[i].kind == shown_line::KEPT)
                    shown.push_back(std::move(lines[i]));
                else
                    ++skipped;
            }
            lines.swap(shown);
            // One long line alone can hold the thread as long (the list wraps it as it goes in):
            // in a flood, the last line shows as much as a frame takes.
            for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
                if (l->kind == shown_line::KEPT)
                    continue;
                if (l->text.size() > FRAME_CHARS) {
                    std::size_t left_out = l->text.size() - FRAME_CHARS;
                    l->text.resize(FRAME_CHARS);
                    l->text += L" ... (" + std::to_wstring(left_out) + L" characters not shown)";
                }
                break;
            }
        }
        if (skipped > 0 && now_ms() - skip_told_ms >= SKIP_NOTE_MS) {
            shown_line note = lines.front();
            note.kind = shown_line::NOTE;
            note.name.clear();
            note.text = L"*** " + std::to_wstring(skipped) + L" lines came faster than the window could show them: skipped";
            lines.insert(lines.begin(), note);
            skipped = 0;
            skip_told_ms = now_ms();
        }
        append_lines(lines);
    }
    if (room.lost_status() >= 0)
        exit_client(room.lost_status());
}

// Each line in the input box goes as a line, a command or one for the room; the box is emptied.
void send_typed()
{
    int n = GetWindowTextLengthW(input);
    std::wstring typed(static_cast<std::size_t>(n) + 1, L'\0');
    GetWindowTextW(input, &typed[0], n + 1);
    typed.resize(static_cast<std::size_t>(n));
    SetWindowTextW(input, L"");
    std::size_t from = 0;
    while (from <= typed.size()) {
        std::size_t end = typed.find_first_of(L"\r\n", from);
        if (end == std::wstring::npos)
            end = typed.size();
        if (!commands->entered(gb18030_text(typed.substr(from, end - from)))) {
            DestroyWindow(main_window);  // /quit
            return;
        }
        if (end < typed.size() && typed[end] == L'\r' && end + 1 < typed.size() && typed[end + 1] == L'\n')
            ++end;
        from = end + 1;
    }
}

// ---- the window's size and place, remembered ----

void restore_placement()
{
    char text[128];
    char why[512];
    long n = read_settings_file(WINDOW_FILE, text, sizeof text - 1, why, sizeof why);
    if (n <= 0)
        return;
    text[n] = '\0';
    RECT r;
    int maximized = 0;
    if (std::sscanf(text, "%ld %ld %ld %ld %d", &r.left, &r.top, &r.right, &r.bottom, &maximized) != 5 ||
        r.right - r.left < 200 || r.bottom - r.top < 150 || MonitorFromRect(&r, MONITOR_DEFAULTTONULL) == nullptr)
        return;  // a place on a screen that is gone is no place
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    GetWindowPlacement(main_window, &wp);
    wp.rcNormalPosition = r;
    wp.showCmd = maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    SetWindowPlacement(main_window, &wp);
}

void save_placement()
{
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(main_window, &wp))
        return;
    const RECT &r = wp.rcNormalPosition;
    char text[128];
    int n = std::snprintf(text, sizeof text, "%ld %ld %ld %ld %d\n", r.left, r.top, r.right, r.bottom,
                          wp.showCmd == SW_SHOWMAXIMIZED ? 1 : 0);
    char why[512];
    write_settings_file(WINDOW_FILE, text, static_cast<std::size_t>(n), why, sizeof why);
}

// ---- dialogs ----

// A dialog's buttons. Cancel closes it. OK hands the text in the box (GB18030) to take, which
// closes the dialog by returning true, or keeps it open (having shown why) by returning false.
// TRUE if the command was one of the two.
template <typename Take>
INT_PTR ok_or_cancel(HWND dlg, WPARAM wp, int box, Take take)
{
    if (LOWORD(wp) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
    }
    if (LOWORD(wp) != IDOK)
        return FALSE;
    wchar_t typed[256] = L"";  // a name takes 32 at most; a longer address is cut here
    GetDlgItemTextW(dlg, box, typed, 256);
    if (take(gb18030_text(typed)))
        EndDialog(dlg, IDOK);
    return TRUE;
}

struct name_ask {
    std::wstring offered;
    std::string chosen;  // GB18030
};

INT_PTR CALLBACK name_dialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    name_ask *ask = reinterpret_cast<name_ask *>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        ask = reinterpret_cast<name_ask *>(lp);
        SendDlgItemMessageW(dlg, IDC_NAME_EDIT, EM_LIMITTEXT, 32, 0);
        SetDlgItemTextW(dlg, IDC_NAME_EDIT, ask->offered.c_str());
        SendDlgItemMessageW(dlg, IDC_NAME_EDIT, EM_SETSEL, 0, -1);
        SetFocus(GetDlgItem(dlg, IDC_NAME_EDIT));
        return FALSE;
    case WM_COMMAND:
        return ok_or_cancel(dlg, wp, IDC_NAME_EDIT, [dlg, ask](const std::string &name) {
            if (const char *why = name_refusal(name)) {
                SetDlgItemTextW(dlg, IDC_NAME_PROBLEM, wide(why).c_str());
                return false;
            }
            ask->chosen = name;
            return true;
        });
    }
    return FALSE;
}

// Asks for a name, offering one: the name chosen (GB18030), or "" if the person cancelled.
std::string ask_name(const std::string &offered)
{
    name_ask ask;
    ask.offered = shown_text(offered);
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_NAME), main_window, name_dialog,
                        reinterpret_cast<LPARAM>(&ask)) != IDOK)
        return "";
    return ask.chosen;
}

// The relays heard, handed from the listening thread to the dialog if it is still open.
struct relays_found {
    std::vector<std::string> addresses;
};

INT_PTR CALLBACK relay_dialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG: {
        // The listing goes to the main window, which lives as long as the process, and on from
        // there to this dialog only if it is still the one open.
        relay_dialog_open = dlg;
        WPARAM opening = ++relay_dialog_opening;
        std::thread([opening] {
            relays_found *found = new relays_found{conn->relays_heard()};
            if (!PostMessageW(main_window, WM_RELAYS, opening, reinterpret_cast<LPARAM>(found)))
                delete found;
        }).detach();
        return TRUE;
    }
    case WM_DESTROY:
        relay_dialog_open = nullptr;
        return FALSE;
    case WM_RELAYS: {
        relays_found *found = reinterpret_cast<relays_found *>(lp);
        for (const std::string &a : found->addresses)
            SendDlgItemMessageW(dlg, IDC_RELAY_COMBO, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(a).c_str()));
        std::string said = found->addresses.empty() ? "No relay announced itself within 4 s. Type an address."
                                                    : "Relays heard now: " + std::to_string(found->addresses.size()) +
                                                          ". Choose one, or type an address.";
        SetDlgItemTextW(dlg, IDC_RELAY_PROMPT, wide(said).c_str());
        if (!found->addresses.empty() && GetWindowTextLengthW(GetDlgItem(dlg, IDC_RELAY_COMBO)) == 0)
            SendDlgItemMessageW(dlg, IDC_RELAY_COMBO, CB_SETCURSEL, 0, 0);
        return TRUE;
    }
    case WM_COMMAND:
        return ok_or_cancel(dlg, wp, IDC_RELAY_COMBO, [](std::string address) {
            while (!address.empty() && address.back() == ' ')
                address.pop_back();
            while (!address.empty() && address.front() == ' ')
                address.erase(0, 1);
            if (!address.empty())
                commands->move_to(address);
            return true;
        });
    }
    return FALSE;
}

void open_guide()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring guide(path, n);
    guide = guide.substr(0, guide.find_last_of(L"\\/") + 1) + L"README.txt";
    if (reinterpret_cast<INT_PTR>(ShellExecuteW(main_window, L"open", guide.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) <= 32)
        MessageBoxW(main_window, (L"The Windows guide was not found at " + guide).c_str(), TITLE, MB_OK | MB_ICONINFORMATION);
}

void menu(int id)
{
    switch (id) {
    case IDM_NAME: {
        std::string name = ask_name(commands->name());
        if (!name.empty())
            commands->change_name(name);
        break;
    }
    case IDM_RELAY:
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_RELAY), main_window, relay_dialog, 0);
        break;
    case IDM_BELL:
        commands->set_bell(!alerting_allowed);
        break;
    case IDM_GUIDE:
        open_guide();
        break;
    case IDM_ABOUT:
        message("Chat (chat_window) " PROJECT_VERSION "\n\nA window to chat in with everyone on the local network "
                "through the chat relay, in one room with the console client.",
                MB_ICONINFORMATION);
        break;
    case IDM_EXIT:
        DestroyWindow(main_window);
        break;
    }
    SetFocus(input);
}

LRESULT CALLBACK window_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_SIZE:
        if (list != nullptr)
            lay_out();
        return 0;
    case WM_TIMER:
        if (wp == FRAME_TIMER)
            frame();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wp) != WA_INACTIVE) {
            unread = 0;
            show_title();
            FLASHWINFO flash{};
            flash.cbSize = sizeof flash;
            flash.hwnd = w;
            flash.dwFlags = FLASHW_STOP;
            FlashWindowEx(&flash);
            SetFocus(input);
            return 0;
        }
        break;
    case WM_COMMAND:
        if (lp == 0) {
            menu(LOWORD(wp));
            return 0;
        }
        break;
    case WM_TRAY:
        if (LOWORD(lp) == WM_LBUTTONUP || LOWORD(lp) == NIN_BALLOONUSERCLICK)
            bring_forward();
        return 0;
    case WM_RELAYS:  // a listing for the relay dialog: shown if the dialog it was made for is open
        if (relay_dialog_open != nullptr && wp == relay_dialog_opening)
            SendMessageW(relay_dialog_open, WM_RELAYS, 0, lp);
        delete reinterpret_cast<relays_found *>(lp);
        return 0;
    case 0x02E0: {  // WM_DPICHANGED: the window moved to a screen of another scale
        dpi = HIWORD(wp);
        const RECT *r = reinterpret_cast<const RECT *>(lp);
        SetWindowPos(w, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
        make_font();
        lay_out();
        return 0;
    }
    case WM_CLOSE:
        DestroyWindow(w);
        return 0;
    case WM_DESTROY:
        save_placement();
        tray_icon(NIM_DELETE);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

struct options {
    std::string name;  // GB18030; empty: the remembered one, or asked for
    std::string host;
    bool no_history = false;
};

// Reads the command line: 0 to go on, or the exit status after a message for --help, --version
// or nonsense.
int parse_options(options &opts)
{
    int count = 0;
    LPWSTR *args = CommandLineToArgvW(GetCommandLineW(), &count);
    int status = 0;
    bool named = false;
    for (int i = 1; args != nullptr && i < count && status == 0; ++i) {
        std::wstring a = args[i];
        if (a == L"-h" || a == L"--help") {
            message(USAGE, MB_ICONINFORMATION);
            status = -1;
        } else if (a == L"--version") {
            message("chat_window " PROJECT_VERSION, MB_ICONINFORMATION);
            status = -1;
        } else if (a == L"--name" && i + 1 < count && args[i + 1][0] != L'\0' && !named) {
            opts.name = gb18030_text(args[++i]);
            named = true;
            if (const char *why = name_refusal(opts.name)) {  // as chat_client says it
                message(std::string("chat_window: --name: ") + why, MB_ICONERROR);
                status = EXIT_USAGE;
            }
        } else if (a == L"--no-history") {
            opts.no_history = true;
        } else if (!a.empty() && a[0] != L'-' && opts.host.empty()) {
            opts.host = gb18030_text(a);
        } else {
            message(USAGE, MB_ICONERROR);
            status = EXIT_USAGE;
        }
    }
    if (args != nullptr)
        LocalFree(args);
    return status;
}

HWND make_window(HINSTANCE instance)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hIcon = app_icon;
    wc.hIconSm = app_icon;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MENU);
    wc.lpszClassName = WINDOW_CLASS;
    RegisterClassExW(&wc);
    HWND w = CreateWindowExW(0, WINDOW_CLASS, TITLE, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                             CW_USEDEFAULT, 720, 520, nullptr, nullptr, instance, nullptr);
    if (w == nullptr)
        return nullptr;
    main_window = w;
    dpi = window_dpi(w);
    list = CreateWindowExW(WS_EX_CLIENTEDGE, MSFTEDIT_CLASS, L"",
                           WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                           0, 0, 10, 10, w, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_LIST)), instance, nullptr);
    input = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
                            0, 0, 10, 10, w, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_INPUT)), instance, nullptr);
    status_bar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, w,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_STATUS)), instance, nullptr);
    if (list == nullptr || input == nullptr || status_bar == nullptr)
        return nullptr;
    // Text goes in only as plain text (append_lines); no links are made of it.
    SendMessageW(list, EM_AUTOURLDETECT, FALSE, 0);
    SendMessageW(list, EM_SETUNDOLIMIT, 0, 0);
    SendMessageW(list, EM_SETLANGOPTIONS, 0, IMF_AUTOFONT | IMF_DUALFONT);
    SendMessageW(list, EM_EXLIMITTEXT, 0, 64 << 20);
    SendMessageW(input, EM_LIMITTEXT, 64 * 1024, 0);
    make_find_bar(w, list, input, room, lay_out);
    make_font();
    lay_out();
    return w;
}

// Every way out of the window's process. The connection always finds the relay again, so a loss
// the core cannot recover from is not expected; with the other failures the process ends, its
// window and icon with it.
void exit_client(int status)
{
    client_history().flush();
    if (main_window != nullptr)
        tray_icon(NIM_DELETE);
    ExitProcess(static_cast<UINT>(status));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    load_libraries_from_system_only();
    options opts;
    int status = parse_options(opts);
    if (status != 0)
        exit_client(status < 0 ? 0 : status);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    if (LoadLibraryExW(L"Msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr) {
        message("Msftedit.dll (RichEdit 4.1) could not be loaded", MB_ICONERROR);
        exit_client(EXIT_USAGE);
    }
    if (net_startup() != 0) {
        message("the socket layer did not start", MB_ICONERROR);
        exit_client(EXIT_USAGE);
    }
    app_icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    if (make_window(instance) == nullptr) {
        message("the window could not be made", MB_ICONERROR);
        exit_client(EXIT_USAGE);
    }
    ShowWindow(main_window, show == SW_SHOWDEFAULT || show == SW_SHOWNORMAL ? SW_SHOW : show);
    restore_placement();
    tray_icon(NIM_ADD);
    std::string name = opts.name;
    if (name.empty())  // the first start asks, offering the Windows user name
        name = name_for_person([](const std::string &offered, const char *) { return ask_name(offered); },
                               [](const std::string &said) { room.note(said); });
    connection_options how;
    how.host = opts.host;
    how.reconnect = true;
    how.tell_heard = true;
    how.remember_relay = true;
    // The core lives as long as the process, as its threads do.
    static connection connected(how, room);
    static chat_commands chat(connected, room, name);
    conn = &connected;
    commands = &chat;
    room.tell_lines_to([](const std::string &line) { return chat.heard(line); });
    if (opts.no_history)
        chat.no_history();
    chat.start();
    SetFocus(input);
    SetTimer(main_window, FRAME_TIMER, FRAME_MS, nullptr);
    std::thread([] {
        connected.connect_first();
        connected.start();
    }).detach();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (find_bar_key(msg))
            continue;  // Ctrl+F, and the find bar's keys
        if (msg.message == WM_KEYDOWN && msg.hwnd == input && msg.wParam == VK_RETURN &&
            (GetKeyState(VK_SHIFT) & 0x8000) == 0) {
            send_typed();  // Enter sends; Shift+Enter starts a new line in the box
            continue;
        }
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB && (msg.hwnd == input || msg.hwnd == list) &&
            (GetKeyState(VK_CONTROL) & 0x8000) == 0) {
            SetFocus(msg.hwnd == input ? list : input);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    exit_client(0);
}
