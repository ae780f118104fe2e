// window_main.cpp - chat_window, the chat in a window of its own on Windows: the room's lines in a
// read-only RichEdit, a box to type in, a status bar, a menu, and a notice when something is said
// while the window is behind others. It is a view of the client's core (../client/core): one
// running client wires the same connection, commands and history as the terminal client's, so it
// speaks to the room exactly as that does, and the room's feed hands it whole lines a frame at a
// time, cut, made safe and under the feed's flood policy; the window turns them into its own text.
//
// Its parts: the conversation list and fonts (window_list.cpp), the dialogs (window_dialogs.cpp),
// attention while behind others (window_attention.cpp), the find bar (window_find.cpp), the feed's
// lines as wide text (window_text.cpp); here, the main window, its menu and its message loop. Each
// part keeps its own state; the handles it works on are handed to it as it is made.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#include <shellapi.h>

#include "client/core/commands.h"
#include "client/core/running_client.h"
#include "client/core/text.h"
#include "client/core/version.h"
#include "client/core/view.h"
#include "platform/net.h"
#include "platform/system.h"
#include "window_access.h"
#include "window_attention.h"
#include "window_dialogs.h"
#include "window_find.h"
#include "client/core/links.h"
#include "window_list.h"
#include "window_look.h"
#include "window_resource.h"
#include "window_shared.h"
#include "window_text.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>


namespace {

const UINT_PTR FRAME_TIMER = 1;
const UINT FRAME_MS = 50;               // a frame is taken from the feed at most this often
const int ID_LIST = 1, ID_INPUT = 2, ID_STATUS = 3;
const char WINDOW_FILE[] = "window";    // where the window's size and place are kept
UINT taskbar_created = 0;  // the message the taskbar sends once the window's button is there

// The window and its controls; the program's icon, small (the caption, the notification area) and
// large (Alt+Tab, the taskbar).
HWND main_window = nullptr, list = nullptr, input = nullptr, status_bar = nullptr;
HICON app_icon = nullptr, app_icon_big = nullptr;
bool bell_on = true;  // the bell as the status last said: the menu's tick, and what the item turns

// The running client, made once the name is known; it lives as long as the process, as its
// threads do. And the frame taken from its feed, reused.
running_client *client = nullptr;
room_frame taken;

[[noreturn]] void exit_client(int status);

const char USAGE[] =
    "usage: chat_window [--name NAME] [--no-history] [HOST]\n"
    "       chat_window --version\n\n"
    "Without HOST, waits for a relay's announcement on the local network and connects to the first "
    "relay heard; when the connection is lost, it finds the relay again. With --name, every line sent "
    "begins with \"NAME: \"; without it, the name is asked for once and remembered (the console "
    "client uses the same name). The window keeps what it shows, and shows the last lines again at the "
    "next start (--no-history keeps nothing in this run); Ctrl+F finds text, on into the history. Type "
    "/help in the window for its commands.";

// ---- each frame ----

std::wstring wide_from_utf8(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    std::wstring wide(utf8.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return wide;
}

// The percent the feed's words on the files moving give ("NAME 42% 1.2 MB of ..."), or -1.
int transfer_percent(const std::string &transfers)
{
    std::size_t mark = transfers.rfind("% ");  // a name before it may hold "% " too
    if (mark == std::string::npos)
        return -1;
    std::size_t from = mark;
    while (from > 0 && transfers[from - 1] >= '0' && transfers[from - 1] <= '9' && mark - from < 3)
        --from;
    return from == mark ? -1 : std::atoi(transfers.substr(from, mark - from).c_str());
}

// How a transfer ended (the core's note "*** saved ..." or "*** fetching ... failed: ...", which
// no peer's line can be): the attention a mention has.
bool transfer_ended(const room_line &l)
{
    return l.kind == room_line::NOTE && (l.text.compare(0, 10, "*** saved ") == 0 ||
                                         (l.text.compare(0, 13, "*** fetching ") == 0 && l.text.find(" failed: ") != std::string::npos));
}

void show_status(const room_status &s)
{
    // The files moving lead the row, and their share of the bytes shows on the taskbar button.
    transfer_progress(transfer_percent(s.transfers));
    std::string text = s.relay.empty() ? "looking for the relay"
                                       : (s.connected ? "relay " + s.relay : "relay " + s.relay + " lost, reconnecting");
    text += "   name: " + (s.name.empty() ? std::string("(none)") : s.name);
    if (s.waiting > 0)
        text += "   " + std::to_string(s.waiting) + (s.waiting == 1 ? " line" : " lines") + " waiting";
    std::wstring shown = shown_text(text);
    if (!s.transfers.empty())
        shown = wide_from_utf8(s.transfers) + L"   " + shown;
    SendMessageW(status_bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    CheckMenuItem(GetMenu(main_window), IDM_BELL, MF_BYCOMMAND | (s.bell ? MF_CHECKED : MF_UNCHECKED));
    bell_on = s.bell;
}

// A frame: the status, if it changed; the feed's lines, in the window's text, to the list, with
// the attention they call for; and the way out if the connection is lost for good.
void frame()
{
    client->feed().take(taken);
    if (taken.status_changed)
        show_status(taken.status);
    if (!taken.lines.empty()) {
        std::vector<shown_line> lines;
        lines.reserve(taken.lines.size());
        std::size_t heard = taken.heard;
        int mention = taken.mention;
        for (const room_line &l : taken.lines) {
            if (transfer_ended(l)) {
                ++heard;
                mention = static_cast<int>(lines.size());
            }
            lines.push_back(shown_from(l));
        }
        attend(lines, heard, mention);
        announce(list, lines);
        append_lines(lines);
    }
    if (taken.lost >= 0)
        exit_client(taken.lost);
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
        if (!client->commands().entered(gb18030_text(typed.substr(from, end - from)))) {
            DestroyWindow(main_window);  // /quit
            return;
        }
        if (end < typed.size() && typed[end] == L'\r' && end + 1 < typed.size() && typed[end + 1] == L'\n')
            ++end;
        from = end + 1;
    }
}

// Offers a file to the room, as /share PATH does (quoted: a name may end in spaces).
void share(const std::wstring &path)
{
    if (!path.empty())
        client->commands().entered(gb18030_text(L"/share \"" + path + L"\""));
}

// The system's dialog to pick a file to share.
void choose_file_to_share()
{
    std::wstring file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main_window;
    ofn.lpstrFile = &file[0];
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = L"Share a file with the room";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_DONTADDTORECENT;
    if (GetOpenFileNameW(&ofn))
        share(file.c_str());
}

// Files dropped on the window: each shared.
void files_dropped(HDROP drop)
{
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count && i < 16; ++i) {
        UINT n = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(static_cast<std::size_t>(n) + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, &path[0], n + 1));
        share(path);
    }
    DragFinish(drop);
}

// A click on a link in the list: the address shown in full in the status bar, then opened in the
// default browser, handed to it as an address (ShellExecuteW with the URL as its file), never as a
// command line. A click that ends a selection opens nothing: text with links in it copies as any.
void open_link(CHARRANGE range)
{
    CHARRANGE selected{};
    SendMessageW(list, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selected));
    if (selected.cpMin != selected.cpMax || range.cpMax <= range.cpMin || range.cpMax - range.cpMin > 8192)
        return;
    std::wstring url(static_cast<std::size_t>(range.cpMax - range.cpMin) + 1, L'\0');
    TEXTRANGEW tr{range, &url[0]};
    url.resize(static_cast<std::size_t>(SendMessageW(list, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&tr))));
    if (std::size_t offer = download_offer(url)) {  // a file offered: fetched, as /get N does
        client->commands().entered("/get " + std::to_string(offer));
        return;
    }
    if (!is_web_address(utf8_text(url)))
        return;  // the list's links are only ever these; anything else is not opened
    std::wstring said = L"opening " + url;
    SendMessageW(status_bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(said.c_str()));
    UpdateWindow(status_bar);
    ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// ---- the window's size and place, remembered ----

void restore_placement()
{
    std::string text = read_setting(WINDOW_FILE, 127);
    RECT r;
    int maximized = 0;
    if (std::sscanf(text.c_str(), "%ld %ld %ld %ld %d", &r.left, &r.top, &r.right, &r.bottom, &maximized) != 5 ||
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
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld %d\n", r.left, r.top, r.right, r.bottom,
                  wp.showCmd == SW_SHOWMAXIMIZED ? 1 : 0);
    write_setting(WINDOW_FILE, text);
}

void menu(int id)
{
    switch (id) {
    case IDM_NAME: {
        std::string name = ask_name(main_window, client->commands().name());
        if (!name.empty())
            client->commands().change_name(name);
        break;
    }
    case IDM_RELAY:
        choose_relay(main_window, client->conn(), client->commands());
        break;
    case IDM_BELL:
        client->commands().set_bell(!bell_on);
        break;
    case IDM_SHARE:
        choose_file_to_share();
        break;
    case IDM_FILES:
        client->commands().entered("/files");
        break;
    case IDM_GUIDE:
        open_guide(main_window);
        break;
    case IDM_ABOUT:
        message(main_window, "Chat (chat_window) " PROJECT_VERSION "\n\nA window to chat in with everyone on the local network "
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
    case WM_SETTINGCHANGE:
        if (look_setting_changed(wp, lp))
            apply_look();
        break;
    case WM_SYSCOLORCHANGE:
        apply_look();
        break;
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lp) == input)
            if (HBRUSH brush = input_colours(reinterpret_cast<HDC>(wp)))
                return reinterpret_cast<LRESULT>(brush);
        break;
    case WM_ERASEBKGND:
        if (paint_window_background(w, reinterpret_cast<HDC>(wp)))
            return 1;
        break;
    case WM_NOTIFY: {
        const NMHDR *from = reinterpret_cast<const NMHDR *>(lp);
        if (from->hwndFrom == list && from->code == EN_LINK) {
            const ENLINK *link = reinterpret_cast<const ENLINK *>(lp);
            if (link->msg == WM_LBUTTONUP)
                open_link(link->chrg);
            return 0;
        }
        break;
    }
    case WM_DROPFILES:
        files_dropped(reinterpret_cast<HDROP>(wp));
        return 0;
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
            attention_seen();
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
        relays_listed(wp, lp);
        return 0;
    case 0x02E0: {  // WM_DPICHANGED: the window moved to a screen of another scale
        const RECT *r = reinterpret_cast<const RECT *>(lp);
        SetWindowPos(w, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
        make_font(HIWORD(wp));
        lay_out();
        return 0;
    }
    default:
        if (msg == taskbar_created && taskbar_created != 0) {
            taskbar_button_made();
            return 0;
        }
        break;
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
            message(nullptr, USAGE, MB_ICONINFORMATION);
            status = -1;
        } else if (a == L"--version") {
            message(nullptr, "chat_window " PROJECT_VERSION, MB_ICONINFORMATION);
            status = -1;
        } else if (a == L"--name" && i + 1 < count && args[i + 1][0] != L'\0' && !named) {
            opts.name = gb18030_text(args[++i]);
            named = true;
            if (const char *why = name_refusal(opts.name)) {  // as chat_client says it
                message(nullptr, std::string("chat_window: --name: ") + why, MB_ICONERROR);
                status = EXIT_USAGE;
            }
        } else if (a == L"--no-history") {
            opts.no_history = true;
        } else if (!a.empty() && a[0] != L'-' && opts.host.empty()) {
            opts.host = gb18030_text(a);
        } else {
            message(nullptr, USAGE, MB_ICONERROR);
            status = EXIT_USAGE;
        }
    }
    if (args != nullptr)
        LocalFree(args);
    return status;
}

// Every way out of the window's process: the window closed, /quit, a failure. The running client
// writes the history out (waiting a bounded time for the disk). The connection always finds the
// relay again, so a loss the core cannot recover from is not expected; with the other failures the
// process ends, its window and icon with it.
void exit_client(int status)
{
    if (client != nullptr)
        client->leave();
    tray_icon(NIM_DELETE);
    ExitProcess(static_cast<UINT>(status));
}

HWND make_window(HINSTANCE instance)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hIcon = app_icon_big;
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
    // Text goes in only as plain text (append_lines); the list makes no links of it itself: the web
    // addresses the window's rule allows are made links there, and their clicks come here.
    SendMessageW(list, EM_AUTOURLDETECT, FALSE, 0);
    SendMessageW(list, EM_SETEVENTMASK, 0, ENM_LINK);
    SendMessageW(list, EM_SETUNDOLIMIT, 0, 0);
    SendMessageW(list, EM_SETLANGOPTIONS, 0, IMF_AUTOFONT | IMF_DUALFONT);
    SendMessageW(list, EM_EXLIMITTEXT, 0, 64 << 20);
    SendMessageW(input, EM_LIMITTEXT, 64 * 1024, 0);
    make_list(w, list, input, status_bar, look_in_use());
    make_look(w, input, status_bar);
    make_attention(w, input, app_icon);
    restore_zoom();
    make_font(window_dpi(w));
    name_controls(list, input);
    apply_look();
    lay_out();
    return w;
}

}  // namespace


int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    load_libraries_from_system_only();
    options opts;
    int status = parse_options(opts);
    if (status != 0)
        exit_client(status < 0 ? 0 : status);
    // COM, for the taskbar button's badge and the accessible names.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    taskbar_created = RegisterWindowMessageW(L"TaskbarButtonCreated");
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    if (LoadLibraryExW(L"Msftedit.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr) {
        message(nullptr, "Msftedit.dll (RichEdit 4.1) could not be loaded", MB_ICONERROR);
        exit_client(EXIT_USAGE);
    }
    if (net_startup() != 0) {
        message(nullptr, "the socket layer did not start", MB_ICONERROR);
        exit_client(EXIT_USAGE);
    }
    // The program's own icon, at the sizes the system draws it; the generic one if it is missing.
    for (bool little : {true, false}) {
        HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, GetSystemMetrics(little ? SM_CXSMICON : SM_CXICON),
                                 GetSystemMetrics(little ? SM_CYSMICON : SM_CYICON), LR_DEFAULTCOLOR);
        if (icon == nullptr)
            icon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
        (little ? app_icon : app_icon_big) = static_cast<HICON>(icon);
    }
    if (make_window(instance) == nullptr) {
        message(nullptr, "the window could not be made", MB_ICONERROR);
        exit_client(EXIT_USAGE);
    }
    ShowWindow(main_window, show == SW_SHOWDEFAULT || show == SW_SHOWNORMAL ? SW_SHOW : show);
    restore_placement();
    tray_icon(NIM_ADD);
    // The first start asks for the name, offering the Windows user name; what finding it had to
    // say shows once the feed is there.
    std::vector<std::string> said;
    client_options how;
    how.host = opts.host;
    how.name = opts.name;
    how.no_history = opts.no_history;
    if (how.name.empty())
        how.name = name_for_person([](const std::string &offered, const char *) { return ask_name(main_window, offered); },
                                   [&said](const std::string &s) { said.push_back(s); });
    static running_client running(how);
    client = &running;
    for (const std::string &s : said)
        running.feed().answer(s);
    make_find_bar(main_window, list, input, running.feed(), lay_out);
    lay_out();
    running.start();
    DragAcceptFiles(main_window, TRUE);
    SetFocus(input);
    SetTimer(main_window, FRAME_TIMER, FRAME_MS, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (find_bar_key(msg))
            continue;  // Ctrl+F, and the find bar's keys
        if (msg.message == WM_KEYDOWN && msg.hwnd == input && msg.wParam == VK_RETURN &&
            (GetKeyState(VK_SHIFT) & 0x8000) == 0) {
            send_typed();  // Enter sends; Shift+Enter starts a new line in the box
            continue;
        }
        if (msg.message == WM_KEYDOWN && (GetKeyState(VK_CONTROL) & 0x8000) != 0 && (GetKeyState(VK_MENU) & 0x8000) == 0) {
            // Ctrl+Plus (Ctrl+= on most keyboards), Ctrl+Minus, Ctrl+0: the text's size.
            WPARAM k = msg.wParam;
            int step = k == VK_OEM_PLUS || k == VK_ADD ? 10 : k == VK_OEM_MINUS || k == VK_SUBTRACT ? -10 : 0;
            if (step != 0 || k == '0' || k == VK_NUMPAD0) {
                zoom_text(step);
                continue;
            }
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
