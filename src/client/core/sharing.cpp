// sharing.cpp - the files a client shares and fetches: the sender's HTTP server, the receiver's
// fetch, the offers heard, and the progress of the transfers under way.
#include "client/core/sharing.h"

#include "client/core/text.h"
#include "platform/net.h"
#include "platform/networks.h"
#include "platform/sha256.h"
#include "platform/shared_files.h"
#include "platform/terminal.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

namespace {

using std::chrono::steady_clock;

const std::size_t PIECE = 256 * 1024;      // read, sent, received and written a piece at a time
const std::size_t OFFERS_KEPT = 200;       // the offers heard that /files lists; a flood forgets the oldest
const int CONNECTIONS_MOST = 64;           // connections served at once, requests not yet read included
const int STALL_MS = 60 * 1000;            // a transfer that moves nothing for this long has broken
const int CONNECT_MS = 10 * 1000;
const int RESPONSE_HEAD_MS = 30 * 1000;
const unsigned long long BIG_FILE = 64ULL * 1024 * 1024;  // hashing a file this big shows its progress
// A sender's answer when it is busy: come back in a second. A receiver waits as long (and a little
// more, that not all come back at once), for BUSY_WAIT_MOST at most in all.
const int RETRY_AFTER_S = 1;
const int BUSY_WAIT_MOST_S = 600;

std::string gb(const std::string &utf8)
{
    return gb18030_from_utf8(utf8);
}

// A file's name (UTF-8) as a sentence may show it.
std::string shown_name(const std::string &utf8_name)
{
    return safe_to_show(gb(utf8_name), true);
}

long long ms_since(steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - t).count();
}

}  // namespace

std::string new_token()
{
    unsigned char bytes[18];  // 144 bits, 24 characters
    if (!system_random(bytes, sizeof bytes))
        return "";
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    for (std::size_t i = 0; i < sizeof bytes; i += 3) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int k = 18; k >= 0; k -= 6)
            out += alphabet[(v >> k) & 63];
    }
    return out;
}

namespace {

std::string unquoted(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    std::size_t from = text.find_first_not_of(" \t");
    text = from == std::string::npos ? "" : text.substr(from);
    if (text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0])
        text = text.substr(1, text.size() - 2);
    return text;
}

bool parse_count(const std::string &text, std::size_t *n)
{
    std::string t = unquoted(text);
    if (t.empty() || t.size() > 9)
        return false;
    std::size_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::size_t>(c - '0');
    }
    *n = v;
    return true;
}

std::string duration_text(long long seconds)
{
    char buf[32];
    if (seconds >= 3600)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld", seconds / 60, seconds % 60);
    return buf;
}

// The name with " (2)", " (3)", ... before its extension.
std::string numbered(const std::string &name, int n)
{
    std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos)
        dot = name.size();
    return name.substr(0, dot) + " (" + std::to_string(n) + ")" + name.substr(dot);
}

bool send_text(SOCKET s, waker *w, const std::string &text);

}  // namespace

// One file shared: where it is and what it was when offered.
struct shared_entry {
    std::string path;   // UTF-8
    std::string name;   // UTF-8, made safe
    std::string token;
    std::string sha256;
    file_facts facts;
    steady_clock::time_point offered;
    std::atomic<bool> withdrawn{false};
    std::atomic<int> fetches{0};
};

// A transfer under way, for the progress row.
struct transfer {
    const char *doing = "receiving";  // or "sending", or "hashing"
    std::string name;  // UTF-8
    unsigned long long total = 0;
    std::atomic<unsigned long long> done{0};
    unsigned long long from = 0;  // where this run began (a resumed fetch)
    steady_clock::time_point began = steady_clock::now();
};

struct heard_offer {
    std::size_t number = 0;
    file_offer offer;
    steady_clock::time_point heard;
};

struct file_sharing::state {
    sharing_hooks hooks;

    std::mutex mu;
    // The files shared, numbered as /files lists them.
    std::vector<std::shared_ptr<shared_entry>> shared;
    // The server, once the first file is shared.
    SOCKET listener = NO_SOCKET;
    unsigned short port = 0;
    int connections = 0;
    int serving = 0;
    std::map<std::string, int> serving_to;  // transfers per address
    // The offers heard, oldest first.
    std::deque<heard_offer> offers;
    std::size_t next_number = 1;
    std::vector<std::string> fetching;  // the .part files being written
    // The transfers under way.
    std::vector<std::shared_ptr<transfer>> transfers;
    std::condition_variable transfers_changed;
    bool progress_running = false;
    std::atomic<bool> ending{false};

    void note(const std::string &text) { hooks.note(text); }
    void outcome(const std::string &text) { hooks.outcome(text); }
    void begin(const std::shared_ptr<transfer> &t);
    void end(const std::shared_ptr<transfer> &t);
    void show_progress();
    bool start_server(std::string *why);
    void accept_loop();
    void serve(SOCKET s, const std::string &peer);
    void answer(SOCKET s, waker *w, const std::string &peer, const http_request &request);
    void hash_and_offer(std::string path);
    void fetch(heard_offer offer);
    bool fetch_body(heard_offer &h, const std::string &part, std::string *result, int *busy);
};

void file_sharing::state::begin(const std::shared_ptr<transfer> &t)
{
    std::lock_guard<std::mutex> lock(mu);
    transfers.push_back(t);
    if (!progress_running) {
        progress_running = true;
        std::thread([this] { show_progress(); }).detach();
    }
    transfers_changed.notify_all();
}

void file_sharing::state::end(const std::shared_ptr<transfer> &t)
{
    std::lock_guard<std::mutex> lock(mu);
    for (std::size_t i = 0; i < transfers.size(); ++i)
        if (transfers[i] == t) {
            transfers.erase(transfers.begin() + static_cast<long>(i));
            break;
        }
    transfers_changed.notify_all();
}

// Ten times a second while anything moves: one transfer in full, several summed.
void file_sharing::state::show_progress()
{
    std::string shown;
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
        if (transfers.empty()) {
            if (!shown.empty()) {
                shown.clear();
                lock.unlock();
                hooks.progress("", -1);
                lock.lock();
            }
            transfers_changed.wait(lock, [this] { return !transfers.empty(); });
        }
        unsigned long long done = 0, total = 0, moved = 0;
        long long elapsed_ms = 1;
        for (const auto &t : transfers) {
            unsigned long long d = t->done.load();
            done += d;
            total += t->total;
            moved += d - t->from;
            elapsed_ms = std::max(elapsed_ms, ms_since(t->began));
        }
        std::string text;
        if (transfers.size() == 1)
            text = std::string(transfers[0]->doing) + " " + shown_name(transfers[0]->name);
        else
            text = std::to_string(transfers.size()) + " transfers";
        double rate = static_cast<double>(moved) * 1000.0 / static_cast<double>(elapsed_ms);
        int percent = total == 0 ? 100 : static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
        text += " " + std::to_string(percent) + "% " + size_text(done) + " of " + size_text(total) + " " +
                size_text(static_cast<unsigned long long>(rate)) + "/s";
        if (rate > 0 && done < total)
            text += " " + duration_text(static_cast<long long>(static_cast<double>(total - done) / rate)) + " left";
        if (text != shown) {
            shown = text;
            lock.unlock();
            hooks.progress(text, percent);
            lock.lock();
        }
        transfers_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
}

// ---- the sender ----

bool file_sharing::state::start_server(std::string *why)
{
    // Under mu.
    if (listener != NO_SOCKET)
        return true;
    for (unsigned short p = SHARE_PORT_FIRST; p <= SHARE_PORT_LAST; ++p) {
        SOCKET s = tcp_socket();
        if (s == NO_SOCKET)
            break;
        if (bind_any(s, p) == 0 && listen_socket(s) == 0) {
            listener = s;
            port = p;
            std::thread([this] { accept_loop(); }).detach();
            return true;
        }
        close_socket(s);
    }
    *why = "no port from " + std::to_string(SHARE_PORT_FIRST) + " to " + std::to_string(SHARE_PORT_LAST) + " is free";
    return false;
}

void file_sharing::state::accept_loop()
{
    waker *w = make_waker();
    if (w == nullptr)
        return;
    for (;;) {
        wait_socket(listener, true, false, w, 1000);
        char peer[64] = "";
        SOCKET s;
        while ((s = accept_from(listener, peer, sizeof peer)) != NO_SOCKET) {
            {
                std::lock_guard<std::mutex> lock(mu);
                if (connections >= CONNECTIONS_MOST) {
                    reset_socket(s);
                    continue;
                }
                ++connections;
            }
            std::string from = peer;
            std::thread([this, s, from] { serve(s, from); }).detach();
        }
    }
}

namespace {

bool send_text(SOCKET s, waker *w, const std::string &text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        byte_span span{text.data() + at, text.size() - at};
        long n = send_gathered(s, &span, 1);
        if (n < 0)
            return false;
        at += static_cast<std::size_t>(n);
        if (at < text.size() && wait_socket(s, false, true, w, STALL_MS) == 0)
            return false;
    }
    return true;
}

std::string status_head(int status, const char *reason, const std::string &extra = "")
{
    std::string body = std::to_string(status) + " " + reason + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n" + extra + "\r\n" +
           body;
}

}  // namespace

void file_sharing::state::serve(SOCKET s, const std::string &peer)
{
    waker *w = make_waker();
    if (w != nullptr) {
        std::string head;
        char buf[2048];
        auto began = steady_clock::now();
        http_request request;
        for (;;) {
            long took = parse_request_head(head.data(), head.size(), &request);
            if (took < 0) {
                send_text(s, w, head.size() >= REQUEST_HEAD_MAX ? status_head(431, "Request Header Fields Too Large")
                                                                : status_head(400, "Bad Request"));
                break;
            }
            if (took > 0) {
                answer(s, w, peer, request);
                break;
            }
            long long left = std::chrono::duration_cast<std::chrono::milliseconds>(REQUEST_HEAD_TIME).count() - ms_since(began);
            if (left <= 0) {
                send_text(s, w, status_head(408, "Request Timeout"));
                break;
            }
            if (wait_socket(s, true, false, w, static_cast<int>(left)) == 0)
                continue;
            std::size_t room = REQUEST_HEAD_MAX - head.size();
            int n = recv_some(s, buf, static_cast<int>(room < sizeof buf ? room : sizeof buf));
            if (n == RECV_NOTHING)
                continue;
            if (n <= 0)
                break;
            head.append(buf, static_cast<std::size_t>(n));
        }
        free_waker(w);
    }
    shutdown_send(s);
    close_socket(s);
    std::lock_guard<std::mutex> lock(mu);
    --connections;
}

void file_sharing::state::answer(SOCKET s, waker *w, const std::string &peer, const http_request &request)
{
    if (request.method != "GET" && request.method != "HEAD") {
        send_text(s, w, status_head(405, "Method Not Allowed", "Allow: GET, HEAD\r\n"));
        return;
    }
    // /f/TOKEN/NAME: the token alone decides; the name is for the fetcher to save under.
    std::shared_ptr<shared_entry> entry;
    if (request.target.compare(0, 3, "/f/") == 0) {
        std::size_t end = request.target.find('/', 3);
        std::string token = request.target.substr(3, end == std::string::npos ? std::string::npos : end - 3);
        std::lock_guard<std::mutex> lock(mu);
        for (const auto &e : shared)
            if (e->token == token && !e->withdrawn && steady_clock::now() - e->offered < OFFER_LIFETIME)
                entry = e;
    }
    if (!entry) {
        send_text(s, w, status_head(404, "Not Found"));
        return;
    }
    file_facts now;
    if (!facts_of(entry->path, &now) || now.size != entry->facts.size || now.written != entry->facts.written) {
        send_text(s, w, status_head(410, "Gone"));
        return;
    }
    unsigned long long size = entry->facts.size;
    std::string etag = "\"" + entry->sha256 + "\"";
    bool ranged = request.range && (!request.if_range || request.if_range_value == etag);
    unsigned long long first = 0, last = size == 0 ? 0 : size - 1;
    if (ranged) {
        if (request.range_bad || request.first >= size) {
            send_text(s, w, status_head(416, "Range Not Satisfiable", "Content-Range: bytes */" + std::to_string(size) + "\r\n"));
            return;
        }
        first = request.first;
        if (request.last_given && request.last < last)
            last = request.last;
    }
    unsigned long long length = size == 0 ? 0 : last - first + 1;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (serving >= SERVED_AT_ONCE || serving_to[peer] >= SERVED_PER_ADDRESS) {
            if (serving_to[peer] == 0)
                serving_to.erase(peer);
            send_text(s, w, status_head(503, "Service Unavailable", "Retry-After: " + std::to_string(RETRY_AFTER_S) + "\r\n"));
            return;
        }
        ++serving;
        ++serving_to[peer];
    }
    std::string encoded = percent_encode(entry->name);
    std::string ascii_name;
    for (char c : entry->name)
        ascii_name += c >= ' ' && c <= '~' && c != '"' && c != '\\' ? c : '_';
    std::string head = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                                    std::to_string(last) + "/" + std::to_string(size) + "\r\n"
                              : std::string("HTTP/1.1 200 OK\r\n");
    head += "Content-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
            "\r\nAccept-Ranges: bytes\r\nETag: " + etag + "\r\nContent-Disposition: attachment; filename=\"" + ascii_name +
            "\"; filename*=UTF-8''" + encoded + "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    bool ok = send_text(s, w, head);
    if (ok && request.method == "GET" && length > 0) {
        std::string why;
        file_facts facts;
        shared_file f = open_to_read(entry->path, &facts, &why);
        if (f == NO_SHARED_FILE) {
            ok = false;
        } else {
            auto t = std::make_shared<transfer>();
            t->doing = "sending";
            t->name = entry->name;
            t->total = length;
            begin(t);
            std::vector<char> buf(PIECE);
            unsigned long long at = first, stop = first + length;
            while (ok && at < stop && !entry->withdrawn) {
                std::size_t want = stop - at < PIECE ? static_cast<std::size_t>(stop - at) : PIECE;
                long got = read_at(f, at, buf.data(), want);
                if (got <= 0) {
                    ok = false;
                    break;
                }
                std::size_t sent = 0;
                while (sent < static_cast<std::size_t>(got)) {
                    byte_span span{buf.data() + sent, static_cast<std::size_t>(got) - sent};
                    long n = send_gathered(s, &span, 1);
                    if (n < 0) {
                        ok = false;
                        break;
                    }
                    sent += static_cast<std::size_t>(n);
                    t->done += static_cast<unsigned long long>(n);
                    if (sent < static_cast<std::size_t>(got) && wait_socket(s, false, true, w, STALL_MS) == 0) {
                        ok = false;
                        break;
                    }
                }
                at += sent;
            }
            close_shared_file(f);
            end(t);
            ok = ok && at == stop;
            if (ok)
                ++entry->fetches;
        }
    }
    std::lock_guard<std::mutex> lock(mu);
    --serving;
    if (--serving_to[peer] <= 0)
        serving_to.erase(peer);
}

void file_sharing::state::hash_and_offer(std::string path)
{
    file_facts facts;
    std::string why;
    shared_file f = open_to_read(path, &facts, &why);
    if (f == NO_SHARED_FILE) {
        note("cannot share " + safe_to_show(gb(path), true) + ": " + safe_to_show(gb(why), true));
        return;
    }
    std::string name = safe_file_name(last_part(path));
    auto t = std::make_shared<transfer>();
    t->doing = "hashing";
    t->name = name;
    t->total = facts.size;
    bool shown = facts.size >= BIG_FILE;
    if (shown) {
        note("hashing " + shown_name(name) + " (" + size_text(facts.size) + ") before offering it");
        begin(t);
    }
    sha256 hash;
    std::vector<char> buf(PIECE * 4);
    unsigned long long at = 0;
    bool ok = true;
    while (at < facts.size) {
        long got = read_at(f, at, buf.data(), buf.size());
        if (got <= 0) {
            ok = false;
            break;
        }
        hash.add(buf.data(), static_cast<std::size_t>(got));
        at += static_cast<unsigned long long>(got);
        t->done = at;
    }
    close_shared_file(f);
    if (shown)
        end(t);
    file_facts after;
    if (!ok || !facts_of(path, &after) || after.size != facts.size || after.written != facts.written) {
        note("cannot share " + shown_name(name) + ": it changed or could not be read while it was hashed");
        return;
    }
    auto entry = std::make_shared<shared_entry>();
    entry->path = path;
    entry->name = name;
    entry->token = new_token();
    entry->sha256 = hash.hex();
    entry->facts = facts;
    entry->offered = steady_clock::now();
    if (entry->token.empty()) {
        note("cannot share " + shown_name(name) + ": the system gave no random numbers for its address");
        return;
    }
    // The address others reach this client by: that of its connection to the relay; where that is
    // loopback (the relay runs here), this host's address on a network the relay announces on.
    std::string host = hooks.local_address();
    if (host.empty() || host.compare(0, 4, "127.") == 0) {
        ipv4_network nets[16];
        int n = list_networks(nets, 16);
        if (n > 0) {
            const unsigned char *b = reinterpret_cast<const unsigned char *>(&nets[0].address);
            host = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
        } else {
            host = "127.0.0.1";
        }
    }
    unsigned short p;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!start_server(&why)) {
            note("cannot share " + shown_name(name) + ": " + why);
            return;
        }
        p = port;
        shared.push_back(entry);
    }
    hooks.post(gb(offer_text(name, host, p, entry->token, facts.size, entry->sha256)));
    note("sharing " + shown_name(name) + " until you quit, for 24 hours at most; /unshare withdraws it");
    if (on_public_network())
        note("Windows calls this network Public, and its firewall lets nobody fetch from a Public network: "
             "if this network is your school's, office's or home's, mark it Private (Settings > Network & "
             "internet > the network > Network profile type)");
}

// ---- the receiver ----

void file_sharing::state::fetch(heard_offer h)
{
    const file_offer &o = h.offer;
    std::string name = safe_file_name(o.name);
    std::string what = shown_name(name);
    std::uint32_t address = 0;
    if (!parse_ipv4(o.host, &address)) {
        note("not fetching " + what + ": " + safe_to_show(o.host, true) + " is no IPv4 address");
        return;
    }
    std::string local = hooks.local_address();
    ipv4_network nets[16];
    int count = list_networks(nets, 16);
    if (count < 0)
        count = 0;
    if (const char *why = fetch_refusal(address, local.compare(0, 4, "127.") == 0, nets, count)) {
        note("not fetching " + what + " from " + o.host + ": " + why);
        return;
    }
    std::string folder = downloads_folder();
    if (folder.empty()) {
        note("not fetching " + what + ": there is no Downloads folder");
        return;
    }
    std::string part = path_in(folder, name + ".part");
    {
        std::lock_guard<std::mutex> lock(mu);
        for (const auto &p : fetching)
            if (p == part) {
                note(what + " is being fetched already");
                return;
            }
        fetching.push_back(part);
    }
    std::string result;
    bool saved = false;
    auto began = steady_clock::now();
    for (bool told = false;;) {
        int busy = -1;
        saved = fetch_body(h, part, &result, &busy);
        if (saved || busy < 0 || ms_since(began) / 1000 + busy > BUSY_WAIT_MOST_S)
            break;
        if (!told)
            note("the sender of " + what + " is busy with other transfers: waiting for a turn");
        told = true;
        unsigned char jitter = 0;
        system_random(&jitter, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(busy, 1) * 1000 + jitter * 2));
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        for (std::size_t i = 0; i < fetching.size(); ++i)
            if (fetching[i] == part) {
                fetching.erase(fetching.begin() + static_cast<long>(i));
                break;
            }
    }
    if (!saved) {
        outcome("fetching " + what + " failed: " + result);
        return;
    }
    // Renamed without replacing anything: "name (2).pdf" if "name.pdf" is there.
    std::string final_path;
    int renamed = 1;
    for (int n = 1; n < 1000 && renamed == 1; ++n) {
        final_path = path_in(folder, n == 1 ? name : numbered(name, n));
        renamed = rename_new(part, final_path);
    }
    if (renamed != 0) {
        note(what + " was fetched and checked, but could not be renamed from " + safe_to_show(gb(part), true));
        return;
    }
    mark_from_other_computer(final_path);
    std::string saved_as = safe_to_show(gb(final_path), true);
    outcome("saved " + what + " (" + size_text(o.size) + ", checked) as " + saved_as + "; open it from its folder");
    if (runs_when_opened(name))
        note(what + " is a program or a script: open it only if you trust " +
             (o.sender.empty() ? std::string("its sender") : safe_to_show(o.sender, true)));
}

bool file_sharing::state::fetch_body(heard_offer &h, const std::string &part, std::string *result, int *busy)
{
    const file_offer &o = h.offer;
    std::string why;
    unsigned long long have = 0;
    shared_file out = open_to_append(part, &have, &why);
    if (out == NO_SHARED_FILE) {
        *result = "cannot write " + safe_to_show(gb(part), true) + ": " + safe_to_show(gb(why), true);
        return false;
    }
    auto hash = std::make_unique<sha256>();
    if (have > o.size) {
        cut_to(out, 0);
        have = 0;
    }
    if (have > 0) {
        // A transfer broken before: what came is hashed again and the rest asked for.
        file_facts facts;
        shared_file in = open_to_read(part, &facts, &why);
        std::vector<char> buf(PIECE * 4);
        unsigned long long at = 0;
        while (in != NO_SHARED_FILE && at < have) {
            long got = read_at(in, at, buf.data(), static_cast<std::size_t>(std::min<unsigned long long>(buf.size(), have - at)));
            if (got <= 0)
                break;
            hash->add(buf.data(), static_cast<std::size_t>(got));
            at += static_cast<unsigned long long>(got);
        }
        if (in != NO_SHARED_FILE)
            close_shared_file(in);
        if (at != have) {
            close_shared_file(out);
            *result = "the part fetched before cannot be read";
            return false;
        }
    }
    long long space = free_space(last_part(part) == part ? "." : part.substr(0, part.size() - last_part(part).size()));
    if (space >= 0 && static_cast<unsigned long long>(space) < o.size - have) {
        close_shared_file(out);
        *result = "not enough free space (" + size_text(o.size - have) + " needed, " +
                  size_text(static_cast<unsigned long long>(space)) + " free)";
        return false;
    }
    auto t = std::make_shared<transfer>();
    t->name = safe_file_name(o.name);
    t->total = o.size;
    t->done = have;
    t->from = have;
    bool ok = true;
    if (have < o.size) {
        char why_buf[256] = "";
        SOCKET s = connect_to(o.host.c_str(), o.port, CONNECT_MS, why_buf, sizeof why_buf);
        waker *w = s == NO_SOCKET ? nullptr : make_waker();
        if (s == NO_SOCKET || w == nullptr) {
            if (s != NO_SOCKET)
                close_socket(s);
            close_shared_file(out);
            *result = std::string("cannot reach the sender: ") + why_buf;
            return false;
        }
        std::string request = "GET " + o.path + " HTTP/1.1\r\nHost: " + o.host + ":" + std::to_string(o.port) +
                              "\r\nUser-Agent: chat_client\r\nConnection: close\r\n";
        if (have > 0)
            request += "Range: bytes=" + std::to_string(have) + "-\r\nIf-Range: \"" + o.sha256 + "\"\r\n";
        request += "\r\n";
        std::string head;
        std::vector<char> buf(PIECE);
        http_response response;
        long took = 0;
        auto asked = steady_clock::now();
        begin(t);
        if (send_all(s, request.data(), static_cast<int>(request.size())) != 0) {
            *result = "the sender broke the connection";
            ok = false;
        }
        while (ok && took == 0) {
            long long left = RESPONSE_HEAD_MS - ms_since(asked);
            int n = left > 0 && wait_socket(s, true, false, w, static_cast<int>(left)) != 0
                        ? recv_some(s, buf.data(), static_cast<int>(buf.size()))
                        : RECV_BROKEN;
            if (n == RECV_NOTHING)
                continue;
            if (n <= 0) {
                *result = "the sender did not answer";
                ok = false;
                break;
            }
            head.append(buf.data(), static_cast<std::size_t>(n));
            took = parse_response_head(head.data(), head.size(), &response);
            if (took < 0) {
                *result = "the sender's answer is no HTTP";
                ok = false;
            }
        }
        if (ok) {
            if (response.status >= 300 && response.status < 400) {
                *result = "the sender answered with a redirect, which is not followed";
                ok = false;
            } else if (response.status == 404) {
                *result = "the sender no longer shares it";
                ok = false;
            } else if (response.status == 410) {
                *result = "the file changed since it was offered";
                ok = false;
            } else if (response.status == 503) {
                *result = "the sender stayed busy with other transfers; try again later";
                *busy = response.retry_after >= 0 ? std::min(response.retry_after, 60) : 5;
                ok = false;
            } else if (response.chunked) {
                *result = "the sender's answer is in chunks, which is not taken";
                ok = false;
            } else if (response.status == 200) {
                if (have > 0) {
                    // The whole file again, not the rest: start over.
                    cut_to(out, 0);
                    hash = std::make_unique<sha256>();
                    have = 0;
                    t->done = 0;
                    t->from = 0;
                }
            } else if (response.status == 206) {
                if (!response.range_given || response.first != have || response.total != o.size) {
                    *result = "the sender sent another part than asked for";
                    ok = false;
                }
            } else {
                *result = "the sender answered " + std::to_string(response.status);
                ok = false;
            }
        }
        std::string body = ok ? head.substr(static_cast<std::size_t>(took)) : std::string();
        while (ok) {
            if (!body.empty()) {
                std::size_t use = static_cast<std::size_t>(std::min<unsigned long long>(body.size(), o.size - have));
                if (append_all(out, body.data(), use) != 0) {
                    *result = "cannot write " + safe_to_show(gb(part), true);
                    ok = false;
                    break;
                }
                hash->add(body.data(), use);
                have += use;
                t->done = have;
                body.clear();
            }
            if (have >= o.size)
                break;
            int n = wait_socket(s, true, false, w, STALL_MS) != 0 ? recv_some(s, buf.data(), static_cast<int>(buf.size()))
                                                                  : RECV_BROKEN;
            if (n == RECV_NOTHING)
                continue;
            if (n <= 0) {
                *result = "the transfer broke at " + size_text(have) + " of " + size_text(o.size) + "; /get " +
                          std::to_string(h.number) + " goes on from there";
                ok = false;
                break;
            }
            body.assign(buf.data(), static_cast<std::size_t>(n));
        }
        end(t);
        free_waker(w);
        close_socket(s);
    }
    close_shared_file(out);
    if (!ok)
        return false;
    std::string got = hash->hex();
    if (got != o.sha256) {
        remove_path(part);
        *result = "what came does not match the hash offered, and was deleted";
        return false;
    }
    return true;
}

// ---- the commands ----

file_sharing::file_sharing(sharing_hooks hooks) : state_(std::make_shared<state>())
{
    state_->hooks = std::move(hooks);
}

file_sharing::~file_sharing()
{
    // The threads that serve, fetch and show progress are never joined and may still be waiting on
    // the state's locks as the process ends: it is left to them, never destroyed under them.
    state_->ending = true;
    new std::shared_ptr<state>(state_);
}

void file_sharing::share(const std::string &path)
{
    std::string p = utf8_from_gb18030(unquoted(path));
    if (p.empty()) {
        state_->note("/share needs a file: /share PATH");
        return;
    }
    auto st = state_;
    std::thread([st, p] { st->hash_and_offer(p); }).detach();
}

void file_sharing::unshare(const std::string &which)
{
    std::vector<std::shared_ptr<shared_entry>> gone;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        std::size_t n = 0;
        if (unquoted(which).empty()) {
            gone.swap(state_->shared);
        } else if (parse_count(which, &n) && n >= 1 && n <= state_->shared.size()) {
            gone.push_back(state_->shared[n - 1]);
            state_->shared.erase(state_->shared.begin() + static_cast<long>(n - 1));
        } else {
            state_->note("/unshare withdraws all your files, /unshare N the one /files numbers N among yours");
            return;
        }
    }
    for (const auto &e : gone) {
        e->withdrawn = true;
        state_->note("withdrew " + shown_name(e->name));
    }
    if (gone.empty())
        state_->note("you share no files");
}

void file_sharing::list_files()
{
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        auto now = steady_clock::now();
        while (!state_->offers.empty() && now - state_->offers.front().heard >= OFFER_LIFETIME)
            state_->offers.pop_front();
        for (const auto &h : state_->offers)
            lines.push_back(std::to_string(h.number) + ". " + shown_name(safe_file_name(h.offer.name)) + " (" +
                            size_text(h.offer.size) + ") from " +
                            (h.offer.sender.empty() ? std::string("(no name)") : safe_to_show(h.offer.sender, true)) +
                            " at " + safe_to_show(h.offer.host, true));
        std::size_t n = 0;
        for (const auto &e : state_->shared)
            if (now - e->offered < OFFER_LIFETIME)
                lines.push_back("yours " + std::to_string(++n) + ". " + shown_name(e->name) + " (" +
                                size_text(e->facts.size) + "), fetched " + std::to_string(e->fetches.load()) + " times");
    }
    if (lines.empty()) {
        state_->note("no files offered: /share PATH offers one");
        return;
    }
    state_->note("files offered (/get N fetches one):");
    for (const auto &l : lines)
        state_->note(l);
}

void file_sharing::get(const std::string &which)
{
    std::size_t n = 0;
    if (!parse_count(which, &n)) {
        state_->note("/get N fetches the file /files numbers N");
        return;
    }
    heard_offer found;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        for (const auto &h : state_->offers)
            if (h.number == n && steady_clock::now() - h.heard < OFFER_LIFETIME)
                found = h;
    }
    if (found.number == 0) {
        state_->note("no file " + std::to_string(n) + " is offered: /files lists them");
        return;
    }
    auto st = state_;
    std::thread([st, found] { st->fetch(found); }).detach();
}

std::size_t file_sharing::heard(const std::string &line)
{
    file_offer o;
    if (!parse_offer(line, &o))
        return 0;
    std::lock_guard<std::mutex> lock(state_->mu);
    heard_offer h;
    h.number = state_->next_number++;
    h.offer = o;
    h.heard = steady_clock::now();
    state_->offers.push_back(h);
    if (state_->offers.size() > OFFERS_KEPT)
        state_->offers.pop_front();
    return h.number;
}
