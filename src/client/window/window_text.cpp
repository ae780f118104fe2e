// window_text.cpp - the chat window's text conversions.
#include "window_text.h"

#include <windows.h>

#include "client/core/links.h"
#include "client/core/room_feed.h"
#include "client/core/text.h"
#include "platform/wide_text.h"

#include <vector>

namespace {

std::wstring wide_from_utf8(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    std::wstring wide(utf8.size(), L'\0');  // never more units than bytes
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return wide;
}

// The UTF-16 units of the first `bytes` bytes of UTF-8 text: one a character, two for one beyond
// the Basic Multilingual Plane (four bytes).
std::size_t units_before(const std::string &utf8, std::size_t bytes)
{
    std::size_t units = 0;
    for (std::size_t i = 0; i < bytes && i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        units += (c & 0xC0) == 0x80 ? 0 : c >= 0xF0 ? 2 : 1;
    }
    return units;
}

}  // namespace

shown_line shown_from(const room_line &l)
{
    shown_line s;
    s.kind = l.kind == room_line::PEER  ? shown_line::CHAT
             : l.kind == room_line::OWN  ? shown_line::OWN
             : l.kind == room_line::NOTE ? shown_line::NOTE
                                         : shown_line::KEPT;
    if (l.kind == room_line::KEPT)
        s.kept = l.kept_as == room_line::OWN ? kept_kind::own : l.kept_as == room_line::NOTE ? kept_kind::note : kept_kind::peer;
    s.time = wide_from_utf8(l.time);
    s.name = wide_from_utf8(l.name);
    s.text = wide_from_utf8(l.text);
    s.colour = l.colour;
    s.mention = l.mention;
    // Web addresses in what was said (not in the client's own notes) are links. An address is
    // ASCII: as long in wide text as in UTF-8.
    if (l.kind != room_line::NOTE)
        for (const auto &a : web_addresses(l.text))
            s.links.emplace_back(units_before(l.text, a.first), a.second);
    // A file offered: a Download link after the line, which fetches it as /get N does.
    if (l.offer > 0) {
        std::wstring action = download_action(l.offer);
        s.text += L"   ";
        s.links.emplace_back(s.text.size(), action.size());
        s.text += action;
    }
    return s;
}

std::wstring download_action(std::size_t offer)
{
    return L"Download (/get " + std::to_wstring(offer) + L")";
}

std::size_t download_offer(const std::wstring &link)
{
    const std::wstring before = L"Download (/get ";
    if (link.size() < before.size() + 2 || link.size() > before.size() + 10 || link.compare(0, before.size(), before) != 0 ||
        link.back() != L')')
        return 0;
    std::size_t n = 0;
    for (std::size_t i = before.size(); i + 1 < link.size(); ++i) {
        if (link[i] < L'0' || link[i] > L'9')
            return 0;
        n = n * 10 + static_cast<std::size_t>(link[i] - L'0');
    }
    return link == download_action(n) ? n : 0;
}

std::string utf8_text(const std::wstring &wide)
{
    if (wide.empty())
        return std::string();
    std::string utf8(wide.size() * 3, '\0');  // never more than three bytes a unit
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], static_cast<int>(utf8.size()),
                                nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return utf8;
}

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
