// reference_relay.cpp - a measuring stick for the benchmarks, not the product.
//
// The least a relay can do on this machine: one thread, one epoll set (level-triggered), and every
// chunk that one receive takes from a client (up to 64 KiB) sent unchanged to every other
// connected client, in order. The chunks of one wait for events go to each receiver together, in
// one sendmsg: under load that is what keeps the system calls from growing with the load. Nothing
// else: no heartbeat answers, no inactivity limit, no announcements, no logging. A receiver that
// cannot take it all at once gets the rest queued, without bound, and drained when its socket has
// room again, so that nothing is lost. bench/run.sh runs it beside chat_server, and
// docs/benchmarks.md gives chat_server's figures as ratios to it: what the product costs on top
// of bare fan-out.
//
//   reference_relay [--answer-heartbeats] [PORT]
//       listens on 127.0.0.1:PORT (default 8888) until SIGTERM or SIGINT. --answer-heartbeats: a
//       chunk that starts with "[PING]" is answered with "[PONG]" instead of passed on, so that
//       loads with heartbeating clients (the soak's) can be measured against it too.
#include "loopback_listener.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

struct Client {
    int fd = -1;
    size_t slot = 0;   // its place in `clients`
    std::string out;   // what its socket has not taken yet, from `head` on
    size_t head = 0;
};

int ep = -1;
std::vector<Client *> clients;

void want_out(Client &c, bool on)
{
    epoll_event ev{};
    ev.events = EPOLLIN | (on ? static_cast<unsigned>(EPOLLOUT) : 0u);
    ev.data.ptr = &c;
    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
}

// Sends what waits; true when nothing is left.
bool drain(Client &c)
{
    while (c.head < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.head, c.out.size() - c.head, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (c.head > c.out.size() / 2) {  // what is sent goes, once it is most of the queue
                c.out.erase(0, c.head);
                c.head = 0;
            }
            return false;
        }
        if (n < 0)
            break;  // a broken socket: its receive will say so
        c.head += static_cast<size_t>(n);
    }
    c.out.clear();
    c.head = 0;
    return true;
}

// The chunks received since the last pass, in one buffer.
struct Chunk {
    const Client *from;
    size_t at, len;
};
const size_t RECEIVE = 65536, MOST_CHUNKS = 1024;  // MOST_CHUNKS: at most IOV_MAX
std::vector<char> arena(16 * RECEIVE);
size_t used = 0;
std::vector<Chunk> batch;

// To each client, what the others sent since the last pass, in the order it came.
void pass_on()
{
    if (batch.empty())
        return;
    static iovec iov[MOST_CHUNKS];
    for (Client *c : clients) {
        size_t k = 0, total = 0;
        for (const Chunk &ch : batch)
            if (ch.from != c) {
                iov[k++] = {arena.data() + ch.at, ch.len};
                total += ch.len;
            }
        size_t taken = 0;
        if (k > 0 && c->head == c->out.size()) {  // nothing waits before it
            msghdr m{};
            m.msg_iov = iov;
            m.msg_iovlen = k;
            ssize_t n = sendmsg(c->fd, &m, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                continue;  // a broken socket: its receive will say so
            taken = n < 0 ? 0 : static_cast<size_t>(n);
            if (taken < total)
                want_out(*c, true);
        }
        if (taken == total)
            continue;
        for (size_t i = 0; i < k; ++i) {  // the rest waits, in order
            size_t skip = std::min(taken, iov[i].iov_len);
            c->out.append(static_cast<const char *>(iov[i].iov_base) + skip, iov[i].iov_len - skip);
            taken -= skip;
        }
    }
    batch.clear();
    used = 0;
}

void remove(Client *c)
{
    close(c->fd);  // also takes it out of the epoll set
    clients[c->slot] = clients.back();
    clients[c->slot]->slot = c->slot;
    clients.pop_back();
    delete c;
}

}  // namespace

int main(int argc, char **argv)
{
    bool answer = argc > 1 && std::strcmp(argv[1], "--answer-heartbeats") == 0;
    int port = argc > 1 + answer ? std::atoi(argv[1 + answer]) : 8888;
    // SIGTERM and SIGINT get through only while waiting for events, and end the loop there.
    sigset_t stop, waiting;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigaction(SIGTERM, &quiet, nullptr);
    sigaction(SIGINT, &quiet, nullptr);

    int lfd = listen_on_loopback(port, SOCK_NONBLOCK);
    if (lfd < 0) {
        std::perror("reference_relay: listen");
        return 1;
    }
    int one = 1;
    ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.ptr = nullptr;  // the listening socket
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &lev);

    std::vector<epoll_event> events(MOST_CHUNKS);
    for (;;) {
        int n = epoll_pwait(ep, events.data(), static_cast<int>(events.size()), -1, &waiting);
        if (n < 0 && errno == EINTR)
            break;  // SIGTERM or SIGINT
        for (int i = 0; i < n; ++i) {
            auto *c = static_cast<Client *>(events[i].data.ptr);
            if (!c) {
                int fd;
                while ((fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    c = new Client;
                    c->fd = fd;
                    c->slot = clients.size();
                    clients.push_back(c);
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.ptr = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
                }
                continue;
            }
            if ((events[i].events & EPOLLOUT) && drain(*c))
                want_out(*c, false);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                if (arena.size() - used < RECEIVE || batch.size() == MOST_CHUNKS)
                    pass_on();
                ssize_t r = recv(c->fd, arena.data() + used, RECEIVE, 0);
                if (r > 0 && answer && r >= 6 && std::memcmp(arena.data() + used, "[PING]", 6) == 0) {
                    bool idle = c->head == c->out.size();
                    c->out.append("[PONG]", 6);  // behind whatever waits for it, never inside a chunk
                    if (idle && !drain(*c))
                        want_out(*c, true);
                } else if (r > 0) {
                    batch.push_back({c, used, static_cast<size_t>(r)});
                    used += static_cast<size_t>(r);
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    remove(c);  // one event a descriptor in a wait: it has no chunk in `batch`
                }
            }
        }
        pass_on();
    }
    for (Client *c : clients) {
        close(c->fd);
        delete c;
    }
    close(lfd);
    close(ep);
    return 0;
}
