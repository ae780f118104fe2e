// window_dialogs.cpp - the chat window's dialogs (their layout is in chat_window.rc): the name, with
// the client's rule for names; the relay, listing the relays heard while it is open; and the guide.
#include "window_dialogs.h"

#include <shellapi.h>

#include "client/core/commands.h"
#include "client/core/connection.h"
#include "client/core/text.h"
#include "window_resource.h"
#include "window_shared.h"
#include "window_text.h"

#include <thread>
#include <vector>

namespace {

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

}  // namespace

// Asks for a name, offering one: the name chosen (GB18030), or "" if the person cancelled.
std::string ask_name(HWND owner, const std::string &offered)
{
    name_ask ask;
    ask.offered = shown_text(offered);
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_NAME), owner, name_dialog,
                        reinterpret_cast<LPARAM>(&ask)) != IDOK)
        return "";
    return ask.chosen;
}

namespace {

// The relays heard, handed from the listening thread to the dialog if it is still open.
struct relays_found {
    std::vector<std::string> addresses;
};

// What the relay dialog works with: the main window, the connection that listens, the commands
// that move to the relay chosen.
struct relay_ask {
    HWND main_window;
    connection &conn;
    chat_commands &commands;
};

// The relay dialog open now, and the count of its openings: a listing made for one that has closed
// (or for an earlier opening) is dropped, not sent to a handle that may be another window's now.
HWND relay_dialog_open = nullptr;
WPARAM relay_dialog_opening = 0;

INT_PTR CALLBACK relay_dialog(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    relay_ask *ask = reinterpret_cast<relay_ask *>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dlg, DWLP_USER, lp);
        ask = reinterpret_cast<relay_ask *>(lp);
        // The listing goes to the main window, which lives as long as the process, and on from
        // there to this dialog only if it is still the one open.
        relay_dialog_open = dlg;
        WPARAM opening = ++relay_dialog_opening;
        HWND main_window = ask->main_window;
        connection *conn = &ask->conn;  // lives as long as the process, as the thread may
        std::thread([opening, main_window, conn] {
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
        return ok_or_cancel(dlg, wp, IDC_RELAY_COMBO, [ask](std::string address) {
            while (!address.empty() && address.back() == ' ')
                address.pop_back();
            while (!address.empty() && address.front() == ' ')
                address.erase(0, 1);
            if (!address.empty())
                ask->commands.move_to(address);
            return true;
        });
    }
    return FALSE;
}

}  // namespace

void choose_relay(HWND main_window, connection &conn, chat_commands &commands)
{
    relay_ask ask{main_window, conn, commands};
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_RELAY), main_window, relay_dialog,
                    reinterpret_cast<LPARAM>(&ask));
}

void relays_listed(WPARAM opening, LPARAM found)
{
    if (relay_dialog_open != nullptr && opening == relay_dialog_opening)
        SendMessageW(relay_dialog_open, WM_RELAYS, 0, found);
    delete reinterpret_cast<relays_found *>(found);
}

void open_guide(HWND owner)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring guide(path, n);
    guide = guide.substr(0, guide.find_last_of(L"\\/") + 1) + L"README.txt";
    if (reinterpret_cast<INT_PTR>(ShellExecuteW(owner, L"open", guide.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) <= 32)
        MessageBoxW(owner, (L"The Windows guide was not found at " + guide).c_str(), TITLE, MB_OK | MB_ICONINFORMATION);
}

