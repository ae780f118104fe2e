// thread_relay.cpp - a second measuring stick for the benchmarks, not the product.
//
// The least a relay with one thread per client can do: the accept loop starts a thread for each
// client; the thread makes blocking receives of up to 4 KiB and, under one mutex, sends each chunk
// unchanged to every other client with blocking sends (a chunk that starts with "[PING]" is
// answered with "[PONG]" instead, so that it can be measured with heartbeating clients, as
// chat_server is). Nothing else: no inactivity limit, no queue, no limit on how far a reader falls
// behind (a client that stops reading stops the room: do not use it for the stall scenarios), no
// announcements, no logging. bench/run.sh runs it beside chat_server in the paced and burst
// scenarios: the reference relay (one epoll thread) is the least any relay can do, this is the
// least chat_server's design (a thread per client) can do, and chat_server sits above both.
//
//   thread_relay [PORT]   listens on 127.0.0.1:PORT (default 8888) until killed
#include "loopback_listener.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::mutex mtx;
std::vector<int> clients;  // guarded by mtx

void send_all(int fd, const char *p, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a broken socket: its own thread's receive will say so
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void serve(int fd)
{
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(mtx);
        if (n >= 6 && std::memcmp(buf, "[PING]", 6) == 0) {
            send_all(fd, "[PONG]", 6);
            continue;
        }
        for (int other : clients)
            if (other != fd)
                send_all(other, buf, static_cast<size_t>(n));
    }
    std::lock_guard<std::mutex> lock(mtx);
    clients.erase(std::find(clients.begin(), clients.end(), fd));
    close(fd);
}

}  // namespace

int main(int argc, char **argv)
{
    int port = argc > 1 ? std::atoi(argv[1]) : 8888;
    int lfd = listen_on_loopback(port, 0);
    if (lfd < 0) {
        std::perror("thread_relay: listen");
        return 1;
    }
    int one = 1;
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED)
                usleep(10000);  // out of descriptors, most likely
            continue;
        }
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard<std::mutex> lock(mtx);
            clients.push_back(fd);
        }
        std::thread(serve, fd).detach();
    }
}
