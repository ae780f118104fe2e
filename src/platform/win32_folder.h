// win32_folder.h - the user's own folders for the client's files, as the Windows files for its
// settings and its history both find them. Only those files include it.
#pragma once
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

// A known folder of the user's (FOLDERID_LocalAppData, FOLDERID_RoamingAppData) as the shell says,
// never as the environment says (an unset LOCALAPPDATA would put the files at a drive's root, and
// one set by whoever started the client anywhere); "" if the shell does not know it.
inline std::wstring known_folder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path)) && path != nullptr)
        folder = path;
    CoTaskMemFree(path);
    return folder;
}

// Whether the folder at path may hold the client's files: a folder, and no link or junction
// (a reparse point) to somewhere else.
inline bool plain_folder(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

#endif  // _WIN32
