// window_attention.cpp - how the window asks for attention while it is behind others: the count in
// its title, the taskbar button flashing, the notification-area icon and its balloon, a sound.
#include "window_attention.h"

#include <shellapi.h>

#include "client/core/connection.h"
#include "window_state.h"

namespace {

bool in_front()
{
    return GetForegroundWindow() == ui.main_window;
}

void show_title()
{
    std::wstring title = ui.unread > 0 ? L"(" + std::to_wstring(ui.unread) + L") " + TITLE : std::wstring(TITLE);
    SetWindowTextW(ui.main_window, title.c_str());
}

}  // namespace

void tray_icon(DWORD action, const std::wstring &balloon)
{
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = ui.main_window;
    nid.uID = 1;
    nid.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    nid.uCallbackMessage = WM_TRAY;
    nid.hIcon = ui.app_icon;
    lstrcpynW(nid.szTip, TITLE, ARRAYSIZE(nid.szTip));
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
    if (IsIconic(ui.main_window))
        ShowWindow(ui.main_window, SW_RESTORE);
    SetForegroundWindow(ui.main_window);
    SetFocus(ui.input);
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
        ui.unread += heard;
        show_title();
        FLASHWINFO flash{};
        flash.cbSize = sizeof flash;
        flash.hwnd = ui.main_window;
        flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
        FlashWindowEx(&flash);
    }
    if (mention == nullptr || now_ms() - ui.last_alert_ms < ALERT_GAP_MS)
        return;
    ui.last_alert_ms = now_ms();
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


void attention_seen()
{
    ui.unread = 0;
    show_title();
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = ui.main_window;
    flash.dwFlags = FLASHW_STOP;
    FlashWindowEx(&flash);
}
