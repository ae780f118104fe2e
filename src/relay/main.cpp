// main.cpp - the LAN chat relay: accepts clients on TCP 8888, relays every chunk one client sends
// to all the others, answers heartbeats, drops silent clients, and announces itself on UDP 8889.
// Start-up, the failures at start and the accept loop; the rest is in the units it starts.
#include "common/relay_log.h"
#include "common/wire.h"
#include "platform/log_output.h"
#include "platform/net.h"
#include "platform/system.h"
#include "beacon.h"
#include "log_lines.h"
#include "room.h"
#include "run_flag.h"
#include "starter.h"

#include <chrono>
#include <cstdint>
#include <thread>

// Logs a failed start and returns its code, the exit status. A console window that is the relay's
// alone (started from the Start menu or Explorer) then stays open until a key is pressed, so that
// whoever started it can read why; one shared with a shell, a pipe or a file never waits.
static int failed_start(const char *line, unsigned long err)
{
    log_event(line, static_cast<std::uint32_t>(err));
    events.write_unattended();
    net_cleanup();
    hold_console_open(nullptr);
    return static_cast<int>(err);
}

int main(int, char **)
{
    load_libraries_from_system_only();
    prepare_log_output();
    unsigned long err = net_startup();
    if (err != 0)
        return failed_start(LINE_STARTUP_FAILED, err);
    prepare_relay_process();

    // A socket that cannot be created (no descriptor left, say) cannot be bound either: that is
    // reported as a failed bind, with the code of the failure that happened.
    SOCKET tcp_sock = tcp_socket();
    if (tcp_sock == NO_SOCKET || bind_any(tcp_sock, TCP_PORT) != 0)
        return failed_start(LINE_BIND_FAILED, last_error());
    // The longest queue the platform allows: with a short one, a burst of clients starting at once
    // overflows it, and those whose handshakes completed anyway are never served. A listen can fail
    // where the bind did not (two relays started at the same moment, a wildcard conflict that the
    // platform reports only here): that is a port we do not have, reported as such.
    if (listen_socket(tcp_sock) != 0)
        return failed_start(LINE_BIND_FAILED, last_error());

    // Without the beacon, clients must be told the address; the relay itself still works.
    start_thread(udp_broadcast, nullptr);
    events.start_writer();
    start_starter();  // else the accept loop takes newcomers in
    start_porter();  // else those who hand over do it all themselves
    log_event(LINE_STARTED);
    events.write_unattended();

    SOCKET socks[ACCEPT_BATCH];
    waker *wakers[ACCEPT_BATCH];
    while (server_running) {
        int count = accept_clients(tcp_sock, socks, wakers, ACCEPT_BATCH);
        if (count == 0) {
            // Out of descriptors or memory, most likely. A connection that cannot be served is
            // refused at once rather than left waiting in the queue; with nothing refused, retrying
            // at once would only spin.
            if (refuse_client(tcp_sock) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        give_to_starter(socks, wakers, count);
    }

    close_socket(tcp_sock);
    net_cleanup();
    return 0;
}
