// offer.h - the facts of a shared file as they travel: the offer line in the room, the names and
// addresses in it, and the heads of the HTTP requests and answers that fetch it. Everything here
// reads what a peer sent: it is parsed, never trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file offered in the room:
//   NAME: [FILE] FILE NAME (2.4 MB) http://ADDRESS:PORT/f/TOKEN/PERCENT-ENCODED-NAME size=N sha256=HEX
struct file_offer {
    std::string sender;      // the name the line began with (GB18030), "" if none
    std::string name;        // the file's name from the address, decoded (UTF-8, as sent: make it safe)
    std::string host;        // as written in the address
    unsigned short port = 80;
    std::string path;        // "/f/TOKEN/NAME", as written
    unsigned long long size = 0;
    std::string sha256;      // 64 lower-case hex digits
};

// The offer's text after the sender's name: "[FILE] NAME (SIZE) URL size=N sha256=HEX", in UTF-8.
std::string offer_text(const std::string &name, const std::string &host, unsigned short port, const std::string &token,
                       unsigned long long size, const std::string &sha256);
// Reads an offer from a whole line from the room (GB18030): false if it is none. Read from the
// right, after the line is decoded, so that the name's bytes (in GB18030 a trail byte can be "[",
// "]" or a digit) never pass for a field; key=value fields it does not know are passed over.
bool parse_offer(const std::string &line, file_offer *offer);
// The same, for a line already decoded to UTF-8 (the decoding is the platform's).
bool parse_offer_utf8(const std::string &line, file_offer *offer);

// Percent-encoding of UTF-8 text for an address: all but A-Z a-z 0-9 - . _ ~ as %XX.
std::string percent_encode(const std::string &text);
// The reverse: false for a % not followed by two hex digits.
bool percent_decode(const std::string &text, std::string *out);

// The most bytes a file's name takes here: what is saved, with " (99)" and ".part" added, stays
// within the 255 that every file system allows.
const std::size_t FILE_NAME_BYTES = 240;
// A file's name (UTF-8) made safe to create on Linux and Windows alike: no path separators or
// characters Windows refuses, no control or invisible characters, no ".." or leading dot, no
// trailing dots or spaces, no Windows reserved name (CON, NUL, COM1, ...), at most FILE_NAME_BYTES
// bytes, never empty. Bytes that are no UTF-8 become "_".
std::string safe_file_name(const std::string &name);
// Whether a name is of a type that runs when opened (a program or a script).
bool runs_when_opened(const std::string &name);

// A size for people: "512 bytes", "2.4 MB", "5.0 GB" (units of 1024).
std::string size_text(unsigned long long bytes);

// An IPv4 address in dotted form, in network byte order: false if text is not one.
bool parse_ipv4(const std::string &text, std::uint32_t *address);
struct ipv4_network;
// Why a file may not be fetched from this address (network byte order), or nullptr if it may: it
// must be on a private network (10/8, 172.16/12, 192.168/16, 169.254/16) or on one of the networks
// listed (this host's), or be loopback while the relay is reached over loopback.
const char *fetch_refusal(std::uint32_t address, bool relay_on_loopback, const ipv4_network *networks, int count);

// The head of an HTTP request, as the sender reads it.
struct http_request {
    std::string method;
    std::string target;
    bool range = false;               // a Range header of one range, "bytes=N-" or "bytes=N-M"
    bool range_bad = false;           // a Range header that could not be read
    unsigned long long first = 0;     // its first byte
    unsigned long long last = 0;      // its last byte, if last_given
    bool last_given = false;
    bool if_range = false;            // an If-Range header, with its value in if_range_value
    std::string if_range_value;
};
// The most bytes a request head takes, its end included.
const std::size_t REQUEST_HEAD_MAX = 8 * 1024;
// Parses the request head in data (len bytes, from the start of the connection): the bytes the
// head took, its blank line included; 0 if it has not ended yet; -1 if it is no request (or longer
// than REQUEST_HEAD_MAX).
long parse_request_head(const char *data, std::size_t len, http_request *request);

// The head of an HTTP answer, as the receiver reads it.
struct http_response {
    int status = 0;
    bool length_given = false;
    unsigned long long length = 0;     // Content-Length
    bool range_given = false;          // Content-Range: bytes FIRST-LAST/TOTAL
    unsigned long long first = 0, last = 0, total = 0;
    bool chunked = false;              // Transfer-Encoding other than identity
    std::string etag;
    int retry_after = -1;              // Retry-After in seconds (up to a day), -1 if none
};
const std::size_t RESPONSE_HEAD_MAX = 16 * 1024;
// As parse_request_head, for an answer.
long parse_response_head(const char *data, std::size_t len, http_response *response);
