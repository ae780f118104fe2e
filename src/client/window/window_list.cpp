// window_list.cpp - the conversation list and the window's fonts: the room's lines go into a
// read-only RichEdit as plain text and are coloured after; the oldest go past a cap.
#include "window_list.h"

#include <richedit.h>

#include "window_find.h"
#include "window_shared.h"

#include <cstdlib>
#include <deque>
#include <string>
#include <utility>

namespace {

const std::size_t LIST_CAP = 3000;  // lines kept in the list
const std::size_t CUT_STEP = 500;  // lines taken off the top of the list at once, past the cap
const long LIST_CHARS = 4L << 20;  // and the characters the list holds at most: long lines too
const int ZOOM_LEAST = 50, ZOOM_MOST = 300;  // the text's size, in percent of the system's
const char ZOOM_FILE[] = "text-size";  // where it is kept

// A line in the list: its parts' lengths (the list's characters, its paragraph mark counted), how
// they are coloured, and its links (where in its text, and how long).
struct list_line {
    long length = 0;
    long time_length = 0, name_length = 0;
    int colour = 0;
    bool own = false, dim = false;
    std::vector<std::pair<long, long>> links;
};

HWND main_window = nullptr, list = nullptr, input = nullptr, status_bar = nullptr;
const window_look *look = nullptr;  // the colours in use
HFONT font = nullptr;
UINT dpi = 96;
int zoom = 100;  // the text's size, in percent of the system's
LONG hanging_indent = 0;  // in twips: the width of "HH:MM ", where the rows a line wraps onto begin
std::deque<list_line> list_lines;  // each line in the list
long list_chars = 0;

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

bool list_at_bottom()
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if (!GetScrollInfo(list, SB_VERT, &si) || si.nMax <= static_cast<int>(si.nPage))
        return true;
    return si.nPos + static_cast<int>(si.nPage) >= si.nMax - 1;
}

// Colours the characters from..to (and makes them a link, or not), through the selection.
void format_range(long from, long to, COLORREF colour, bool bold, bool link = false)
{
    CHARRANGE range{from, to};
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    CHARFORMAT2W cf{};
    cf.cbSize = sizeof cf;
    cf.dwMask = CFM_COLOR | CFM_BOLD | CFM_LINK | CFM_UNDERLINE;
    cf.dwEffects = (bold ? CFE_BOLD : 0) | (link ? CFE_LINK | CFE_UNDERLINE : 0);
    cf.crTextColor = colour;
    SendMessageW(list, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
}

// Colours one line of the list, which begins at `at`, in the look in use; its links made links.
void colour_line(long at, const list_line &l)
{
    long name_at = at + l.time_length + 1, text_at = name_at + l.name_length, end = at + l.length - 1;
    format_range(at, at + l.time_length, look->dim, false);
    if (l.name_length > 0)
        format_range(name_at, text_at, look->names[l.colour % 12], l.own);
    format_range(text_at, end, l.dim ? look->dim : look->text, l.own);
    for (const std::pair<long, long> &link : l.links)
        format_range(text_at + link.first, text_at + link.first + link.second, look->link, l.own, true);
}

}  // namespace

void make_list(HWND main, HWND the_list, HWND the_input, HWND bar, const window_look &colours)
{
    main_window = main;
    list = the_list;
    input = the_input;
    status_bar = bar;
    look = &colours;
}

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

// The system's message font, at the window's DPI; if it has no Chinese, a UI font at the same size
// that has it (the RichEdit list and the edit box do not all link fonts as the rest of Windows does).
void make_font(UINT scale)
{
    dpi = scale;
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
    lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(dpi) * zoom, system_dpi * 100);
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

// Appends a frame's lines at once. The text goes in as plain text (EM_REPLACESEL of wide text that
// begins with the time, so that nothing a peer sends can be read as RTF), and is coloured after.
// The oldest lines go once the list holds LIST_CAP and a step more.
void append_lines(const std::vector<shown_line> &lines)
{
    std::wstring text;
    std::size_t first = list_lines.size();
    for (const shown_line &l : lines) {
        list_line record;
        record.time_length = static_cast<long>(l.time.size());
        record.name_length = static_cast<long>(l.name.size());
        record.length = record.time_length + 1 + record.name_length + static_cast<long>(l.text.size()) + 1;
        record.colour = l.colour;
        // A line of the history as it was shown: our own bold, a note dimmed, a peer's plain (a
        // peer's line that reads as a note or as ours looks like neither).
        bool kept = l.kind == shown_line::KEPT;
        record.own = l.kind == shown_line::OWN || (kept && l.kept == kept_kind::own);
        record.dim = l.kind == shown_line::NOTE || (kept && l.kept == kept_kind::note);
        for (const auto &a : l.links)
            record.links.emplace_back(static_cast<long>(a.first), static_cast<long>(a.second));
        text += l.time + L" " + l.name + l.text + L"\r";
        list_lines.push_back(record);
    }
    bool at_bottom = list_at_bottom();
    CHARRANGE kept{};
    SendMessageW(list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    format_range(list_chars, list_chars, look->text, false);
    SendMessageW(list, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    for (long at = list_chars; first < list_lines.size(); at += list_lines[first++].length)
        colour_line(at, list_lines[first]);
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
    if (list_lines.size() > LIST_CAP + CUT_STEP || list_chars > LIST_CHARS) {
        long cut = 0;
        while (list_lines.size() > 1 && (list_lines.size() > LIST_CAP || list_chars - cut > LIST_CHARS * 3 / 4)) {
            cut += list_lines.front().length;
            list_lines.pop_front();
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


void recolour_list()
{
    if (list == nullptr)
        return;
    SendMessageW(list, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(look->background));
    CHARRANGE kept{};
    SendMessageW(list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    POINT scrolled{};
    SendMessageW(list, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scrolled));
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    long at = 0;
    for (const list_line &l : list_lines) {
        colour_line(at, l);
        at += l.length;
    }
    format_range(list_chars, list_chars, look->text, false);
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(list, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scrolled));
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void zoom_text(int step)
{
    int percent = step == 0 ? 100 : zoom + step;
    percent = percent < ZOOM_LEAST ? ZOOM_LEAST : percent > ZOOM_MOST ? ZOOM_MOST : percent;
    if (percent == zoom)
        return;
    zoom = percent;
    make_font(dpi);
    // The lines already shown wrap under their text at the new size too.
    CHARRANGE kept{}, all{0, -1};
    SendMessageW(list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
    PARAFORMAT2 pf{};
    pf.cbSize = sizeof pf;
    pf.dwMask = PFM_STARTINDENT | PFM_OFFSET;
    pf.dxOffset = hanging_indent;
    SendMessageW(list, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&pf));
    SendMessageW(list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    lay_out();
    write_setting(ZOOM_FILE, std::to_string(zoom) + "\n");
}

void restore_zoom()
{
    int percent = std::atoi(read_setting(ZOOM_FILE, 15).c_str());
    if (percent >= ZOOM_LEAST && percent <= ZOOM_MOST)
        zoom = percent;
}
