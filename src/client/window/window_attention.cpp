// window_attention.cpp - how the window asks for attention while it is behind others: the count in
// its title, the taskbar button flashing and its badge, the notification-area icon and its balloon, a sound.
#include "window_attention.h"

#include <shellapi.h>
#include <shobjidl.h>

#include "client/core/connection.h"
#include "window_shared.h"

namespace {

const long long ALERT_GAP_MS = 5000;  // a sound and a balloon at most this often

HWND main_window = nullptr, input = nullptr;
HICON app_icon = nullptr;
int unread = 0;  // lines said while the window was behind, since it was last in front
long long last_alert_ms = -ALERT_GAP_MS;
int progress = -1;  // the files moving, in percent, as the taskbar button shows it; -1: none

// The taskbar button, once the taskbar has made it (TaskbarButtonCreated): nullptr before, and on
// systems without one.
ITaskbarList3 *taskbar = nullptr;
// The badges drawn so far: 1 to 9, and "9+" at [0].
HICON badges[10] = {};

// A badge for the count: a red disc with the count in white, drawn at the size of a small icon.
HICON badge(int count)
{
    int slot = count > 9 ? 0 : count;
    if (badges[slot] != nullptr)
        return badges[slot];
    int size = GetSystemMetrics(SM_CXSMICON);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = size;
    bi.bmiHeader.biHeight = -size;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP colour = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (colour == nullptr) {
        DeleteDC(dc);
        return nullptr;
    }
    HGDIOBJ old = SelectObject(dc, colour);
    HBRUSH red = CreateSolidBrush(RGB(196, 32, 32));
    HGDIOBJ old_brush = SelectObject(dc, red);
    HGDIOBJ old_pen = SelectObject(dc, GetStockObject(NULL_PEN));
    Ellipse(dc, 0, 0, size + 1, size + 1);
    LOGFONTW lf{};
    lf.lfHeight = -(count > 9 ? size * 9 / 16 : size * 3 / 4);
    lf.lfWeight = FW_BOLD;
    lstrcpyW(lf.lfFaceName, L"Segoe UI");
    HFONT digits = CreateFontIndirectW(&lf);
    HGDIOBJ old_font = SelectObject(dc, digits);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    RECT r{0, 0, size, size};
    std::wstring said = count > 9 ? L"9+" : std::to_wstring(count);
    DrawTextW(dc, said.c_str(), -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    // GDI leaves alpha 0: what was drawn is made opaque, the rest stays clear.
    DWORD *pixel = static_cast<DWORD *>(bits);
    for (int i = 0; i < size * size; ++i)
        if ((pixel[i] & 0xFFFFFF) != 0)
            pixel[i] |= 0xFF000000;
    SelectObject(dc, old_font);
    SelectObject(dc, old_pen);
    SelectObject(dc, old_brush);
    SelectObject(dc, old);
    DeleteObject(digits);
    DeleteObject(red);
    DeleteDC(dc);
    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    badges[slot] = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colour);
    return badges[slot];
}

// The unread count on the taskbar button (none at 0), and in the notification-area icon's tip.
void show_unread()
{
    std::wstring said = unread == 0 ? L"" : (unread > 9 ? L"more than 9" : std::to_wstring(unread)) + L" unread";
    if (taskbar != nullptr)
        taskbar->SetOverlayIcon(main_window, unread == 0 ? nullptr : badge(unread), unread == 0 ? nullptr : said.c_str());
    tray_icon(NIM_MODIFY);
}

bool in_front()
{
    return GetForegroundWindow() == main_window;
}

void show_title()
{
    std::wstring title = unread > 0 ? L"(" + std::to_wstring(unread) + L") " + TITLE : std::wstring(TITLE);
    SetWindowTextW(main_window, title.c_str());
}

}  // namespace

void make_attention(HWND main, HWND the_input, HICON icon)
{
    main_window = main;
    input = the_input;
    app_icon = icon;
}

void tray_icon(DWORD action, const std::wstring &balloon)
{
    if (main_window == nullptr)
        return;
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = main_window;
    nid.uID = 1;
    nid.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    nid.uCallbackMessage = WM_TRAY;
    nid.hIcon = app_icon;
    std::wstring tip = TITLE;
    if (unread > 0)
        tip += L": " + std::to_wstring(unread) + (unread == 1 ? L" line unread" : L" lines unread");
    lstrcpynW(nid.szTip, tip.c_str(), ARRAYSIZE(nid.szTip));
    if (!balloon.empty()) {
        nid.uFlags |= NIF_INFO;
        lstrcpynW(nid.szInfoTitle, L"You were mentioned in the chat", ARRAYSIZE(nid.szInfoTitle));
        lstrcpynW(nid.szInfo, balloon.c_str(), ARRAYSIZE(nid.szInfo));
        nid.dwInfoFlags = NIIF_INFO | NIIF_NOSOUND;
    }
    Shell_NotifyIconW(action, &nid);
}

namespace {

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

}  // namespace

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
void attend(const std::vector<shown_line> &lines, std::size_t heard, int mention)
{
    bool behind = !in_front();
    if (heard > 0 && behind) {
        unread += static_cast<int>(heard);
        show_title();
        show_unread();
        FLASHWINFO flash{};
        flash.cbSize = sizeof flash;
        flash.hwnd = main_window;
        flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
        FlashWindowEx(&flash);
    }
    if (mention < 0 || static_cast<std::size_t>(mention) >= lines.size() || now_ms() - last_alert_ms < ALERT_GAP_MS)
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
        tray_icon(NIM_MODIFY, balloon_text(lines[static_cast<std::size_t>(mention)]));
}


void attention_seen()
{
    bool had = unread > 0;
    unread = 0;
    show_title();
    if (had)
        show_unread();
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = main_window;
    flash.dwFlags = FLASHW_STOP;
    FlashWindowEx(&flash);
}

void taskbar_button_made()
{
    if (taskbar == nullptr &&
        FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, reinterpret_cast<void **>(&taskbar))))
        return;
    if (FAILED(taskbar->HrInit())) {
        taskbar->Release();
        taskbar = nullptr;
        return;
    }
    int shown = progress;
    progress = -2;
    transfer_progress(shown);  // a button made again (Explorer restarted) shows it again
}

void transfer_progress(int percent)
{
    if (percent > 100)
        percent = 100;
    if (percent == progress)
        return;
    progress = percent;
    if (taskbar == nullptr)
        return;
    if (percent < 0) {
        taskbar->SetProgressState(main_window, TBPF_NOPROGRESS);
    } else {
        taskbar->SetProgressState(main_window, TBPF_NORMAL);
        taskbar->SetProgressValue(main_window, static_cast<ULONGLONG>(percent), 100);
    }
}
