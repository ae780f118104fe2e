// settings_win32.cpp - the client's settings files, under %APPDATA%.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/settings.h"
#include "platform/win32_folder.h"

#include <cstdio>
#include <cstring>
#include <string>

// The folder of the client's settings, Chat Relay in the user's roaming application data as the
// shell knows it (%APPDATA%), wide: a user's name in it may be beyond any code page. "" if the
// shell knows none: then nothing is read or written.
static std::wstring settings_folder()
{
    std::wstring appdata = known_folder(FOLDERID_RoamingAppData);
    return appdata.empty() ? appdata : appdata + L"\\Chat Relay";
}

// Says what failed with a path, in the console's terms as far as its code page goes.
static void say_why(char *why, std::size_t why_len, const std::wstring &path, const char *what)
{
    char narrow[MAX_PATH * 2];
    int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    std::snprintf(why, why_len, "%s: %s (error %lu)", n > 0 ? narrow : "?", what, GetLastError());
}

long read_settings_file(const char *name, char *out, std::size_t len, char *why, std::size_t why_len)
{
    std::wstring folder = settings_folder();
    if (folder.empty() || !plain_folder(folder)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        say_why(why, why_len, folder, "is no folder of the user's own (a link, a junction, or none)");
        return folder.empty() || GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES ? -1 : -2;
    }
    std::wstring path = folder + L"\\" + std::wstring(name, name + std::strlen(name));
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        say_why(why, why_len, path, "cannot be opened");
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? -1 : -2;
    }
    // Only a file on a disk is read: a pipe or a device there would hold the start.
    if (GetFileType(f) != FILE_TYPE_DISK) {
        SetLastError(ERROR_BAD_FILE_TYPE);
        say_why(why, why_len, path, "is not a regular file");
        CloseHandle(f);
        return -2;
    }
    DWORD got = 0;
    BOOL ok = ReadFile(f, out, static_cast<DWORD>(len), &got, nullptr);
    if (!ok)
        say_why(why, why_len, path, "cannot be read");
    CloseHandle(f);
    return ok ? static_cast<long>(got) : -2;
}

int write_settings_file(const char *name, const char *data, std::size_t len, char *why, std::size_t why_len)
{
    std::wstring folder = settings_folder();
    if (folder.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        say_why(why, why_len, L"the application data folder", "is not known to the shell");
        return -1;
    }
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        say_why(why, why_len, folder, "cannot be made");
        return -1;
    }
    if (!plain_folder(folder)) {
        SetLastError(ERROR_BAD_FILE_TYPE);
        say_why(why, why_len, folder, "is a link or a junction, or no folder");
        return -1;
    }
    // A new file beside it, moved over it: whatever stood there, a link too, is replaced, and what
    // a link pointed to is never written.
    std::wstring path = folder + L"\\" + std::wstring(name, name + std::strlen(name));
    std::wstring fresh = path + L".new";
    DeleteFileW(fresh.c_str());  // left by a run that failed half-way
    HANDLE f = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD put = 0;
    if (f == INVALID_HANDLE_VALUE || !WriteFile(f, data, static_cast<DWORD>(len), &put, nullptr) || put != len ||
        !FlushFileBuffers(f)) {
        say_why(why, why_len, fresh, "cannot be written");
        if (f != INVALID_HANDLE_VALUE) {
            CloseHandle(f);
            DeleteFileW(fresh.c_str());
        }
        return -1;
    }
    CloseHandle(f);
    if (!MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        say_why(why, why_len, path, "cannot be replaced");
        DeleteFileW(fresh.c_str());
        return -1;
    }
    return 0;
}

#endif  // _WIN32
