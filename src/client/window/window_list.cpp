// window_list.cpp - the conversation list and the window's fonts: the room's lines go into a
// read-only RichEdit as plain text and are coloured after; the oldest go past a cap.
#include "window_list.h"

#include <richedit.h>

#include "platform/settings.h"
#include "window_find.h"
#include "window_links.h"
#include "window_state.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::size_t CUT_STEP = 500;  // lines taken off the top of the list at once, past the cap
const long LIST_CHARS = 4L << 20;  // and the characters the list holds at most: long lines too
const int ZOOM_LEAST = 50, ZOOM_MOST = 300;  // the text's size, in percent of the system's
const char ZOOM_FILE[] = "text-size";  // where it is kept

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
    HDC dc = GetDC(ui.input);
    HGDIOBJ old = SelectObject(dc, ui.font);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(ui.input, dc);
    return tm.tmHeight > 0 ? tm.tmHeight : 16;
}

bool list_at_bottom()
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if (!GetScrollInfo(ui.list, SB_VERT, &si) || si.nMax <= static_cast<int>(si.nPage))
        return true;
    return si.nPos + static_cast<int>(si.nPage) >= si.nMax - 1;
}

// Colours the characters from..to (and makes them a link, or not), through the selection.
void format_range(long from, long to, COLORREF colour, bool bold, bool link = false)
{
    CHARRANGE range{from, to};
    SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    CHARFORMAT2W cf{};
    cf.cbSize = sizeof cf;
    cf.dwMask = CFM_COLOR | CFM_BOLD | CFM_LINK | CFM_UNDERLINE;
    cf.dwEffects = (bold ? CFE_BOLD : 0) | (link ? CFE_LINK | CFE_UNDERLINE : 0);
    cf.crTextColor = colour;
    SendMessageW(ui.list, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
}

// Colours one line of the list, which begins at `at`, in the look in use; its links made links.
void colour_line(long at, const list_line &l)
{
    long name_at = at + l.time_length + 1, text_at = name_at + l.name_length, end = at + l.length - 1;
    format_range(at, at + l.time_length, ui.look.dim, false);
    if (l.name_length > 0)
        format_range(name_at, text_at, ui.look.names[l.colour % 12], l.own);
    format_range(text_at, end, l.dim ? ui.look.dim : ui.look.text, l.own);
    for (const std::pair<long, long> &link : l.links)
        format_range(text_at + link.first, text_at + link.first + link.second, ui.look.link, l.own, true);
}

}  // namespace

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
    lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(ui.dpi) * ui.zoom, system_dpi * 100);
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
    if (ui.font != nullptr)
        DeleteObject(ui.font);
    ui.font = made;
    HDC measure = GetDC(nullptr);
    HGDIOBJ old = SelectObject(measure, ui.font);
    SIZE time_size{};
    GetTextExtentPoint32W(measure, L"00:00 ", 6, &time_size);
    SelectObject(measure, old);
    ReleaseDC(nullptr, measure);
    ui.hanging_indent = MulDiv(time_size.cx, 1440, static_cast<int>(ui.dpi));
    for (HWND w : {ui.list, ui.input, ui.status_bar})
        if (w != nullptr)
            SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(ui.font), TRUE);
}

void lay_out()
{
    RECT r;
    GetClientRect(ui.main_window, &r);
    SendMessageW(ui.status_bar, WM_SIZE, 0, 0);
    RECT s;
    GetWindowRect(ui.status_bar, &s);
    int status_h = s.bottom - s.top;
    int gap = MulDiv(4, static_cast<int>(ui.dpi), 96);
    int input_h = font_height() * 3 + gap * 2;
    int bottom = r.bottom - status_h;
    int find_h = find_bar_height(font_height());
    place_find_bar(0, 0, r.right, find_h, ui.font);
    MoveWindow(ui.list, 0, find_h, r.right, bottom - input_h - gap - find_h, TRUE);
    MoveWindow(ui.input, 0, bottom - input_h, r.right, input_h, TRUE);
}

// Appends a frame's lines at once. The text goes in as plain text (EM_REPLACESEL of wide text that
// begins with the time, so that nothing a peer sends can be read as RTF), and is coloured after.
// The oldest lines go once the list holds LIST_CAP and a step more.
void append_lines(const std::vector<shown_line> &lines)
{
    std::wstring text;
    std::size_t first = ui.list_lines.size();
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
        record.dim = l.kind == shown_line::NOTE || (kept && l.kept != kept_kind::peer);
        // Web addresses in what was said (not in the window's own notes) are links.
        if (l.kind != shown_line::NOTE)
            for (const auto &a : web_addresses(l.text))
                record.links.emplace_back(static_cast<long>(a.first), static_cast<long>(a.second));
        text += l.time + L" " + l.name + l.text + L"\r";
        ui.list_lines.push_back(record);
    }
    bool at_bottom = list_at_bottom();
    CHARRANGE kept{};
    SendMessageW(ui.list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(ui.list, WM_SETREDRAW, FALSE, 0);
    format_range(ui.list_chars, ui.list_chars, ui.look.text, false);
    SendMessageW(ui.list, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    for (long at = ui.list_chars; first < ui.list_lines.size(); at += ui.list_lines[first++].length)
        colour_line(at, ui.list_lines[first]);
    // The rows a long line wraps onto begin under its text, not where a line's time does: text a
    // peer pads cannot make a row that looks like a line of its own.
    CHARRANGE added{ui.list_chars, ui.list_chars + static_cast<long>(text.size())};
    SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&added));
    PARAFORMAT2 pf{};
    pf.cbSize = sizeof pf;
    pf.dwMask = PFM_STARTINDENT | PFM_OFFSET;
    pf.dxStartIndent = 0;
    pf.dxOffset = ui.hanging_indent;
    SendMessageW(ui.list, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&pf));
    ui.list_chars += static_cast<long>(text.size());
    if (ui.list_lines.size() > LIST_CAP + CUT_STEP || ui.list_chars > LIST_CHARS) {
        long cut = 0;
        while (ui.list_lines.size() > 1 && (ui.list_lines.size() > LIST_CAP || ui.list_chars - cut > LIST_CHARS * 3 / 4)) {
            cut += ui.list_lines.front().length;
            ui.list_lines.pop_front();
        }
        CHARRANGE top{0, cut};
        SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&top));
        SendMessageW(ui.list, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
        ui.list_chars -= cut;
        kept.cpMin = kept.cpMin > cut ? kept.cpMin - cut : 0;
        kept.cpMax = kept.cpMax > cut ? kept.cpMax - cut : 0;
    }
    SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(ui.list, WM_SETREDRAW, TRUE, 0);
    if (at_bottom)
        SendMessageW(ui.list, WM_VSCROLL, SB_BOTTOM, 0);
    InvalidateRect(ui.list, nullptr, TRUE);
}


void recolour_list()
{
    if (ui.list == nullptr)
        return;
    SendMessageW(ui.list, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(ui.look.background));
    CHARRANGE kept{};
    SendMessageW(ui.list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    POINT scrolled{};
    SendMessageW(ui.list, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scrolled));
    SendMessageW(ui.list, WM_SETREDRAW, FALSE, 0);
    long at = 0;
    for (const list_line &l : ui.list_lines) {
        colour_line(at, l);
        at += l.length;
    }
    format_range(ui.list_chars, ui.list_chars, ui.look.text, false);
    SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(ui.list, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scrolled));
    SendMessageW(ui.list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(ui.list, nullptr, TRUE);
}

void zoom_text(int percent)
{
    percent = percent < ZOOM_LEAST ? ZOOM_LEAST : percent > ZOOM_MOST ? ZOOM_MOST : percent;
    if (percent == ui.zoom)
        return;
    ui.zoom = percent;
    make_font();
    // The lines already shown wrap under their text at the new size too.
    CHARRANGE kept{}, all{0, -1};
    SendMessageW(ui.list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
    PARAFORMAT2 pf{};
    pf.cbSize = sizeof pf;
    pf.dwMask = PFM_STARTINDENT | PFM_OFFSET;
    pf.dxOffset = ui.hanging_indent;
    SendMessageW(ui.list, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&pf));
    SendMessageW(ui.list, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&kept));
    lay_out();
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d\n", ui.zoom);
    char why[512];
    write_settings_file(ZOOM_FILE, text, static_cast<std::size_t>(n), why, sizeof why);
}

void restore_zoom()
{
    char text[16];
    char why[512];
    long n = read_settings_file(ZOOM_FILE, text, sizeof text - 1, why, sizeof why);
    if (n <= 0)
        return;
    text[n] = '\0';
    int percent = std::atoi(text);
    if (percent >= ZOOM_LEAST && percent <= ZOOM_MOST)
        ui.zoom = percent;
}
