// text.cpp - GB18030 character boundaries, terminal cell widths, the display rule and the names
// in lines, for the client.
#include "client/core/text.h"

#include "common/gb18030.h"
#include "platform/terminal.h"

#include <algorithm>
#include <cstring>

int gb18030_length(const unsigned char *p, std::size_t len)
{
    if (p[0] < 0x80)
        return 1;
    if (p[0] == 0x80 || p[0] == 0xFF)
        return -1;
    if (len < 2)
        return 0;
    if ((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0x80 && p[1] <= 0xFE))
        return 2;
    if (p[1] < 0x30 || p[1] > 0x39)
        return -1;
    if (len < 3)
        return 0;
    if (p[2] < 0x81 || p[2] == 0xFF)
        return -1;
    if (len < 4)
        return 0;
    if (p[3] < 0x30 || p[3] > 0x39)
        return -1;
    long index = gb18030_index(p);
    bool in_planes = index >= GB18030_PLANES_START && index <= GB18030_PLANES_START + 0xFFFFF;
    return index < GB18030_BMP_CODES || in_planes ? 4 : -1;
}

std::size_t character_at(const std::string &text, std::size_t at)
{
    int n = gb18030_length(reinterpret_cast<const unsigned char *>(text.data()) + at, text.size() - at);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

void gb18030_reader::take(const std::string &in, std::string &out, bool at_end)
{
    held_ += in;
    std::size_t at = 0;
    while (at < held_.size()) {
        int n = gb18030_length(reinterpret_cast<const unsigned char *>(held_.data()) + at, held_.size() - at);
        if (n == 0 && !at_end)
            break;
        if (n <= 0) {
            out += GB18030_REPLACEMENT;
            ++at;
            continue;
        }
        out.append(held_, at, static_cast<std::size_t>(n));
        at += static_cast<std::size_t>(n);
    }
    held_.erase(0, at);
}

constexpr std::chrono::milliseconds line_cutter::LINE_WAIT;

void line_cutter::keep(const char *bytes, std::size_t len, long long now_ms)
{
    if (len == 0)
        return;
    if (!begun())
        since_ms_ = now_ms;
    std::size_t kept = std::min(len, LINE_SHOWN - partial_.size());
    partial_.append(bytes, kept);
    if (kept < len) {
        cut_ += len - kept;
        cut_ends_cr_ = bytes[len - 1] == '\r';
    }
}

// Hands on the line begun, cut to whole characters with a word on what was left out, if it was long.
void line_cutter::end(const each_line &line)
{
    std::string ended;
    ended.swap(partial_);
    if (cut_ == 0) {
        if (!ended.empty() && ended.back() == '\r')
            ended.pop_back();
    } else {
        std::size_t whole = 0;
        for (int n; whole < ended.size(); whole += static_cast<std::size_t>(n < 0 ? 1 : n)) {
            n = gb18030_length(reinterpret_cast<const unsigned char *>(ended.data()) + whole, ended.size() - whole);
            if (n == 0)
                break;  // a character cut short by the cap
        }
        std::size_t left_out = cut_ + (ended.size() - whole) - (cut_ends_cr_ ? 1 : 0);
        ended.resize(whole);
        ended += " ... (" + std::to_string(left_out) + " bytes not shown)";
    }
    cut_ = 0;
    cut_ends_cr_ = false;
    line(ended);
}

void line_cutter::take(const char *bytes, std::size_t len, bool at_end, long long now_ms, const each_line &line)
{
    std::size_t from = 0;
    for (const char *nl; (nl = static_cast<const char *>(std::memchr(bytes + from, '\n', len - from))) != nullptr;) {
        std::size_t at = static_cast<std::size_t>(nl - bytes);
        keep(bytes + from, at - from, now_ms);
        end(line);
        from = at + 1;
    }
    keep(bytes + from, len - from, now_ms);
    if (at_end && begun())
        end(line);
}

void line_cutter::end_if_waited(long long now_ms, const each_line &line)
{
    if (begun() && now_ms - since_ms_ > LINE_WAIT.count())
        end(line);
}

namespace {

struct code_range {
    std::uint32_t first, last;
};

bool in_ranges(std::uint32_t c, const code_range *ranges, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (c >= ranges[i].first && c <= ranges[i].last)
            return true;
    return false;
}

// Unicode's East Asian Wide and Fullwidth blocks, and the emoji terminals show two cells wide, by
// block: close enough for a line editor, and what common terminals do.
const code_range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F5},   {0x26FA, 0x26FD},
    {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274C},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},
    {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18AFF},
    {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Marks that combine with the character before them, taking no cell of their own.
const code_range COMBINING[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0x1D165, 0x1D169}, {0x1D16D, 0x1D172}, {0x1D17B, 0x1D182}, {0x1D185, 0x1D18B},
    {0x1D1AA, 0x1D1AD}, {0x1E000, 0x1E02A}, {0x1F3FB, 0x1F3FF},
};

}  // namespace

int cell_width(std::uint32_t c)
{
    if (c < 0x300)
        return 1;
    if (in_ranges(c, COMBINING, sizeof COMBINING / sizeof COMBINING[0]))
        return 0;
    return in_ranges(c, WIDE, sizeof WIDE / sizeof WIDE[0]) ? 2 : 1;
}

int text_cells(const std::string &text)
{
    int cells = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t n = character_at(text, at);
        if (static_cast<unsigned char>(text[at]) < 0x80)
            cells += 1;
        else
            cells += cell_width(gb18030_code_point(text.data() + at, n));
        at += n;
    }
    return cells;
}

namespace {

// Characters that show nothing of themselves but change what the text around them looks like:
// the soft hyphen, the combining grapheme joiner, direction marks, overrides and isolates, the
// marks that number, end or join Arabic, Mongolian, Egyptian, musical and shorthand text in ways a
// line of chat never needs (and a terminal shows as nothing), zero-width spaces and joiners, line
// and paragraph separators, the invisible operators, fillers that show as blanks, annotation marks
// and the object replacement character, the byte order mark, tags (which spell hidden text) and
// the variation selectors past the first sixteen (those, U+FE00-FE0F, emoji need). The
// noncharacters are no text at all.
const code_range HIDDEN[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x206F},   {0x3164, 0x3164},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
    {0xFFF9, 0xFFFC},   {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
    {0xE0100, 0xE01EF},
};

bool hidden(std::uint32_t c)
{
    bool noncharacter = (c & 0xFFFE) == 0xFFFE;  // U+FFFE and U+FFFF of every plane
    return noncharacter || (c >= 0x80 && c < 0xA0) || in_ranges(c, HIDDEN, sizeof HIDDEN / sizeof HIDDEN[0]);
}

}  // namespace

std::string safe_to_show(const std::string &text, bool on_one_row)
{
    // Most lines are printable ASCII, which shows as it is: one look at each byte, and a copy.
    bool plain = true;
    for (unsigned char c : text)
        if (c < 0x20 || c >= 0x7F) {
            plain = false;
            break;
        }
    if (plain)
        return text;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    std::string out;
    out.reserve(text.size());
    int marks = 0;  // combining marks on the character before, so far
    for (std::size_t at = 0; at < text.size();) {
        int n = gb18030_length(p + at, text.size() - at);
        unsigned char c = p[at];
        bool line_end = c == '\n' || (c == '\r' && at + 1 < text.size() && p[at + 1] == '\n');
        bool mark = false;
        if (n <= 0) {
            out += GB18030_REPLACEMENT;
            n = 1;
        } else if (c == '\t') {
            out += on_one_row ? ' ' : '\t';
        } else if (line_end && !on_one_row) {
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += '^';
            out += static_cast<char>(c ^ 0x40);
        } else if (n == 4) {
            // Every such character is a four-byte one: none of GBK's two-byte characters is. Marks
            // stacked on one character draw over the rows around it: MARKS_SHOWN of them show, and
            // the rest as one mark.
            std::uint32_t code = gb18030_code_point(text.data() + at, 4);
            mark = !hidden(code) && cell_width(code) == 0;
            if (hidden(code) || (mark && marks == MARKS_SHOWN))
                out += GB18030_REPLACEMENT;
            else if (!mark || marks < MARKS_SHOWN)
                out.append(text, at, 4);
        } else {
            out.append(text, at, static_cast<std::size_t>(n));
        }
        marks = mark ? marks + 1 : 0;
        at += static_cast<std::size_t>(n);
    }
    return out;
}

std::size_t find_characters(const std::string &text, const std::string &what, std::size_t from)
{
    if (what.empty())
        return std::string::npos;
    for (std::size_t at = from; at + what.size() <= text.size(); at += character_at(text, at))
        if (text.compare(at, what.size(), what) == 0)
            return at;
    return std::string::npos;
}

const char *name_refusal(const std::string &name)
{
    if (name.empty())
        return "a name needs at least one character";
    if (name.size() > NAME_BYTES)
        return "a name takes 32 bytes at most";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name.data());
    for (std::size_t at = 0; at < name.size();) {
        int n = gb18030_length(p + at, name.size() - at);
        if (n <= 0)
            return "a name must be text: it holds bytes that are no GB18030 character";
        at += static_cast<std::size_t>(n);
    }
    if (safe_to_show(name, true) != name)
        return "a name cannot hold control characters, tabs, invisible characters or stacked marks";
    if (name.find(": ") != std::string::npos || name.front() == ' ' || name.back() == ' ')
        return "a name cannot hold \": \" or begin or end with a space";
    return nullptr;
}

std::string name_in(const std::string &line, std::size_t *text_at)
{
    *text_at = 0;
    std::size_t colon = line.find(": ");
    if (colon != std::string::npos && colon > 0 && colon <= NAME_BYTES && line.compare(0, 2, "* ") != 0) {
        *text_at = colon + 2;
        return line.substr(0, colon);
    }
    if (line.compare(0, 2, "* ") == 0) {
        std::size_t end = line.find(' ', 2);
        if (end != std::string::npos && end > 2 && end - 2 <= NAME_BYTES) {
            *text_at = end + 1;
            return line.substr(2, end - 2);
        }
    }
    return "";
}

int name_colour(const std::string &name)
{
    // FNV-1a over the name's bytes: the same on every client, whatever its platform.
    std::uint32_t h = 2166136261u;
    for (unsigned char c : name)
        h = (h ^ c) * 16777619u;
    return static_cast<int>(h % 12);
}
