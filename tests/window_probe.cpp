// window_probe.cpp - a Windows helper of the tests: reads the chat window's controls from outside,
// as a screen reader would, and types into its input box, printing what it read as UTF-8.
//   window_probe list | input | status | title   the text of that control (or the window's title)
//   window_probe type TEXT                        TEXT typed into the input box, a WM_CHAR a unit
//   window_probe enter                            Enter pressed in the input box
//   window_probe front                            1 if the window is in front (foreground), else 0
//   window_probe dialog ID                        the text of control ID in the window's open dialog,
//                                                 or "no dialog"
//   window_probe message                          the text of the message box the program shows
//                                                 before its window is made, or "no message"
//   window_probe row TEXT                         where TEXT begins in the message list, and where
//                                                 its line does: "X1 R1 X2 R2 ", the line's start
//                                                 and TEXT's, each its x and 1 if a row begins there
//   window_probe found                            what the find bar says it found
//   window_probe selected                         the text selected in the list
//   window_probe format TEXT                      "link" or "text": the character format where TEXT
//                                                 begins in the list (CFE_LINK or not)
//   window_probe point TEXT                       where on the screen TEXT's middle character is: "X Y"
//   window_probe background                       a point of the list's background on the screen: "X Y"
//   window_probe icons FILE                       the sizes in FILE's icon group 1 (the program icon)
//   window_probe colours                          the system has changed its colour setting: the
//                                                 window is told so (WM_SETTINGCHANGE "ImmersiveColorSet")
//   window_probe menu ID                          the window's menu item ID chosen (WM_COMMAND, posted)
//   window_probe choose FILE                      FILE chosen in the window's open file dialog: its
//                                                 name box given FILE, and Open pressed
//   window_probe browsed URL                      a stand-in browser: writes URL to C:\browsed.txt
// Exit status 0, or 1 if there is no chat window. A GUI program (no console of its own for Wine to
// make), writing to the standard output it was given.
#include <windows.h>
#include <richedit.h>

#include <cstdio>
#include <string>

static HWND child(HWND parent, const wchar_t *cls)
{
    return FindWindowExW(parent, nullptr, cls, nullptr);
}

static void print(HWND w)
{
    LRESULT n = SendMessageW(w, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = SendMessageW(w, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&text[0]));
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(n), &utf8[0], size, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

// The list's text, and the list's index of where TEXT begins in it (-1 if it is not there): the
// list counts a line's end as one character, which WM_GETTEXT may give as two.
static LRESULT list_index(HWND list, const std::wstring &what)
{
    LRESULT n = SendMessageW(list, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = SendMessageW(list, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(n));
    size_t found = text.find(what);
    if (found == std::wstring::npos)
        return -1;
    LRESULT index = static_cast<LRESULT>(found);
    for (size_t i = 0; i < found; ++i)
        if (text[i] == L'\n' && i > 0 && text[i - 1] == L'\r')
            --index;
    return index;
}

static void print_point(HWND w, POINT p)
{
    ClientToScreen(w, &p);
    std::printf("%ld %ld", p.x, p.y);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"browsed") {
        FILE *f = _wfopen(L"C:\\browsed.txt", L"wb");
        if (f == nullptr)
            return 1;
        int size = WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, &utf8[0], size, nullptr, nullptr);
        std::fwrite(utf8.data(), 1, utf8.size() - 1, f);
        std::fclose(f);
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"icons") {
        HMODULE exe = LoadLibraryExW(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        HRSRC found = exe == nullptr ? nullptr : FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
        const BYTE *group = found == nullptr ? nullptr : static_cast<const BYTE *>(LockResource(LoadResource(exe, found)));
        if (group == nullptr) {
            std::printf("no icon");
            return 1;
        }
        // GRPICONDIR: 3 WORDs, then 14-byte entries whose first byte is the width (0 for 256).
        WORD count = *reinterpret_cast<const WORD *>(group + 4);
        for (WORD i = 0; i < count; ++i)
            std::printf("%d ", group[6 + 14 * i] == 0 ? 256 : group[6 + 14 * i]);
        return 0;
    }
    if (argc == 2 && std::wstring(argv[1]) == L"message") {
        HWND box = FindWindowW(L"#32770", L"Chat");
        if (box == nullptr) {
            std::printf("no message");
            return 1;
        }
        print(GetDlgItem(box, 0xFFFF));  // a message box's text
        return 0;
    }
    HWND main_window = FindWindowW(L"ChatRelayWindow", nullptr);
    if (main_window == nullptr || argc < 2)
        return 1;
    std::wstring what = argv[1];
    HWND input = child(main_window, L"Edit");
    if (what == L"list")
        print(child(main_window, L"RICHEDIT50W"));
    else if (what == L"input")
        print(input);
    else if (what == L"status")
        print(child(main_window, L"msctls_statusbar32"));
    else if (what == L"title")
        print(main_window);
    else if (what == L"type" && argc > 2)
        for (const wchar_t *c = argv[2]; *c != L'\0'; ++c)
            PostMessageW(input, WM_CHAR, *c, 1);
    else if (what == L"enter")
        PostMessageW(input, WM_KEYDOWN, VK_RETURN, 1);
    else if (what == L"row" && argc > 2) {
        // Where TEXT begins in the message list, and where the line it is in begins: for each, its
        // x and 1 if a row of the list begins there (else 0). The packed form of EM_POSFROMCHAR
        // (an index below 0x40000) needs no memory in the window's process.
        HWND list = child(main_window, L"RICHEDIT50W");
        LRESULT n = SendMessageW(list, WM_GETTEXTLENGTH, 0, 0);
        std::wstring text(static_cast<size_t>(n) + 1, L'\0');
        n = SendMessageW(list, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&text[0]));
        text.resize(static_cast<size_t>(n));
        size_t found = text.find(argv[2]);
        if (found == std::wstring::npos)
            return 1;
        size_t line = text.find_last_of(L"\r\n", found);
        line = line == std::wstring::npos ? 0 : line + 1;
        for (size_t at : {line, found}) {
            // The list counts a line's end as one character; WM_GETTEXT may give it as two.
            LRESULT index = static_cast<LRESULT>(at);
            for (size_t i = 0; i < at; ++i)
                if (text[i] == L'\n' && i > 0 && text[i - 1] == L'\r')
                    --index;
            LRESULT row = SendMessageW(list, EM_EXLINEFROMCHAR, 0, index);
            LRESULT pos = SendMessageW(list, EM_POSFROMCHAR, static_cast<WPARAM>(index), 0);
            std::printf("%d %d ", static_cast<short>(LOWORD(pos)), SendMessageW(list, EM_LINEINDEX, row, 0) == index ? 1 : 0);
        }
    }
    else if (what == L"front")
        std::printf("%d", GetForegroundWindow() == main_window ? 1 : 0);
    else if (what == L"found")
        print(GetDlgItem(child(main_window, L"ChatRelayFind"), 5));
    else if (what == L"selected") {
        // EM_GETSEL's answer packs both ends in one value, which needs no memory of the window's.
        HWND list = child(main_window, L"RICHEDIT50W");
        LRESULT ends = SendMessageW(list, EM_GETSEL, 0, 0);
        LRESULT n = SendMessageW(list, WM_GETTEXTLENGTH, 0, 0);
        std::wstring text(static_cast<size_t>(n) + 1, L'\0');
        n = SendMessageW(list, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&text[0]));
        text.resize(static_cast<size_t>(n));
        // The positions count a paragraph's end as one character, which WM_GETTEXT may give as CR LF.
        for (size_t crlf; (crlf = text.find(L"\r\n")) != std::wstring::npos;)
            text.erase(crlf + 1, 1);
        size_t from = LOWORD(ends), to = HIWORD(ends);
        std::wstring selected = from < to && to <= text.size() ? text.substr(from, to - from) : L"";
        std::string utf8(selected.size() * 4, '\0');
        int size = WideCharToMultiByte(CP_UTF8, 0, selected.c_str(), static_cast<int>(selected.size()), &utf8[0],
                                       static_cast<int>(utf8.size()), nullptr, nullptr);
        std::fwrite(utf8.data(), 1, static_cast<size_t>(size > 0 ? size : 0), stdout);
    }
    else if (what == L"format" && argc > 2) {
        // The format of the character, read through the selection: EM_GETCHARFORMAT writes into
        // memory of the window's process, lent for the call.
        HWND list = child(main_window, L"RICHEDIT50W");
        LRESULT at = list_index(list, argv[2]);
        DWORD pid = 0;
        GetWindowThreadProcessId(list, &pid);
        HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (at < 0 || process == nullptr)
            return 1;
        CHARFORMAT2W cf{};
        cf.cbSize = sizeof cf;
        void *lent = VirtualAllocEx(process, nullptr, sizeof cf, MEM_COMMIT, PAGE_READWRITE);
        SIZE_T moved = 0;
        WriteProcessMemory(process, lent, &cf, sizeof cf, &moved);
        SendMessageW(list, EM_SETSEL, static_cast<WPARAM>(at), at + 1);
        SendMessageW(list, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(lent));
        ReadProcessMemory(process, lent, &cf, sizeof cf, &moved);
        VirtualFreeEx(process, lent, 0, MEM_RELEASE);
        CloseHandle(process);
        SendMessageW(list, EM_SETSEL, 0, 0);
        std::printf("%s", (cf.dwMask & CFM_LINK) && (cf.dwEffects & CFE_LINK) ? "link" : "text");
    }
    else if (what == L"point" && argc > 2) {
        HWND list = child(main_window, L"RICHEDIT50W");
        LRESULT at = list_index(list, argv[2]);
        if (at < 0)
            return 1;
        LRESULT pos = SendMessageW(list, EM_POSFROMCHAR, static_cast<WPARAM>(at + static_cast<LRESULT>(wcslen(argv[2]) / 2)), 0);
        print_point(list, POINT{static_cast<short>(LOWORD(pos)) + 2, static_cast<short>(HIWORD(pos)) + 4});
    }
    else if (what == L"background") {
        HWND list = child(main_window, L"RICHEDIT50W");
        RECT r;
        GetClientRect(list, &r);
        print_point(list, POINT{r.right - 12, r.bottom - 8});
    }
    else if (what == L"colours") {
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(main_window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet"), SMTO_ABORTIFHUNG,
                            5000, &answer);
    }
    else if (what == L"menu" && argc > 2)
        PostMessageW(main_window, WM_COMMAND, static_cast<WPARAM>(_wtoi(argv[2])), 0);
    else if (what == L"choose" && argc > 2) {
        HWND dialog = FindWindowW(L"#32770", nullptr);
        if (dialog == nullptr || GetWindow(dialog, GW_OWNER) != main_window) {
            std::printf("no dialog");
            return 1;
        }
        // The name box: cmb13 in the dialogs of Windows 2000 on, edt1 in older ones.
        HWND name = GetDlgItem(dialog, 1148);
        if (name == nullptr)
            name = GetDlgItem(dialog, 1152);
        SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }
    else if (what == L"dialog" && argc > 2) {
        HWND dialog = FindWindowW(L"#32770", nullptr);  // the dialogs' class
        if (dialog == nullptr || GetWindow(dialog, GW_OWNER) != main_window) {
            std::printf("no dialog");
            return 1;
        }
        print(GetDlgItem(dialog, _wtoi(argv[2])));
    }
    else
        return 1;
    return 0;
}
