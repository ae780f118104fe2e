// links.cpp - the web addresses in a line's text (see links.h).
#include "client/core/links.h"

#include <cstring>

namespace {

bool starts_with_scheme(const std::string &text, std::size_t at, std::size_t &scheme_length)
{
    for (const char *scheme : {"https://", "http://"}) {
        std::size_t n = 0;
        while (scheme[n] != '\0' && at + n < text.size() &&
               (text[at + n] == scheme[n] || (scheme[n] >= 'a' && scheme[n] <= 'z' && text[at + n] == scheme[n] - 32)))
            ++n;
        if (scheme[n] == '\0') {
            scheme_length = n;
            return true;
        }
    }
    return false;
}

bool letter_or_digit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// What ends an address: a space of any kind (U+3000, the ideographic space, too), and the brackets
// and quotes it is often written in.
bool ends_address(const std::string &text, std::size_t at)
{
    char c = text[at];
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '<' || c == '>' || c == '"' ||
           text.compare(at, 3, "\xE3\x80\x80") == 0;
}

// What an address may hold: printable ASCII, less the characters no address has bare and the caret
// of the display rule's marks.
bool in_address(char c)
{
    return c > 0x20 && c < 0x7F && c != '\\' && c != '^' && c != '`' && c != '{' && c != '}' && c != '|';
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> web_addresses(const std::string &text)
{
    std::vector<std::pair<std::size_t, std::size_t>> found;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t scheme = 0;
        if ((i > 0 && letter_or_digit(text[i - 1])) || !starts_with_scheme(text, i, scheme)) {
            ++i;
            continue;
        }
        std::size_t end = i + scheme;
        while (end < text.size() && !ends_address(text, end))
            ++end;
        std::size_t next = end;
        // Punctuation after an address is the sentence's.
        while (end > i + scheme && text[end - 1] != '\0' && std::strchr(".,;:!?)]}'", text[end - 1]) != nullptr)
            --end;
        bool clean = end > i + scheme && (letter_or_digit(text[i + scheme]) || text[i + scheme] == '[');
        for (std::size_t k = i; clean && k < end; ++k)
            clean = in_address(text[k]);
        // An address with anything else in it is no address: not even a part of it is a link.
        for (std::size_t k = end; clean && k < next; ++k)
            clean = in_address(text[k]);
        if (clean)
            found.emplace_back(i, end - i);
        i = next;
    }
    return found;
}

bool is_web_address(const std::string &text)
{
    std::vector<std::pair<std::size_t, std::size_t>> found = web_addresses(text);
    return found.size() == 1 && found[0].first == 0 && found[0].second == text.size();
}
