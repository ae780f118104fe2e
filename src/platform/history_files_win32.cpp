// history_files_win32.cpp - the client's history files, under %LOCALAPPDATA%.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/history_files.h"

#include <cstdio>
#include <algorithm>
#include <cstring>

// The folder of the history, %LOCALAPPDATA%\Chat Relay\history, wide: a user's name in it may be
// beyond any code page. It takes the permissions of the user's own folder for data.
static std::wstring history_folder()
{
    wchar_t local[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    return std::wstring(local, n > 0 && n < MAX_PATH ? n : 0) + L"\\Chat Relay\\history";
}

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
// file on a disk: no link or junction, no folder, no pipe or device.
static HANDLE open_regular(const std::wstring &path, DWORD access, DWORD disposition, bool *not_regular)
{
    *not_regular = false;
    HANDLE f = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return f;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(f) != FILE_TYPE_DISK || !GetFileInformationByHandle(f, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        *not_regular = true;
        CloseHandle(f);
        SetLastError(ERROR_BAD_FILE_TYPE);
        return INVALID_HANDLE_VALUE;
    }
    return f;
}

history_file open_history_file(const char *name, bool *not_regular, char *why, std::size_t why_len)
{
    *not_regular = false;
    std::wstring folder = history_folder();
    std::wstring above = folder.substr(0, folder.rfind(L'\\'));
    for (const std::wstring &level : {above, folder})
        if (!CreateDirectoryW(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            say_why(why, why_len, level, "cannot be made");
            return NO_HISTORY_FILE;
        }
    std::wstring path = path_of(name);
    // FILE_APPEND_DATA alone: every write goes at the end as it is then.
    HANDLE f = open_regular(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS, not_regular);
    if (f == INVALID_HANDLE_VALUE) {
        say_why(why, why_len, path, *not_regular ? "is not a regular file (a link, a folder or a device)" : "cannot be opened");
        return NO_HISTORY_FILE;
    }
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

bool read_history_file(const char *name, unsigned long long tail, std::string &out)
{
    out.clear();
    if (!day_file_name(name))
        return false;
    bool not_regular = false;
    HANDLE f = open_regular(path_of(name), GENERIC_READ, OPEN_EXISTING, &not_regular);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(f, &size)) {
        CloseHandle(f);
        return false;
    }
    unsigned long long total = static_cast<unsigned long long>(size.QuadPart);
    unsigned long long from = tail != 0 && total > tail ? total - tail : 0;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(from);
    SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    out.resize(static_cast<std::size_t>(total - from));
    std::size_t got = 0;
    while (got < out.size()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1u << 30));
        if (!ReadFile(f, &out[got], want, &n, nullptr) || n == 0)
            break;
        got += n;
    }
    out.resize(got);
    CloseHandle(f);
    return true;
}

bool remove_history_file(const char *name)
{
    return day_file_name(name) && DeleteFileW(path_of(name).c_str()) != 0;
}

#endif  // _WIN32
