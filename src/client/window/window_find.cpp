// window_find.cpp - the find bar: a window of its own class holding a box, two buttons and a word
// on what was found, searching the RichEdit list with EM_FINDTEXTEXW (the case of letters aside)
// and showing the match as the list's selection.
#include "window_find.h"

#include <richedit.h>

#include "client/core/history.h"
#include "window_text.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t BAR_CLASS[] = L"ChatRelayFind";
const int ID_LABEL = 1, ID_TEXT = 2, ID_NEXT = 3, ID_PREVIOUS = 4, ID_FOUND = 5;
const std::size_t FROM_HISTORY = 20;  // lines of the history listed when the list has no more
// What the history's search found, posted to the bar by the thread that searched: lParam is the
// lines (a std::vector<kept_line> of the heap, the bar's to delete).
const UINT HISTORY_FOUND = WM_APP + 40;

HWND bar = nullptr, text_box, found_label, list_box, input_box;
chat_view *room_view_of_bar = nullptr;
void (*relayout_main)() = nullptr;
bool open = false;
std::wstring history_searched;  // the text the history was last searched for, from the bar

void say(const std::wstring &what)
{
    SetWindowTextW(found_label, what.c_str());
}

std::wstring typed()
{
    int n = GetWindowTextLengthW(text_box);
    std::wstring t(static_cast<std::size_t>(n) + 1, L'\0');
    GetWindowTextW(text_box, &t[0], n + 1);
    t.resize(static_cast<std::size_t>(n));
    return t;
}

// The list's text as its positions count it: a paragraph ends with a CR alone.
std::wstring list_text()
{
    GETTEXTLENGTHEX how_long{GTL_NUMCHARS | GTL_PRECISE, 1200};
    LRESULT n = SendMessageW(list_box, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&how_long), 0);
    if (n <= 0)
        return std::wstring();
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    GETTEXTEX get{};
    get.cb = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    get.flags = GT_DEFAULT;
    get.codepage = 1200;  // UTF-16
    n = SendMessageW(list_box, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&get), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

// The text with its letters in lower case, by the system's rule: the case of letters aside.
std::wstring lowered(std::wstring text)
{
    if (!text.empty())
        CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// Lists the history's newest lines that say the text, below the conversation. The search (files
// of any size, a network folder that may hang) is a thread's of its own, never the window's: what
// it finds comes back as HISTORY_FOUND.
void go_on_into_history(const std::wstring &what)
{
    std::string text = gb18030_text(what);
    say(L"searching the history...");
    HWND to = bar;
    std::thread([to, text] {
        auto *found = new std::vector<kept_line>(chat_history::search(text, FROM_HISTORY));
        if (!PostMessageW(to, HISTORY_FOUND, 0, reinterpret_cast<LPARAM>(found)))
            delete found;
    }).detach();
}

void history_found(std::vector<kept_line> *lines)
{
    std::unique_ptr<std::vector<kept_line>> owned(lines);
    const std::vector<kept_line> &found = *owned;
    if (found.empty()) {
        say(L"not found, nor in the history");
        return;
    }
    room_view_of_bar->answer("found in the history (the newest " + std::to_string(found.size()) + "):");
    room_view_of_bar->history_lines(found, true);
    say(L"not above: the history's lines that say it are listed at the bottom");
}

// Finds the next match up (older), or down (newer), from the selection; selects it and scrolls to it.
void find(bool up)
{
    const std::wstring as_typed = typed();
    std::wstring what = as_typed;
    if (what.empty()) {
        say(L"");
        return;
    }
    CHARRANGE sel{};
    SendMessageW(list_box, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&sel));
    std::wstring all = lowered(list_text());
    what = lowered(what);
    bool nothing_selected = sel.cpMin == sel.cpMax || sel.cpMin < 0;
    std::size_t at;
    if (up) {
        std::size_t before = nothing_selected ? all.size() : static_cast<std::size_t>(sel.cpMin);
        at = before == 0 ? std::wstring::npos : all.rfind(what, before - 1);
    } else {
        at = all.find(what, nothing_selected ? 0 : static_cast<std::size_t>(sel.cpMax));
    }
    if (at == std::wstring::npos) {
        if (up && history_searched != what) {
            go_on_into_history(as_typed);
            history_searched = what;
            // The next step up starts again from the bottom, where the history's lines now are.
            CHARRANGE none{-1, -1};
            SendMessageW(list_box, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&none));
        } else {
            say(up ? L"no more above" : L"no more below");
        }
        return;
    }
    CHARRANGE match{static_cast<LONG>(at), static_cast<LONG>(at + what.size())};
    SendMessageW(list_box, EM_HIDESELECTION, FALSE, 0);
    SendMessageW(list_box, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&match));
    SendMessageW(list_box, EM_SCROLLCARET, 0, 0);
    say(L"found");
}

void show_bar(bool show)
{
    open = show;
    ShowWindow(bar, show ? SW_SHOW : SW_HIDE);
    relayout_main();
    if (show) {
        SetFocus(text_box);
        SendMessageW(text_box, EM_SETSEL, 0, -1);
    } else {
        SendMessageW(list_box, EM_HIDESELECTION, TRUE, 0);
        SetFocus(input_box);
    }
}

LRESULT CALLBACK bar_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == HISTORY_FOUND) {
        history_found(reinterpret_cast<std::vector<kept_line> *>(lp));
        return 0;
    }
    if (msg == WM_COMMAND && (LOWORD(wp) == ID_NEXT || LOWORD(wp) == ID_PREVIOUS) && HIWORD(wp) == BN_CLICKED) {
        find(LOWORD(wp) == ID_NEXT);
        SetFocus(text_box);
        return 0;
    }
    if (msg == WM_COMMAND && LOWORD(wp) == ID_TEXT && HIWORD(wp) == EN_CHANGE) {
        say(L"");
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

HWND control(const wchar_t *cls, const wchar_t *text, DWORD style, int id, DWORD ex = 0)
{
    return CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, bar,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

void make_find_bar(HWND parent, HWND list, HWND input, chat_view &room, void (*relayout)())
{
    list_box = list;
    input_box = input;
    room_view_of_bar = &room;
    relayout_main = relayout;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = bar_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = BAR_CLASS;
    RegisterClassExW(&wc);
    bar = CreateWindowExW(0, BAR_CLASS, L"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, 10, 10, parent, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
    control(L"STATIC", L"Find:", SS_CENTERIMAGE, ID_LABEL);
    text_box = control(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, ID_TEXT, WS_EX_CLIENTEDGE);
    control(L"BUTTON", L"Next (older)", WS_TABSTOP | BS_PUSHBUTTON, ID_NEXT);
    control(L"BUTTON", L"Previous", WS_TABSTOP | BS_PUSHBUTTON, ID_PREVIOUS);
    found_label = control(L"STATIC", L"", SS_CENTERIMAGE | SS_ENDELLIPSIS, ID_FOUND);
    SendMessageW(text_box, EM_LIMITTEXT, 256, 0);
}

int find_bar_height(int font_height)
{
    return open ? font_height + font_height / 2 + 6 : 0;
}

void place_find_bar(int x, int y, int width, int height, HFONT font)
{
    if (bar == nullptr)
        return;  // not made yet
    MoveWindow(bar, x, y, width, height, TRUE);
    int h = height - 4, unit = height * 3;
    int at = 2;
    struct {
        int id, w;
    } row[] = {{ID_LABEL, unit / 2 + 8}, {ID_TEXT, unit * 3}, {ID_NEXT, unit + unit / 3}, {ID_PREVIOUS, unit}, {ID_FOUND, width}};
    for (auto &c : row) {
        HWND w = GetDlgItem(bar, c.id);
        SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        int cw = c.id == ID_FOUND ? (width - at - 4 > 0 ? width - at - 4 : 0) : c.w;
        MoveWindow(w, at, 2, cw, h, TRUE);
        at += cw + 4;
    }
}

bool find_bar_key(const MSG &msg)
{
    if (msg.message != WM_KEYDOWN || bar == nullptr)
        return false;
    bool ctrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0, shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    if (ctrl && msg.wParam == 'F') {
        show_bar(true);
        return true;
    }
    if (!open)
        return false;
    if (msg.wParam == VK_F3 || (msg.hwnd == text_box && msg.wParam == VK_RETURN)) {
        find(!shift);
        return true;
    }
    if (msg.wParam == VK_ESCAPE && (msg.hwnd == text_box || GetParent(msg.hwnd) == bar)) {
        show_bar(false);
        return true;
    }
    return false;
}
