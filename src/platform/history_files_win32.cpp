// history_files_win32.cpp - the client's history files, in the user's local application data.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/history_files.h"
#include "platform/win32_folder.h"

#include <cstdio>
#include <algorithm>
#include <cstring>

// The folder of the history, Chat Relay\history in the user's local application data as the shell
// knows it (%LOCALAPPDATA%), wide: a user's name in it may be beyond any code page. It takes the
// permissions of the user's own folder for data, which only the user (and administrators) may
// write in.
static std::wstring history_folder()
{
    std::wstring local = known_folder(FOLDERID_LocalAppData);
    return local.empty() ? local : local + L"\\Chat Relay\\history";
}

// Whether both levels of the folder are plain folders (no link or junction to elsewhere); why
// names the one that is not.
static bool folder_usable(char *why, std::size_t why_len);

std::string history_folder_text()
{
    std::wstring folder = history_folder();
    char text[MAX_PATH * 4];
    int n = WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), static_cast<int>(folder.size()), text, sizeof text, nullptr, nullptr);
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

static bool day_file_name(const char *name)
{
    static const char FORM[] = "9999-99-99.txt";
    if (std::strlen(name) != sizeof FORM - 1)
        return false;
    for (std::size_t i = 0; FORM[i] != '\0'; ++i)
        if (FORM[i] == '9' ? name[i] < '0' || name[i] > '9' : name[i] != FORM[i])
            return false;
    return true;
}

static std::wstring path_of(const char *name)
{
    return history_folder() + L"\\" + std::wstring(name, name + std::strlen(name));
}

// Says what failed, with the path, in the system's code page as far as it goes.
static void say_why(char *why, std::size_t why_len, const std::wstring &path, const char *what)
{
    DWORD err = GetLastError();
    char narrow[MAX_PATH * 2];
    int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    std::snprintf(why, why_len, "%s: %s (error %lu)", n > 0 ? narrow : "?", what, err);
}

// Opens a link itself rather than what it points to, and keeps the handle only if it is a regular
// file on a disk with no other name: no link or junction, no folder, no pipe or device, no hard
// link to a file elsewhere.
static HANDLE open_regular(const std::wstring &path, DWORD access, DWORD disposition, bool *refused)
{
    *refused = false;
    HANDLE f = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return f;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(f) != FILE_TYPE_DISK || !GetFileInformationByHandle(f, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        info.nNumberOfLinks != 1) {
        *refused = true;
        CloseHandle(f);
        SetLastError(ERROR_BAD_FILE_TYPE);
        return INVALID_HANDLE_VALUE;
    }
    return f;
}

static bool folder_usable(char *why, std::size_t why_len)
{
    std::wstring folder = history_folder();
    if (folder.empty()) {
        std::snprintf(why, why_len, "the shell knows no folder for local application data");
        return false;
    }
    for (const std::wstring &level : {folder.substr(0, folder.rfind(L'\\')), folder})
        if (!plain_folder(level)) {
            SetLastError(ERROR_BAD_FILE_TYPE);
            say_why(why, why_len, level, "is a link or a junction, or no folder");
            return false;
        }
    return true;
}

history_file open_history_file(const char *name, history_refusal *refused, unsigned long long *size, char *why,
                               std::size_t why_len)
{
    *refused = history_refusal::none;
    *size = 0;
    std::wstring folder = history_folder();
    if (folder.empty()) {
        *refused = history_refusal::folder;
        std::snprintf(why, why_len, "the shell knows no folder for local application data");
        return NO_HISTORY_FILE;
    }
    std::wstring above = folder.substr(0, folder.rfind(L'\\'));
    for (const std::wstring &level : {above, folder})
        if (!CreateDirectoryW(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            say_why(why, why_len, level, "cannot be made");
            return NO_HISTORY_FILE;
        }
    if (!folder_usable(why, why_len)) {
        *refused = history_refusal::folder;
        return NO_HISTORY_FILE;
    }
    std::wstring path = path_of(name);
    // FILE_APPEND_DATA alone: every write goes at the end as it is then.
    bool file_refused = false;
    HANDLE f = open_regular(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_ALWAYS, &file_refused);
    if (f == INVALID_HANDLE_VALUE) {
        *refused = file_refused ? history_refusal::file : history_refusal::none;
        say_why(why, why_len, path, file_refused ? "is not a regular file of its own (a link, a folder, a device, a hard link)" : "cannot be opened");
        return NO_HISTORY_FILE;
    }
    LARGE_INTEGER bytes{};
    if (GetFileSizeEx(f, &bytes))
        *size = static_cast<unsigned long long>(bytes.QuadPart);
    return reinterpret_cast<history_file>(f);
}

int append_history_file(history_file f, const char *data, std::size_t len, char *why, std::size_t why_len)
{
    DWORD put = 0;
    if (WriteFile(reinterpret_cast<HANDLE>(f), data, static_cast<DWORD>(len), &put, nullptr) && put == len)
        return 0;
    std::snprintf(why, why_len, "cannot be written (error %lu)", GetLastError());
    return -1;
}

void close_history_file(history_file f)
{
    CloseHandle(reinterpret_cast<HANDLE>(f));
}

std::vector<history_file_entry> list_history_files()
{
    std::vector<history_file_entry> files;
    char why[512];
    if (!folder_usable(why, sizeof why))
        return files;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((history_folder() + L"\\*.txt").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return files;
    do {
        char name[64];
        int n = WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr);
        if (n <= 0 || !day_file_name(name))
            continue;
        files.push_back({name, (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return files;
}

history_file open_history_reading(const char *name)
{
    char why[512];
    if (!day_file_name(name) || !folder_usable(why, sizeof why))
        return NO_HISTORY_FILE;
    bool refused = false;
    HANDLE f = open_regular(path_of(name), GENERIC_READ, OPEN_EXISTING, &refused);
    return f == INVALID_HANDLE_VALUE ? NO_HISTORY_FILE : reinterpret_cast<history_file>(f);
}

long read_history_block(history_file f, unsigned long long at, char *buf, std::size_t len)
{
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(len, 1u << 30));
    if (!ReadFile(reinterpret_cast<HANDLE>(f), buf, want, &got, &where))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<long>(got);
}

bool read_history_tail(const char *name, unsigned long long tail, std::string &out)
{
    out.clear();
    history_file f = open_history_reading(name);
    if (f == NO_HISTORY_FILE)
        return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(f), &size)) {
        close_history_file(f);
        return false;
    }
    unsigned long long total = static_cast<unsigned long long>(size.QuadPart);
    unsigned long long from = total > tail ? total - tail : 0;
    out.resize(static_cast<std::size_t>(total - from));
    std::size_t got = 0;
    while (got < out.size()) {
        long n = read_history_block(f, from + got, &out[got], out.size() - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    close_history_file(f);
    return true;
}

bool remove_history_file(const char *name)
{
    char why[512];
    return day_file_name(name) && folder_usable(why, sizeof why) && DeleteFileW(path_of(name).c_str()) != 0;
}

#endif  // _WIN32
