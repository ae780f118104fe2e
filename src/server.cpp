// server.cpp - the LAN chat relay: accepts clients on TCP 8888, relays every chunk one client sends
// to all the others, answers heartbeats, drops silent clients, and announces itself on UDP 8889.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#define TCP_PORT 8888
#define UDP_PORT 8889
#define BUFFER_SIZE 4096

// Event lines. The text is GBK (code page 936) whatever the encoding of this file, so it is spelled
// in byte escapes; the Chinese it stands for is beside each.
static const char LINE_STARTUP_FAILED[] =  // 初始化套接字失败。代码：
    "[%02d:%02d:%02d] \xb3\xf5\xca\xbc\xbb\xaf\xcc\xd7\xbd\xd3\xd7\xd6\xca\xa7\xb0\xdc\xa1\xa3\xb4\xfa\xc2\xeb\xa3\xba"
    "%lu\n";
static const char LINE_BIND_FAILED[] =  // 绑定套接字失败。代码：
    "[%02d:%02d:%02d] \xb0\xf3\xb6\xa8\xcc\xd7\xbd\xd3\xd7\xd6\xca\xa7\xb0\xdc\xa1\xa3\xb4\xfa\xc2\xeb\xa3\xba"
    "%lu\n";
static const char LINE_STARTED[] =  // 服务器已启动。
    "[%02d:%02d:%02d] \xb7\xfe\xce\xf1\xc6\xf7\xd2\xd1\xc6\xf4\xb6\xaf\xa1\xa3"
    "\n";
static const char LINE_CONNECTED[] =  // 新客户端连接，当前在线：
    "[%02d:%02d:%02d] \xd0\xc2\xbf\xcd\xbb\xa7\xb6\xcb\xc1\xac\xbd\xd3\xa3\xac\xb5\xb1\xc7\xb0\xd4\xda\xcf\xdf\xa3\xba"
    "%d\n";
static const char LINE_TIMED_OUT[] =  // 客户端超时断开
    "[%02d:%02d:%02d] \xbf\xcd\xbb\xa7\xb6\xcb\xb3\xac\xca\xb1\xb6\xcf\xbf\xaa"
    "\n";

// The client registry: every connected socket in the order it arrived, guarded by mtx.
std::vector<SOCKET> clients;
std::mutex mtx;
std::atomic<bool> server_running{true};

clock_time getTime()
{
    return local_clock();
}

// Writes one event line with the current local time. One printf per line keeps lines from different
// threads whole; the flush makes the line visible at once when stdout is a pipe or a file.
template <typename... Args>
static void log_event(const char *format, Args... args)
{
    clock_time now = getTime();
    std::printf(format, now.hour, now.minute, now.second, args...);
    std::fflush(stdout);
}

// Sends all len bytes unless the connection fails; a short send would cut a chunk in two.
static void send_all(SOCKET s, const char *data, int len)
{
    while (len > 0) {
        int sent = send_some(s, data, len);
        if (sent <= 0)
            return;  // the receiver's own handler notices a dead connection through its silence
        data += sent;
        len -= sent;
    }
}

// A heartbeat is a chunk that begins with "[PING]". Shorter chunks are data.
static bool is_heartbeat(const char *chunk, int len)
{
    static const char PING[] = "[PING]";
    return len >= 6 && std::memcmp(chunk, PING, 6) == 0;
}

// Passes a chunk to every registered client but its sender, in registration order. The whole walk
// is one critical section, so chunks from different senders never interleave at a receiver.
static void fan_out(SOCKET sender, const char *chunk, int len)
{
    std::lock_guard<std::mutex> lock(mtx);
    for (SOCKET receiver : clients)
        if (receiver != sender)
            send_all(receiver, chunk, len);
}

// Removes the first entry for s (if any) and closes s, both under the lock, so no fan-out can
// send to s after it has been closed.
static void unregister_client(SOCKET s)
{
    std::lock_guard<std::mutex> lock(mtx);
    for (auto it = clients.begin(); it != clients.end(); ++it) {
        if (*it == s) {
            clients.erase(it);
            break;
        }
    }
    close_socket(s);
}

void handle_client(SOCKET client_sock)
{
    char buffer[BUFFER_SIZE];
    std::time_t last_active = std::time(nullptr);
    while (server_running) {
        set_recv_timeout(client_sock, 1);
        int bytes_received = recv_some(client_sock, buffer, BUFFER_SIZE);
        if (bytes_received > 0) {
            last_active = std::time(nullptr);
            if (is_heartbeat(buffer, bytes_received))
                send_all(client_sock, "[PONG]", 6);
            else
                fan_out(client_sock, buffer, bytes_received);
        } else if (std::time(nullptr) - last_active > 10) {
            // Silence, a time-out or a closed connection all look alike here.
            log_event(LINE_TIMED_OUT);
            break;
        }
    }
    unregister_client(client_sock);
}

void udp_broadcast()
{
    static const char discovery_msg[] = "CHAT_SERVER_V1.4";
    SOCKET udp_sock = udp_broadcast_socket();
    while (server_running) {
        send_broadcast(udp_sock, discovery_msg, sizeof discovery_msg - 1, UDP_PORT);  // 16 bytes, no NUL
        std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    close_socket(udp_sock);
}

// Registers a new connection and starts its handler. If no thread can be started, the entry is
// taken back and the socket closed, so the registry never holds a client nobody serves.
static void register_client(SOCKET client_sock)
{
    std::lock_guard<std::mutex> lock(mtx);
    clients.push_back(client_sock);
    try {
        std::thread(handle_client, client_sock).detach();
    } catch (const std::system_error &) {
        clients.pop_back();
        close_socket(client_sock);
        return;
    }
    log_event(LINE_CONNECTED, static_cast<int>(clients.size()));
}

int main(int, char **)
{
    unsigned long err = net_startup();
    if (err != 0) {
        log_event(LINE_STARTUP_FAILED, err);
        net_cleanup();
        return static_cast<int>(err);
    }

    SOCKET tcp_sock = tcp_socket();  // a failed creation shows as a failed bind
    if (bind_any(tcp_sock, TCP_PORT) != 0) {
        err = last_error();
        log_event(LINE_BIND_FAILED, err);
        net_cleanup();
        return static_cast<int>(err);
    }
    listen_socket(tcp_sock, 5);

    try {
        std::thread(udp_broadcast).detach();
    } catch (const std::system_error &) {
        // Without the beacon, clients must be told the address; the relay itself still works.
    }
    log_event(LINE_STARTED);

    while (server_running) {
        SOCKET client_sock = accept_client(tcp_sock);
        if (client_sock == NO_SOCKET)
            continue;
        register_client(client_sock);
    }

    close_socket(tcp_sock);
    net_cleanup();
    return 0;
}
