// window_text.cpp - the chat window's text conversions.
#include "window_text.h"

#include "client/core/text.h"
#include "platform/wide_text.h"

#include <vector>

std::wstring shown_text(const std::string &gb18030)
{
    std::string safe = safe_to_show(gb18030, true);
    if (safe.empty())
        return std::wstring();
    std::vector<wchar_t> wide(safe.size() + 1);
    int n = wide_from_gb18030(safe.data(), static_cast<int>(safe.size()), wide.data());
    return std::wstring(wide.data(), static_cast<std::size_t>(n > 0 ? n : 0));
}

std::string gb18030_text(const std::wstring &typed)
{
    if (typed.empty())
        return std::string();
    std::vector<char> bytes(typed.size() * 4 + 4);
    int n = gb18030_from_wide(typed.data(), static_cast<int>(typed.size()), bytes.data(), static_cast<int>(bytes.size()));
    return std::string(bytes.data(), static_cast<std::size_t>(n > 0 ? n : 0));
}

std::wstring wide_text(const std::string &gb18030)
{
    return shown_text(gb18030);
}
