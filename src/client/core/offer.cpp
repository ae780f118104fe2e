// offer.cpp - the offer line, names and addresses in it, and the HTTP heads that fetch a shared file.
#include "client/core/offer.h"

#include "client/core/text.h"
#include "platform/networks.h"
#include "platform/terminal.h"

#include <cstdio>
#include <cstring>

namespace {

const char MARK[] = "[FILE] ";
const std::size_t FIELDS_MOST = 32;  // key=value fields read from the right before giving up

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A decimal number of at most 20 digits that fits 64 bits.
bool parse_number(const std::string &text, unsigned long long *value)
{
    if (text.empty() || text.size() > 20)
        return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (!is_digit(c))
            return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (~0ULL - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *value = v;
    return true;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_words(const std::string &a, const char *b)
{
    std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string trimmed(const std::string &text)
{
    std::size_t from = text.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "";
    std::size_t to = text.find_last_not_of(" \t\r");
    return text.substr(from, to - from + 1);
}

bool token_character(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' || c == '_';
}

// http://HOST[:PORT]/f/TOKEN/NAME
bool parse_address(const std::string &url, file_offer *offer)
{
    const char scheme[] = "http://";
    if (url.compare(0, sizeof scheme - 1, scheme) != 0)
        return false;
    std::size_t at = sizeof scheme - 1;
    std::size_t host_end = url.find_first_of(":/", at);
    if (host_end == std::string::npos || host_end == at || host_end - at > 253)
        return false;
    std::string host = url.substr(at, host_end - at);
    for (char c : host)
        if (!token_character(c) && c != '.')
            return false;
    unsigned long long port = 80;
    at = host_end;
    if (url[at] == ':') {
        std::size_t port_end = url.find('/', at);
        if (port_end == std::string::npos || !parse_number(url.substr(at + 1, port_end - at - 1), &port) || port == 0 ||
            port > 65535)
            return false;
        at = port_end;
    }
    std::string path = url.substr(at);
    if (path.compare(0, 3, "/f/") != 0)
        return false;
    std::size_t token_end = path.find('/', 3);
    if (token_end == std::string::npos || token_end - 3 < 16 || token_end - 3 > 64)
        return false;
    for (std::size_t i = 3; i < token_end; ++i)
        if (!token_character(path[i]))
            return false;
    // The path goes into a request line as it is: visible ASCII only.
    for (char c : path)
        if (c <= ' ' || c > '~')
            return false;
    std::string name;
    if (!percent_decode(path.substr(token_end + 1), &name) || name.empty())
        return false;
    offer->host = host;
    offer->port = static_cast<unsigned short>(port);
    offer->path = path;
    offer->name = name;
    return true;
}

// A code point from UTF-8 at text[at], its length in *n; -1 for bytes that are no UTF-8.
long utf8_at(const std::string &text, std::size_t at, std::size_t *n)
{
    unsigned char c = static_cast<unsigned char>(text[at]);
    *n = 1;
    if (c < 0x80)
        return c;
    std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (len == 0 || c > 0xF4 || at + len > text.size())
        return -1;
    long code = c & (0x3F >> (len - 1));
    for (std::size_t i = 1; i < len; ++i) {
        unsigned char t = static_cast<unsigned char>(text[at + i]);
        if ((t & 0xC0) != 0x80)
            return -1;
        code = (code << 6) | (t & 0x3F);
    }
    static const long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[len] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return -1;
    *n = len;
    return code;
}

// Characters that show nothing yet change what is around them, or are controls.
bool hidden(long code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0xAD || code == 0x34F || code == 0x61C ||
           code == 0x180E || (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2060 && code <= 0x206F) || code == 0xFEFF || (code >= 0xFFF0 && code <= 0xFFFB) ||
           (code >= 0xE0000 && code <= 0xE0FFF) || (code >= 0xFE00 && code <= 0xFE0F) || code == 0x115F ||
           code == 0x1160 || code == 0x3164 || code == 0xFFA0;
}

bool reserved_on_windows(const std::string &name)
{
    // The part before the first dot (and any spaces before it) decides: "con.txt" and "NUL .pdf" are
    // taken too.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char *const names[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *n : names)
        if (same_words(base, n))
            return true;
    if (base.size() == 4 && (same_words(base.substr(0, 3), "COM") || same_words(base.substr(0, 3), "LPT")) &&
        base[3] >= '0' && base[3] <= '9')
        return true;
    // COM and LPT with a superscript 1, 2 or 3.
    if (base.size() == 5 && (same_words(base.substr(0, 3), "COM") || same_words(base.substr(0, 3), "LPT")) &&
        (base.compare(3, 2, "\xC2\xB9") == 0 || base.compare(3, 2, "\xC2\xB2") == 0 || base.compare(3, 2, "\xC2\xB3") == 0))
        return true;
    return false;
}

}  // namespace

std::string offer_text(const std::string &name, const std::string &host, unsigned short port, const std::string &token,
                       unsigned long long size, const std::string &sha256)
{
    return MARK + name + " (" + size_text(size) + ") http://" + host + ":" + std::to_string(port) + "/f/" + token + "/" +
           percent_encode(name) + " size=" + std::to_string(size) + " sha256=" + sha256;
}

bool parse_offer(const std::string &line, file_offer *offer)
{
    // Cheap first: an offer holds the mark in ASCII, which GB18030 keeps as it is.
    if (line.find("[FILE]") == std::string::npos || line.find("http://") == std::string::npos)
        return false;
    if (!parse_offer_utf8(utf8_from_gb18030(line), offer))
        return false;
    std::size_t text_at = 0;
    offer->sender = name_in(line, &text_at);
    return true;
}

bool parse_offer_utf8(const std::string &line, file_offer *offer)
{
    std::string rest = line;
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' '))
        rest.pop_back();
    bool have_size = false, have_hash = false;
    file_offer found;
    for (std::size_t fields = 0;; ++fields) {
        std::size_t space = rest.rfind(' ');
        if (space == std::string::npos || fields > FIELDS_MOST)
            return false;
        std::string field = rest.substr(space + 1);
        rest.resize(space);
        if (field.compare(0, 7, "http://") == 0) {
            if (!have_size || !have_hash || !parse_address(field, &found))
                return false;
            break;
        }
        std::size_t eq = field.find('=');
        if (eq == std::string::npos || eq == 0)
            return false;
        std::string key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "size") {
            if (!parse_number(value, &found.size))
                return false;
            have_size = true;
        } else if (key == "sha256") {
            if (value.size() != 64)
                return false;
            for (char &c : value) {
                if (hex_value(c) < 0)
                    return false;
                c = lower(c);
            }
            found.sha256 = value;
            have_hash = true;
        }
    }
    // Before the address: "[FILE] NAME (SIZE)", after the sender's name if there is one.
    std::size_t mark = rest.find(MARK);
    if (mark == std::string::npos)
        return false;
    if (mark >= 2 && rest.compare(mark - 2, 2, ": ") == 0)
        found.sender = rest.substr(0, mark - 2);
    else if (mark != 0)
        return false;
    *offer = found;
    return true;
}

std::string percent_encode(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (token_character(ch) || c == '.' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

bool percent_decode(const std::string &text, std::string *out)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    *out = decoded;
    return true;
}

std::string safe_file_name(const std::string &name)
{
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        std::size_t n = 1;
        long code = utf8_at(name, at, &n);
        if (code < 0 || hidden(code)) {
            out += '_';  // shown as a mark, so that two names that look alike are not
        } else if (code < 0x80 && std::strchr("/\\:*?\"<>|", static_cast<char>(code)) != nullptr) {
            out += '_';
        } else {
            out.append(name, at, n);
        }
        at += n;
    }
    // No leading dots or spaces (a hidden file, or "..") and no trailing ones (Windows drops them).
    std::size_t from = out.find_first_not_of(". ");
    out = from == std::string::npos ? "" : out.substr(from);
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))
        out.pop_back();
    if (out.size() > FILE_NAME_BYTES) {
        // Cut in the middle of the name, keeping a short extension.
        std::size_t dot = out.rfind('.');
        std::string ext = dot != std::string::npos && out.size() - dot <= 16 ? out.substr(dot) : "";
        std::size_t keep = FILE_NAME_BYTES - ext.size();
        while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80)
            --keep;  // at a character's start
        out = out.substr(0, keep) + ext;
        while (!out.empty() && (out.back() == '.' || out.back() == ' '))
            out.pop_back();
    }
    if (out.empty())
        return "file";
    if (reserved_on_windows(out))
        out = "_" + out;
    return out;
}

bool runs_when_opened(const std::string &name)
{
    static const char *const types[] = {".exe", ".com", ".bat", ".cmd", ".msi", ".msp", ".scr", ".pif", ".cpl",
                                        ".ps1", ".psm1", ".vbs", ".vbe", ".js", ".jse", ".wsf", ".wsh", ".hta",
                                        ".lnk", ".reg", ".jar", ".sh", ".run", ".appimage", ".desktop",
                                        ".deb", ".rpm", ".py", ".pl", ".docm", ".xlsm", ".pptm", ".url"};
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string ext = name.substr(dot);
    for (const char *t : types)
        if (same_words(ext, t))
            return true;
    return false;
}

std::string size_text(unsigned long long bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char *const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1023.95 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    return buf;
}

bool parse_ipv4(const std::string &text, std::uint32_t *address)
{
    unsigned char bytes[4];
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t end = at;
        while (end < text.size() && is_digit(text[end]) && end - at < 4)
            ++end;
        unsigned long long v;
        if (end == at || end - at > 3 || !parse_number(text.substr(at, end - at), &v) || v > 255)
            return false;
        bytes[i] = static_cast<unsigned char>(v);
        at = end;
        if (i < 3) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
    }
    if (at != text.size())
        return false;
    std::memcpy(address, bytes, 4);
    return true;
}

const char *fetch_refusal(std::uint32_t address, bool relay_on_loopback, const ipv4_network *networks, int count)
{
    unsigned char b[4];
    std::memcpy(b, &address, 4);
    if (b[0] == 127)
        return relay_on_loopback ? nullptr : "it names this computer (loopback), and the relay is elsewhere";
    if (b[0] == 10 || (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168) ||
        (b[0] == 169 && b[1] == 254))
        return nullptr;
    for (int i = 0; i < count; ++i)
        if (networks[i].mask != 0 && (address & networks[i].mask) == (networks[i].address & networks[i].mask))
            return nullptr;
    return "its address is on no private network and on none this computer is on";
}

namespace {

// The lines of a head in data: the length of the head with its blank line, 0 if it has not ended,
// -1 if it is longer than most. Lines end in CR LF or LF.
long head_length(const char *data, std::size_t len, std::size_t most)
{
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < len && i < most; ++i) {
        if (data[i] != '\n')
            continue;
        std::size_t line_len = i - line_start;
        if (line_len == 0 || (line_len == 1 && data[line_start] == '\r'))
            return line_start == 0 ? -1 : static_cast<long>(i + 1);
        line_start = i + 1;
    }
    return len >= most ? -1 : 0;
}

// Splits the head into its first line and its header fields, calling field(name, value) for each;
// false if a field line has no colon or holds a control.
template <typename F>
bool each_field(const std::string &head, std::string *first, F field)
{
    std::size_t at = 0;
    bool first_line = true;
    while (at < head.size()) {
        std::size_t end = head.find('\n', at);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        for (char c : line)
            if ((static_cast<unsigned char>(c) < ' ' && c != '\t') || c == 0x7F)
                return false;
        if (first_line) {
            *first = line;
            first_line = false;
            continue;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t')
            return false;
        if (!field(line.substr(0, colon), trimmed(line.substr(colon + 1))))
            return false;
    }
    return !first_line;
}

bool parse_range(const std::string &value, http_request *request)
{
    if (value.compare(0, 6, "bytes=") != 0)
        return false;
    std::string range = trimmed(value.substr(6));
    std::size_t dash = range.find('-');
    if (dash == std::string::npos || range.find(',') != std::string::npos)
        return false;
    std::string a = trimmed(range.substr(0, dash)), b = trimmed(range.substr(dash + 1));
    if (a.empty())
        return false;  // a suffix ("bytes=-N") is not served: nothing here asks for one
    if (!parse_number(a, &request->first))
        return false;
    if (!b.empty()) {
        if (!parse_number(b, &request->last) || request->last < request->first)
            return false;
        request->last_given = true;
    }
    return true;
}

}  // namespace

long parse_request_head(const char *data, std::size_t len, http_request *request)
{
    long head = head_length(data, len, REQUEST_HEAD_MAX);
    if (head <= 0)
        return head;
    http_request found;
    std::string first;
    int ranges = 0;
    bool ok = each_field(std::string(data, static_cast<std::size_t>(head)), &first,
                         [&](const std::string &name, const std::string &value) {
                             if (same_words(name, "range")) {
                                 ++ranges;
                                 found.range = true;
                                 if (ranges > 1 || !parse_range(value, &found))
                                     found.range_bad = true;
                             } else if (same_words(name, "if-range")) {
                                 found.if_range = true;
                                 found.if_range_value = value;
                             }
                             return true;
                         });
    if (!ok)
        return -1;
    // METHOD SP TARGET SP HTTP/1.x
    std::size_t sp1 = first.find(' ');
    std::size_t sp2 = sp1 == std::string::npos ? sp1 : first.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || sp1 == 0 || sp2 == sp1 + 1 ||
        (first.compare(sp2 + 1, std::string::npos, "HTTP/1.1") != 0 && first.compare(sp2 + 1, std::string::npos, "HTTP/1.0") != 0))
        return -1;
    found.method = first.substr(0, sp1);
    for (char c : found.method)
        if (c < 'A' || c > 'Z')
            return -1;
    found.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    if (found.target[0] != '/')
        return -1;
    *request = found;
    return head;
}

long parse_response_head(const char *data, std::size_t len, http_response *response)
{
    long head = head_length(data, len, RESPONSE_HEAD_MAX);
    if (head <= 0)
        return head;
    http_response found;
    std::string first;
    bool ok = each_field(std::string(data, static_cast<std::size_t>(head)), &first,
                         [&](const std::string &name, const std::string &value) {
                             if (same_words(name, "content-length")) {
                                 if (found.length_given || !parse_number(value, &found.length))
                                     return false;
                                 found.length_given = true;
                             } else if (same_words(name, "content-range")) {
                                 // bytes FIRST-LAST/TOTAL
                                 if (value.compare(0, 6, "bytes ") != 0)
                                     return false;
                                 std::string range = value.substr(6);
                                 std::size_t dash = range.find('-'), slash = range.find('/');
                                 if (dash == std::string::npos || slash == std::string::npos || slash < dash ||
                                     !parse_number(range.substr(0, dash), &found.first) ||
                                     !parse_number(range.substr(dash + 1, slash - dash - 1), &found.last) ||
                                     !parse_number(range.substr(slash + 1), &found.total) || found.last < found.first ||
                                     found.last >= found.total)
                                     return false;
                                 found.range_given = true;
                             } else if (same_words(name, "transfer-encoding")) {
                                 if (!same_words(value, "identity"))
                                     found.chunked = true;
                             } else if (same_words(name, "etag")) {
                                 found.etag = value;
                             } else if (same_words(name, "retry-after")) {
                                 unsigned long long seconds = 0;
                                 if (parse_number(value, &seconds))
                                     found.retry_after = static_cast<int>(seconds < 86400 ? seconds : 86400);
                             }
                             return true;
                         });
    if (!ok)
        return -1;
    // HTTP/1.x DDD reason
    if (first.size() < 12 || (first.compare(0, 9, "HTTP/1.1 ") != 0 && first.compare(0, 9, "HTTP/1.0 ") != 0) ||
        !is_digit(first[9]) || !is_digit(first[10]) || !is_digit(first[11]) || (first.size() > 12 && first[12] != ' '))
        return -1;
    found.status = (first[9] - '0') * 100 + (first[10] - '0') * 10 + (first[11] - '0');
    if (found.status < 100)
        return -1;
    *response = found;
    return head;
}
