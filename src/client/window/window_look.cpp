// window_look.cpp - the window's colours as the system says (see window_look.h).
#include "window_look.h"

#include <commctrl.h>

#include "window_list.h"
#include "window_palette.h"

#include <string>

namespace {

HWND main_window = nullptr, input = nullptr, status_bar = nullptr;
window_look look;  // the colours in use
HBRUSH input_brush = nullptr;

COLORREF colour(palette_colour c)
{
    return RGB(c.r, c.g, c.b);
}

// Apps are dark when the user's Personalize key says AppsUseLightTheme 0; light without it (before
// Windows 10 1809, and on systems with no such setting).
bool apps_use_dark()
{
    DWORD value = 1, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                     L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return false;
    return value == 0;
}

bool high_contrast_on()
{
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof hc;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

window_look read_look()
{
    window_look l;
    l.high_contrast = high_contrast_on();
    if (l.high_contrast) {
        // The system's colours, and no others: names in the text's colour (they are told apart by
        // their words), times and notes too.
        l.background = l.input_background = GetSysColor(COLOR_WINDOW);
        l.text = l.dim = l.input_text = GetSysColor(COLOR_WINDOWTEXT);
        l.link = GetSysColor(COLOR_HOTLIGHT);
        l.bar_background = GetSysColor(COLOR_BTNFACE);
        l.bar_text = GetSysColor(COLOR_BTNTEXT);
        for (COLORREF &n : l.names)
            n = l.text;
        return l;
    }
    l.dark = apps_use_dark();
    const palette &p = l.dark ? DARK_PALETTE : LIGHT_PALETTE;
    l.background = colour(p.background);
    l.text = colour(p.text);
    l.dim = colour(p.dim);
    l.link = colour(p.link);
    l.input_background = colour(p.input_background);
    l.input_text = colour(p.input_text);
    l.bar_background = colour(p.bar_background);
    l.bar_text = colour(p.bar_text);
    for (int i = 0; i < 12; ++i)
        l.names[i] = colour(p.names[i]);
    return l;
}

// The title bar dark or light with the rest: DWMWA_USE_IMMERSIVE_DARK_MODE is 20 from Windows 10
// 20H1 on, 19 before it (1809 to 1909); older systems have neither, and keep theirs. dwmapi.dll is
// no Known DLL: loaded from System32 by name, not imported.
void dark_title_bar(HWND w, bool dark)
{
    typedef HRESULT(WINAPI * set_attribute)(HWND, DWORD, LPCVOID, DWORD);
    static const set_attribute set = [] {
        HMODULE dwm = LoadLibraryExW(L"dwmapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return dwm == nullptr ? nullptr
                              : reinterpret_cast<set_attribute>(reinterpret_cast<void *>(GetProcAddress(dwm, "DwmSetWindowAttribute")));
    }();
    if (set == nullptr)
        return;
    BOOL on = dark ? TRUE : FALSE;
    if (FAILED(set(w, 20, &on, sizeof on)))
        set(w, 19, &on, sizeof on);
}

// The status bar in the dark look: its background and text drawn here; in the others, as the system
// draws it.
LRESULT CALLBACK status_bar_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR)
{
    if (look.dark && msg == WM_ERASEBKGND)
        return 1;
    if (look.dark && msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        RECT r;
        GetClientRect(w, &r);
        HBRUSH back = CreateSolidBrush(look.bar_background);
        FillRect(dc, &r, back);
        DeleteObject(back);
        int n = LOWORD(SendMessageW(w, SB_GETTEXTLENGTHW, 0, 0));
        std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
        SendMessageW(w, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(&text[0]));
        text.resize(static_cast<std::size_t>(n));
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, look.bar_text);
        r.left += MulDiv(4, static_cast<int>(window_dpi(w)), 96);
        DrawTextW(dc, text.c_str(), n, &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
        SelectObject(dc, old);
        EndPaint(w, &ps);
        return 0;
    }
    return DefSubclassProc(w, msg, wp, lp);
}

}  // namespace

void make_look(HWND main, HWND the_input, HWND bar)
{
    main_window = main;
    input = the_input;
    status_bar = bar;
    SetWindowSubclass(status_bar, status_bar_proc, 1, 0);
}

const window_look &look_in_use()
{
    return look;
}

void apply_look()
{
    look = read_look();
    if (input_brush != nullptr)
        DeleteObject(input_brush);
    input_brush = CreateSolidBrush(look.input_background);
    dark_title_bar(main_window, look.dark);
    recolour_list();
    for (HWND w : {main_window, input, status_bar})
        InvalidateRect(w, nullptr, TRUE);
}

bool look_setting_changed(WPARAM wp, LPARAM lp)
{
    const wchar_t *area = reinterpret_cast<const wchar_t *>(lp);
    return wp == SPI_SETHIGHCONTRAST || (area != nullptr && lstrcmpiW(area, L"ImmersiveColorSet") == 0);
}

HBRUSH input_colours(HDC dc)
{
    if (look.high_contrast)
        return nullptr;
    SetTextColor(dc, look.input_text);
    SetBkColor(dc, look.input_background);
    return input_brush;
}

bool paint_window_background(HWND w, HDC dc)
{
    if (!look.dark)
        return false;
    RECT r;
    GetClientRect(w, &r);
    HBRUSH back = CreateSolidBrush(look.bar_background);
    FillRect(dc, &r, back);
    DeleteObject(back);
    return true;
}
