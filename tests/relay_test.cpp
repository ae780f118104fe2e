// relay_test.cpp - the relay server seen from outside: its log, its TCP relay and its UDP beacon.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <future>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST_F(Relay, StartLineIsGbkWithTheLocalTime)
{
    // A zone far from UTC shows that the time is local, not universal.
    start_server({}, {"TZ=Asia/Shanghai"});
    std::time_t now = std::time(nullptr);
    EventLine started = line(1);
    EXPECT_EQ(started.raw.substr(10), " " + started_text() + line_end());
    int logged = started.hour * 3600 + started.minute * 60 + started.second;
    int expected = static_cast<int>((now + 8 * 3600) % 86400);
    int diff = std::abs(logged - expected);
    EXPECT_LE(std::min(diff, 86400 - diff), 3) << started.raw;
    EXPECT_EQ(started.raw[0], '[');
    EXPECT_EQ(started.raw.substr(3, 1) + started.raw.substr(6, 1), "::");
    std::this_thread::sleep_for(QUIET);
    EXPECT_EQ(server.lines().size(), 1u) << "nothing but the start line is logged at start-up";
}

TEST_F(Relay, OnATerminalTheLogIsTextInTheTerminalsEncoding)
{
    server.output_to_terminal();
    server.start({}, {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
    // Wine's console adds escape sequences of its own around the text, so only the text is looked for.
    EXPECT_TRUE(server.wait_for_output("] 服务器已启动。", START_TIMEOUT)) << "not UTF-8 text: " << server.log();
    Client a;
    EXPECT_TRUE(server.wait_for_output("] 新客户端连接，当前在线：1", seconds(10))) << server.log();
    EXPECT_EQ(server.output().find(started_text()), std::string::npos) << "GBK bytes reached the terminal";
}

// systemd gives a service's output to the journal through a stream socket that JOURNAL_STREAM
// names; the journal wants UTF-8, whatever the locale. The variable is inherited by whatever the
// service starts, so the relay checks that its own output is that socket.
TEST_F(Relay, InTheJournalTheLogIsUtf8ElsewhereGbkWhateverJournalStreamSays)
{
    if (under_wine())
        GTEST_SKIP() << "Windows has no journal";
    server.output_to_journal();
    server.start({}, {"LANG=C", "LC_ALL=C"});
    auto lines = server.wait_for_lines(1, START_TIMEOUT);
    ASSERT_FALSE(lines.empty()) << server.log();
    EXPECT_EQ(lines[0].raw.substr(10), " 服务器已启动。\n");
    {
        Client a;
        EXPECT_EQ(line(2).text, "新客户端连接，当前在线：1");
    }
    server.stop();

    // The same variable, naming a live stream socket, while standard output is a pipe.
    int journal[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, journal), 0);
    ServerProcess piped;
    piped.start({}, {"JOURNAL_STREAM=" + journal_stream_of(journal[1]), "LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
    lines = piped.wait_for_lines(1, START_TIMEOUT);
    ASSERT_FALSE(lines.empty()) << piped.log();
    EXPECT_EQ(lines[0].raw.substr(10), " " + started_text() + "\n");
    {
        Client a;
        lines = piped.wait_for_lines(2, seconds(10));
        ASSERT_EQ(lines.size(), 2u) << piped.log();
        EXPECT_EQ(lines[1].text, connected_text(1));
    }
    close(journal[0]);
    close(journal[1]);
}

TEST_F(Relay, RelaysEachChunkToEveryOtherClientAndNeverEchoes)
{
    start_server();
    Client a, b, c;
    line(4);
    a.send("hello from a\n");
    EXPECT_EQ(b.recv_exact(13, seconds(5)), "hello from a\n");
    EXPECT_EQ(c.recv_exact(13, seconds(5)), "hello from a\n");
    b.send("and from b");
    EXPECT_EQ(a.recv_exact(10, seconds(5)), "and from b");
    EXPECT_EQ(c.recv_exact(10, seconds(5)), "and from b");
    EXPECT_EQ(a.recv_for(QUIET), "") << "the sender got its own chunk back";
    EXPECT_EQ(b.recv_for(QUIET), "");
    EXPECT_EQ(c.recv_for(QUIET), "");
}

TEST_F(Relay, BinaryBytesAndLongBurstsArriveIntactAndInOrder)
{
    start_server();
    Client a, b, c;
    line(4);
    std::string every_byte;
    for (int i = 0; i < 256; ++i)
        every_byte += static_cast<char>(i);
    a.send(every_byte);
    EXPECT_EQ(b.recv_exact(256, seconds(5)), every_byte);
    EXPECT_EQ(c.recv_exact(256, seconds(5)), every_byte);

    // Far more than one receive: the server passes it on in many chunks, all of them in order.
    std::string burst = random_bytes(4 << 20, 7);
    auto to_b = std::async(std::launch::async, [&] { return b.recv_exact(burst.size(), seconds(60)); });
    auto to_c = std::async(std::launch::async, [&] { return c.recv_exact(burst.size(), seconds(60)); });
    a.send(burst);
    EXPECT_TRUE(to_b.get() == burst) << "b's copy of the burst differs";
    EXPECT_TRUE(to_c.get() == burst) << "c's copy of the burst differs";
    EXPECT_EQ(a.recv_for(QUIET), "");
}

TEST_F(Relay, StreamsFromConcurrentSendersArriveWholeAndInOrder)
{
    start_server();
    Client a, b, r;
    line(4);
    // a sends only lower-case letters and b only digits, so the receiver can pull the two apart.
    std::string from_a, from_b;
    std::mt19937 gen(11);
    for (int i = 0; i < 300000; ++i) {
        from_a += static_cast<char>('a' + gen() % 26);
        from_b += static_cast<char>('0' + gen() % 10);
    }
    auto got = std::async(std::launch::async, [&] { return r.recv_exact(from_a.size() + from_b.size(), seconds(60)); });
    auto send_a = std::async(std::launch::async, [&] {
        for (size_t i = 0; i < from_a.size(); i += 1000)
            a.send(from_a.substr(i, 1000));
    });
    for (size_t i = 0; i < from_b.size(); i += 700)
        b.send(from_b.substr(i, 700));
    send_a.get();
    std::string all = got.get();
    std::string letters, digits;
    for (char ch : all)
        (ch >= 'a' && ch <= 'z' ? letters : digits) += ch;
    EXPECT_TRUE(letters == from_a) << "a's stream was cut, reordered or mixed: " << letters.size() << " of " << from_a.size();
    EXPECT_TRUE(digits == from_b) << "b's stream was cut, reordered or mixed: " << digits.size() << " of " << from_b.size();
    // Neither sender gets anything: each other's bytes go to the other, so drain and look at them.
    EXPECT_TRUE(a.recv_exact(from_b.size(), seconds(20)) == from_b);
    EXPECT_TRUE(b.recv_exact(from_a.size(), seconds(20)) == from_a);
}

TEST_F(Relay, HeartbeatIsAnsweredOnceAndRelayedToNobody)
{
    start_server();
    Client a, b;
    line(3);
    a.send("[PING]");
    EXPECT_EQ(a.recv_exact(6, seconds(5)), "[PONG]");
    EXPECT_EQ(a.recv_for(QUIET), "") << "the answer is exactly six bytes";
    EXPECT_EQ(b.recv_for(QUIET), "") << "a heartbeat was relayed";

    a.send("[PING]and whatever follows it");
    EXPECT_EQ(a.recv_exact(6, seconds(5)), "[PONG]");
    EXPECT_EQ(b.recv_for(QUIET), "") << "bytes after [PING] in its chunk were relayed";

    a.send("[PING][PING]");
    EXPECT_EQ(a.recv_exact(6, seconds(5)), "[PONG]");
    EXPECT_EQ(a.recv_for(QUIET), "") << "two heartbeats in one chunk are answered once";

    a.send("say [PING]");
    EXPECT_EQ(b.recv_exact(10, seconds(5)), "say [PING]") << "[PING] not at the start is data";
    a.send("[ping]");
    EXPECT_EQ(b.recv_exact(6, seconds(5)), "[ping]");
    EXPECT_EQ(a.recv_for(QUIET), "");
}

TEST_F(Relay, ChunkShorterThanAHeartbeatIsDataEvenAfterAHeartbeat)
{
    start_server();
    Client a, b;
    line(3);
    a.send("[PING]");
    EXPECT_EQ(a.recv_exact(6, seconds(5)), "[PONG]");
    a.send("[P");  // the previous receive left "[PING]" in the server's buffer
    EXPECT_EQ(b.recv_exact(2, seconds(5)), "[P");
    EXPECT_EQ(a.recv_for(QUIET), "") << "a short chunk was taken for a heartbeat";
}

TEST_F(Relay, CountsClientsAndDropsOnlyTheSilentOne)
{
    start_server();
    Client silent;
    auto silent_since = Clock::now();
    EXPECT_EQ(line(2).text, connected_text(1));
    Client talker, pinger;
    EXPECT_EQ(line(3).text, connected_text(2));
    EXPECT_EQ(line(4).text, connected_text(3));

    // One keeps talking, one keeps heartbeating, one says nothing at all.
    std::optional<Clock::time_point> dropped_at;
    while (Clock::now() - silent_since < seconds(16) && !dropped_at) {
        pinger.send("[PING]");
        ASSERT_EQ(pinger.recv_exact(6, seconds(5)), "[PONG]");
        talker.send("still here");
        ASSERT_EQ(pinger.recv_exact(10, seconds(5)), "still here");
        std::string got = silent.recv_exact(10, seconds(5));
        if (got.empty() && silent.closed_by_server(milliseconds(0))) {
            dropped_at = Clock::now();  // dropped just before this message
            break;
        }
        ASSERT_EQ(got, "still here") << "silent client lost relayed bytes";
        if (silent.closed_by_server(seconds(2)))
            dropped_at = Clock::now();
    }
    ASSERT_TRUE(dropped_on_time(dropped_at, silent_since));
    EventLine dropped = line(5);
    EXPECT_EQ(dropped.text, timed_out_text());
    EXPECT_EQ(dropped.raw.substr(10), " " + timed_out_text() + line_end());

    // The other two are still served, and the count reflects the drop.
    Client late;
    EXPECT_EQ(line(6).text, connected_text(3));
    talker.send("after");
    EXPECT_EQ(pinger.recv_exact(5, seconds(5)), "after");
    EXPECT_EQ(late.recv_exact(5, seconds(5)), "after");
    EXPECT_EQ(server.lines().size(), 6u) << "a client that keeps talking was dropped";
}

TEST_F(Relay, SurvivesReceiversThatResetMidStream)
{
    start_server();
    Client sender, gone, stays;
    line(4);
    gone.reset();
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        std::string chunk = "chunk " + std::to_string(i) + ";";
        sender.send(chunk);
        expected += chunk;
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(stays.recv_exact(expected.size(), seconds(10)), expected);
    EXPECT_TRUE(server.running()) << "a send to a reset peer ended the server";
    sender.send("[PING]");
    EXPECT_EQ(sender.recv_exact(6, seconds(5)), "[PONG]");
}

TEST_F(Relay, BeaconAnnouncesTheServerEveryThreeSeconds)
{
    // The one network here also has the default route: it hears the limited broadcast and, beside
    // it, the announcement to its own subnet's broadcast address.
    BeaconListener listener;
    start_server();
    auto started = Clock::now();
    std::vector<Datagram> heard, on_subnet;
    while (heard.size() < 3) {
        auto d = listener.receive(seconds(6));
        ASSERT_TRUE(d) << "beacon number " << heard.size() + 1 << " never came";
        (d->destination == "198.18.0.255" ? on_subnet : heard).push_back(*d);
    }
    EXPECT_LE(heard[0].arrived - started, seconds(2)) << "the first beacon goes out at start";
    for (size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].payload, "CHAT_SERVER_V1.4");
        EXPECT_EQ(heard[i].payload.size(), 16u) << "no terminating zero or line end";
        EXPECT_EQ(heard[i].destination, "255.255.255.255");
        EXPECT_EQ(heard[i].source_port, heard[0].source_port) << "one socket for every beacon";
        if (i > 0) {
            double gap = std::chrono::duration<double>(heard[i].arrived - heard[i - 1].arrived).count();
            EXPECT_GT(gap, 2.7);
            EXPECT_LT(gap, 4.0);
        }
    }
    EXPECT_GE(on_subnet.size(), 2u) << "the subnet's own announcement is missing";
    for (size_t i = 0; i < on_subnet.size(); ++i) {
        EXPECT_EQ(on_subnet[i].payload, "CHAT_SERVER_V1.4");
        EXPECT_EQ(on_subnet[i].source, "198.18.0.1");
        if (i > 0) {
            EXPECT_GT(on_subnet[i].arrived - on_subnet[i - 1].arrived, milliseconds(2700)) << "twice in one period";
        }
    }
    EXPECT_EQ(server.lines().size(), 1u) << "the beacon logs nothing";
}

TEST_F(Relay, PortInUseEndsWithTheBindErrorAndNoBeacon)
{
    PortHolder holder;
    BeaconListener listener;
    expect_exit = true;
    server.start();
    auto status = server.wait_exit(START_TIMEOUT);
    ASSERT_TRUE(status) << "the server kept running without its port";
    // Linux reports EADDRINUSE; Windows WSAEADDRINUSE, of which Wine passes on the low 8 bits.
    unsigned long code = under_wine() ? 10048 : 98;
    EXPECT_EQ(*status, static_cast<int>(code & 0xff));
    auto lines = server.wait_for_lines(1, seconds(2));
    ASSERT_EQ(lines.size(), 1u) << server.log();
    EXPECT_EQ(lines[0].text, bind_failed_text(code));
    EXPECT_EQ(lines[0].raw.substr(10), " " + bind_failed_text(code) + line_end());
    EXPECT_FALSE(listener.receive(milliseconds(500))) << "a beacon was sent although the bind failed";
}

// A relay that fails at start from the Start menu or Explorer has a console window of its own, which
// closes when it ends: that window waits for a key, so that the failure can be read. One that shares
// the console of the cmd that started it never waits, nor does one whose input is a pipe (the test
// above). Wine's consoles tell the two apart as Windows does; they are drawn on a display of the
// test's own, where xdotool types the key.
TEST_F(Relay, AFailedRelayHoldsAConsoleWindowOfItsOwnOpenUntilAKeyButNeverACmdOne)
{
    if (!under_wine())
        GTEST_SKIP() << "a console window of its own is Windows'";
    PortHolder holder;
    Program display;
    display.run_under_wine("", "");  // Xvfb is a Linux program
    display.start("/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
    ASSERT_TRUE(display.wait_for_output("\n", seconds(10))) << display.errors();
    const std::string display_env = "DISPLAY=:" + display.output().substr(0, display.output().find('\n'));
    std::string relay = "Z:" RELAY_SERVER;
    std::replace(relay.begin(), relay.end(), '/', '\\');
    const int bind_code = 10048 & 0xff;  // Wine passes on the low 8 bits of WSAEADDRINUSE

    Program in_cmd;
    auto started = Clock::now();
    in_cmd.start("wineconsole", {"cmd", "/c", relay}, {display_env});
    auto status = in_cmd.wait_exit(START_TIMEOUT);
    ASSERT_TRUE(status) << "a relay in cmd's console kept it waiting";
    EXPECT_EQ(*status, bind_code);
    // A console of its own, started as that one was, has failed well within three times as long.
    Clock::duration held = std::max<Clock::duration>(seconds(5), 3 * (Clock::now() - started));

    Program alone;
    alone.start("wineconsole", {relay}, {display_env});
    EXPECT_FALSE(alone.wait_exit(held)) << "the window closed without waiting for a key";
    // With no window manager, keys go to the window under the pointer: the console's, from the top
    // left to past (640, 400).
    int rc = std::system(("timeout 20 env " + display_env + " xdotool mousemove 200 200 key space").c_str());
    EXPECT_EQ(rc, 0) << "xdotool could not type";
    status = alone.wait_exit(seconds(10));
    ASSERT_TRUE(status) << "a key did not close the window";
    EXPECT_EQ(*status, bind_code);
}

TEST_F(Relay, OfTwoRelaysStartedTogetherOneServesAndTheOtherSaysWhy)
{
    // Started at the same moment, both may bind before either listens; then it is the listen that
    // fails, and that must end the relay just as a failed bind does. (Linux can also fail both
    // listens when they meet exactly: then both say so, which is rare and honest.)
    unsigned long code = under_wine() ? 10048 : 98;
    const int rounds = under_wine() ? 3 : 20;
    int served = 0;
    for (int round = 0; round < rounds; ++round) {
        ServerProcess pair[2];
        pair[0].start();
        pair[1].start();
        auto deadline = Clock::now() + START_TIMEOUT;
        while (pair[0].running() && pair[1].running() && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(10));
        std::this_thread::sleep_for(milliseconds(300));  // time enough for the other to fail too
        int up = 0;
        for (ServerProcess &relay : pair) {
            bool running = relay.running();
            up += running;
            auto lines = relay.wait_for_lines(1, START_TIMEOUT);
            ASSERT_EQ(lines.size(), 1u) << relay.log();
            EXPECT_EQ(lines[0].text, running ? started_text() : bind_failed_text(code)) << "round " << round;
            if (!running) {
                EXPECT_EQ(relay.wait_exit(seconds(0)), static_cast<int>(code & 0xff));
            }
        }
        ASSERT_LE(up, 1) << "round " << round << ": two relays on one port";
        served += up;
    }
    EXPECT_GE(served, rounds - 2) << "simultaneous starts mostly leave one relay serving";
}

TEST_F(Relay, RestartsRightAfterBeingKilled)
{
    start_server();
    {
        Client a, b;
        line(3);
        a.send("before");
        EXPECT_EQ(b.recv_exact(6, seconds(5)), "before");
        server.stop();  // killed with its connections open: they linger in TIME_WAIT on port 8888
    }
    ServerProcess again;
    again.start();
    auto lines = again.wait_for_lines(1, START_TIMEOUT);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, started_text()) << "a restart must not wait for old connections to time out";
    Client a, b;
    again.wait_for_lines(3, seconds(10));  // both registered
    a.send("after");
    EXPECT_EQ(b.recv_exact(5, seconds(5)), "after");
}

// --help and --version answer and end at once without serving: nothing is announced.
TEST_F(Relay, HelpAndVersionAnswerWithoutServing)
{
    expect_exit = true;
    BeaconListener listener;
    for (const char *ask : {"--help", "--version"}) {
        ServerProcess relay;
        relay.start({"-x", ask});
        auto status = relay.wait_exit(START_TIMEOUT);
        ASSERT_TRUE(status) << ask << ": the relay kept running; log: " << relay.log();
        EXPECT_EQ(*status, 0) << ask;
        const std::string said = relay.output();
        if (std::string(ask) == "--help") {
            EXPECT_EQ(said.rfind("Usage: chat_server", 0), 0u) << said;
            EXPECT_NE(said.find("8888"), std::string::npos) << said;
        } else {
            EXPECT_EQ(said.rfind("chat_server ", 0), 0u) << said;
            EXPECT_NE(said.find_first_of("0123456789"), std::string::npos) << said;
        }
        EXPECT_EQ(said.find(started_text()), std::string::npos) << ask << " started the relay";
    }
    EXPECT_FALSE(listener.receive(milliseconds(500))) << "a relay asked only for help announced itself";
}

TEST_F(Relay, CommandLineArgumentsChangeNothing)
{
    start_server({"--port", "9999", "-h", "/?"});
    Client a, b;
    EXPECT_EQ(line(3).text, connected_text(2));
    a.send("[PING]");
    EXPECT_EQ(a.recv_exact(6, seconds(5)), "[PONG]");
    a.send("args ignored");
    EXPECT_EQ(b.recv_exact(12, seconds(5)), "args ignored");
}

}  // namespace
