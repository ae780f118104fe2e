// shared_files_win32.cpp - shared and fetched files on Windows, by the wide API throughout, so that
// any name (Chinese in a Western locale too) opens.
#ifdef _WIN32

#include "platform/shared_files.h"

#include <windows.h>

#include <knownfolders.h>
#include <netlistmgr.h>
#include <objbase.h>
#include <shlobj.h>

namespace {

std::wstring wide(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::string utf8(const wchar_t *text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::string error_text(DWORD code)
{
    wchar_t buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                             sizeof buf / sizeof buf[0], nullptr);
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L'.'))
        buf[--n] = L'\0';
    return n > 0 ? utf8(buf) : "error " + std::to_string(code);
}

bool facts_of_handle(HANDLE h, file_facts *facts)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    facts->size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    facts->written = static_cast<long long>((static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                            info.ftLastWriteTime.dwLowDateTime);
    return true;
}

HANDLE handle(shared_file f)
{
    return reinterpret_cast<HANDLE>(f);
}

}  // namespace

shared_file open_to_read(const std::string &path, file_facts *facts, std::string *why)
{
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = error_text(GetLastError());
        return NO_SHARED_FILE;
    }
    if (GetFileType(h) != FILE_TYPE_DISK || !facts_of_handle(h, facts)) {
        *why = "not a regular file";
        CloseHandle(h);
        return NO_SHARED_FILE;
    }
    return reinterpret_cast<shared_file>(h);
}

bool facts_of(const std::string &path, file_facts *facts)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    facts->size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    facts->written = static_cast<long long>((static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                            data.ftLastWriteTime.dwLowDateTime);
    return true;
}

long read_at(shared_file f, unsigned long long offset, char *buf, std::size_t len)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    DWORD want = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    if (!ReadFile(handle(f), buf, want, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<long>(got);
}

shared_file open_to_append(const std::string &path, unsigned long long *have, std::string *why)
{
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = error_text(GetLastError());
        return NO_SHARED_FILE;
    }
    file_facts facts;
    LARGE_INTEGER end{};
    if (GetFileType(h) != FILE_TYPE_DISK || !facts_of_handle(h, &facts) ||
        !SetFilePointerEx(h, end, nullptr, FILE_END)) {
        *why = "not a regular file";
        CloseHandle(h);
        return NO_SHARED_FILE;
    }
    *have = facts.size;
    return reinterpret_cast<shared_file>(h);
}

int append_all(shared_file f, const char *data, std::size_t len)
{
    while (len > 0) {
        DWORD put = 0;
        DWORD want = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
        if (!WriteFile(handle(f), data, want, &put, nullptr) || put == 0)
            return -1;
        data += put;
        len -= put;
    }
    return 0;
}

int cut_to(shared_file f, unsigned long long size)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(handle(f), at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle(f)))
        return -1;
    return SetFilePointerEx(handle(f), end, nullptr, FILE_END) ? 0 : -1;
}

void close_shared_file(shared_file f)
{
    CloseHandle(handle(f));
}

bool remove_path(const std::string &path)
{
    return DeleteFileW(wide(path).c_str()) != 0;
}

int rename_new(const std::string &from, const std::string &to)
{
    // Without MOVEFILE_REPLACE_EXISTING a name that is taken makes the move fail.
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), 0))
        return 0;
    DWORD code = GetLastError();
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS ? 1 : -1;
}

long long free_space(const std::string &folder)
{
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExW(wide(folder).c_str(), &avail, nullptr, nullptr))
        return -1;
    return static_cast<long long>(avail.QuadPart);
}

std::string downloads_folder()
{
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, &path)))
        folder = utf8(path);
    CoTaskMemFree(path);
    return folder;
}

std::string path_in(const std::string &folder, const std::string &name)
{
    return !folder.empty() && (folder.back() == '\\' || folder.back() == '/') ? folder + name : folder + "\\" + name;
}

std::string last_part(const std::string &path)
{
    std::size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void mark_from_other_computer(const std::string &path)
{
    HANDLE h = CreateFileW(wide(path + ":Zone.Identifier").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;  // a file system without streams (FAT) keeps no mark
    static const char zone[] = "[ZoneTransfer]\r\nZoneId=3\r\n";
    DWORD put = 0;
    WriteFile(h, zone, sizeof zone - 1, &put, nullptr);
    CloseHandle(h);
}

bool on_public_network()
{
    // The caller's thread (one of the sharing's own) joins the multithreaded apartment for this.
    bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    bool public_one = false;
    INetworkListManager *list = nullptr;
    IEnumNetworks *networks = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                   reinterpret_cast<void **>(&list))) &&
        SUCCEEDED(list->GetNetworks(NLM_ENUM_NETWORK_CONNECTED, &networks))) {
        INetwork *network = nullptr;
        while (!public_one && networks->Next(1, &network, nullptr) == S_OK) {
            NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PRIVATE;
            if (SUCCEEDED(network->GetCategory(&category)) && category == NLM_NETWORK_CATEGORY_PUBLIC)
                public_one = true;
            network->Release();
        }
    }
    if (networks != nullptr)
        networks->Release();
    if (list != nullptr)
        list->Release();
    if (joined)
        CoUninitialize();
    return public_one;
}

#endif
