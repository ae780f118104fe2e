// window_text.cpp - the chat window's text conversions and the rule for what is shown as it is.
#include "window_text.h"

#include "platform/wide_text.h"

#include <vector>

namespace {

const std::size_t NAME_MAX_BYTES = 32;  // a longer prefix before ": " is no name

}  // namespace

bool shown_as_is(wchar_t u)
{
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
        return false;
    return !((u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2060 && u <= 0x2064) ||
             (u >= 0x2066 && u <= 0x2069) || u == 0xFEFF || u == 0x3164 || u == 0x061C);
}

std::wstring shown_text(const std::string &gb18030)
{
    if (gb18030.empty())
        return std::wstring();
    std::vector<wchar_t> wide(gb18030.size() + 1);
    int n = wide_from_gb18030(gb18030.data(), static_cast<int>(gb18030.size()), wide.data());
    std::wstring out;
    out.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
    for (int i = 0; i < n; ++i) {
        wchar_t u = wide[static_cast<std::size_t>(i)];
        if (u == L'\t')
            out += L' ';
        else
            out += shown_as_is(u) ? u : wchar_t(0xFFFD);
    }
    return out;
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

std::string name_in(const std::string &line, std::size_t *text_at)
{
    std::size_t colon = line.find(": ");
    if (colon != std::string::npos && colon > 0 && colon <= NAME_MAX_BYTES && line.compare(0, 2, "* ") != 0) {
        *text_at = colon + 2;
        return line.substr(0, colon);
    }
    if (line.compare(0, 2, "* ") == 0) {
        std::size_t end = line.find(' ', 2);
        if (end != std::string::npos && end > 2 && end - 2 <= NAME_MAX_BYTES) {
            *text_at = end + 1;
            return line.substr(2, end - 2);
        }
    }
    *text_at = 0;
    return "";
}
