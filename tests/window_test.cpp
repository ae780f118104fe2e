// window_test.cpp - the chat window (chat_window.exe) under Wine, on an X server of the test's own
// (Xvfb) with a window manager (fluxbox), against the real relay: what is typed reaches the room,
// what the room says shows safe, the relay's loss is survived, a mention while behind is noticed,
// a file is shared from the menu and an offer fetched with a click.
// The window's controls are read from outside by window_probe.exe, as a screen reader would.
#include "desktop.h"
#include "../src/client/window/window_palette.h"
#include "../src/client/window/window_resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef RELAY_WINDOW
#error "RELAY_WINDOW must name chat_window.exe, RELAY_WINDOW_PROBE window_probe.exe"
#endif

namespace {

// The lengths of the runs of c in the text, of those longer than 100.
std::vector<size_t> runs_of(char c, const std::string &text)
{
    std::vector<size_t> runs;
    for (size_t at = text.find(c); at != std::string::npos; at = text.find(c, at)) {
        size_t end = text.find_first_not_of(c, at);
        if (end == std::string::npos)
            end = text.size();
        if (end - at > 100)
            runs.push_back(end - at);
        at = end;
    }
    return runs;
}

// The chat window on a desktop of the test's own (whose window manager keeps _NET_WM_STATE, where
// Wine reports FlashWindowEx).
class WindowRoom : public Desktop {
protected:
    WindowRoom() : Desktop(false, "--name 'Chat$'", milliseconds(30)) {}

    void SetUp() override
    {
        Desktop::SetUp();
        // A Windows user of each test's own, so that tests running at once share no name file or
        // history: what the programs keep in its profile starts empty.
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        user_ = "USER=window-" + std::to_string(std::hash<std::string>()(test) % 100000);
        std::string profile = RELAY_WINDOW_WINEPREFIX "/drive_c/users/" + user_.substr(5);
        std::system(("rm -rf '" + profile + "/AppData/Local/Chat Relay' '" + profile + "/AppData/Roaming/Chat Relay'").c_str());
    }

    void start_window(const std::vector<std::string> &args) { start_window(args, window); }
    // The window again, after it ended: a Program of its own.
    void start_window(const std::vector<std::string> &args, Program &w)
    {
        shown_ = &w;
        w.run_under_wine(RELAY_WINDOW_WINE, RELAY_WINDOW_WINEPREFIX);
        w.start(RELAY_WINDOW, args, {display_, user_});
    }

    // window_probe.exe on the window's own wineserver (or that of another run of it): the text it printed.
    std::string probe(const std::string &args, const Program *of = nullptr)
    {
        return run("LC_ALL=C.UTF-8 " + user_ + " DISPLAY=" + display_.substr(8) + " WINEPREFIX=" RELAY_WINDOW_WINEPREFIX " WINEDEBUG=-all TMPDIR=" +
                   (of != nullptr ? of : shown_)->wine_tmp() + " " RELAY_WINDOW_WINE " " RELAY_WINDOW_PROBE " " + args +
                   " 2>/dev/null");
    }

    std::string shown(Part part) override { return probe(part == Part::conversation ? "list" : "status"); }

    bool wait_probe(const std::string &what, const std::string &shown, Clock::duration timeout, const Program *of = nullptr)
    {
        return eventually([&] { return probe(what, of).find(shown) != std::string::npos; }, timeout, milliseconds(200));
    }

    // Waits until the window has a dialog open (or none, if !open).
    bool wait_dialog(bool open)
    {
        return eventually([&] { return (probe("dialog 0") != "no dialog") == open; }, seconds(10), milliseconds(200));
    }

    // The colour of the screen's pixel at "X Y" (as the probe gives a point), as "RRGGBB".
    std::string pixel(const std::string &point)
    {
        std::istringstream at(point);
        int px = -1, py = -1;
        at >> px >> py;
        std::string txt = x("import -window root -crop 1x1+" + std::to_string(px) + "+" + std::to_string(py) + " -depth 8 txt:-");
        size_t hash = txt.rfind('#');
        return hash == std::string::npos ? txt : txt.substr(hash + 1, 6);
    }

    // Wine's reg.exe on the window's wineserver, so that the window's registry is the one changed.
    std::string reg(const std::string &args)
    {
        return run(user_ + " WINEPREFIX=" RELAY_WINDOW_WINEPREFIX " WINEDEBUG=-all TMPDIR=" + shown_->wine_tmp() + " " RELAY_WINDOW_WINE
                   " reg " + args + " 2>&1");
    }

    Program *shown_ = &window;  // the window the probe reads: its wineserver
    std::string user_;
};

TEST_F(WindowRoom, TypedLinesReachThePeerAsTheConsoleSendsThemAndThePeersShowAsPlainText)
{
    // A name chat_client would refuse is refused here too, in its words, before any window.
    Program refused;
    refused.run_under_wine(RELAY_WINDOW_WINE, RELAY_WINDOW_WINEPREFIX);
    refused.start(RELAY_WINDOW, {"--name", std::string(33, 'n'), "127.0.0.1"}, {display_, user_});
    EXPECT_TRUE(wait_probe("message", "chat_window: --name: a name takes 32 bytes at most", START_TIMEOUT, &refused))
        << probe("message", &refused);
    refused.stop();

    start_server();
    Client peer;
    start_window({"--name", "\u5c0f\u660e", "127.0.0.1"});
    ASSERT_TRUE(wait_probe("list", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << probe("list");
    ASSERT_EQ(server.wait_for_lines(3, seconds(10)).size(), 3u);
    bring_forward();
    EXPECT_EQ(probe("status"), "relay 127.0.0.1   name: \u5c0f\u660e");

    // Typed on the keyboard; Enter sends, Shift+Enter starts a new line that goes as a line of its own.
    typed_lines_reach(peer, "\u5c0f\u660e", {"hello all"});
    typed_lines_reach(peer, "\u5c0f\u660e", {"one", "two"});
    EXPECT_EQ(probe("input"), "") << "the box was not emptied";
    // Chinese as an IME hands it over: WM_CHAR (xdotool's Chinese reaches Wine with characters lost).
    probe("type '\u4f60\u597d\uff0c\u4e16\u754c\U0001F600'");
    probe("enter");
    std::string sent = gb18030("\u5c0f\u660e: \u4f60\u597d\uff0c\u4e16\u754c\U0001F600\n");
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);
    // A command goes nowhere; //text goes as /text.
    type("/me waves");
    press("Return");
    sent = gb18030("* \u5c0f\u660e waves\n");
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);

    // What peers send is text, whatever it holds: escape sequences, RTF, a direction override and a
    // zero-width space show as marks and characters, as on the terminal client's screen (ESC as
    // "^["), nothing is taken as formatting, and the rest of the list stays as it was.
    peer.send(gb18030("\u8001\u738b: \u65e9\x1b[2J{\\rtf1\\b bold}\u202eevil\u200b!\n") + gb18030("Alice: hi \u5c0f\u660e\n"));
    const std::string shown = "\u8001\u738b: \u65e9^[[2J{\\rtf1\\b bold}\ufffdevil\ufffd!";
    ASSERT_TRUE(wait_probe("list", "Alice: hi \u5c0f\u660e", seconds(10))) << probe("list");
    std::string list = probe("list");
    EXPECT_NE(list.find(shown), std::string::npos) << list;
    for (const char *line : {"\u5c0f\u660e: hello all\r", "\u5c0f\u660e: one\r", "\u5c0f\u660e: two\r", "* \u5c0f\u660e waves\r",
                             "\u5c0f\u660e: \u4f60\u597d\uff0c\u4e16\u754c\U0001F600\r"})
        EXPECT_NE(list.find(line), std::string::npos) << line << " is missing: " << list;
    shot("wine-window-room.png");

    // A line longer than the list usefully shows: its first 16 KiB, and the rest counted, as the
    // terminal client's screen shows it.
    peer.send(std::string(40000, 'w') + "\n");
    EXPECT_TRUE(wait_probe("list", "w ... (23616 bytes not shown)\r", seconds(30))) << "no word on the rest of a long line";
    EXPECT_EQ(runs_of('w', probe("list")), std::vector<size_t>{16384}) << "the 40,000 bytes of a line showed otherwise";

    // The characters the display rule marks besides, and a stack of 20 marks shown as four and one
    // mark, as on the terminal client's screen. (Wine 8 converts only the supplementary planes'
    // four-byte characters: the BMP's show as U+FFFD there whatever the rule says.)
    std::string stack = "mallory: Z";
    for (int i = 0; i < 20; ++i)
        stack += "\U0001D167";
    peer.send(gb18030("mallory: a\U0001D173b\U0001BCA0c\U00013430d\U000E0100e\U0001FFFEf\U0001F44D\U0001F3FD\n" + stack + "!\n"));
    ASSERT_TRUE(wait_probe("list", "mallory: Z", seconds(10))) << probe("list");
    list = probe("list");
    EXPECT_NE(list.find("mallory: a\ufffdb\ufffdc\ufffdd\ufffde\ufffdf\U0001F44D\U0001F3FD\r"), std::string::npos) << list;
    EXPECT_NE(list.find("mallory: Z\U0001D167\U0001D167\U0001D167\U0001D167\ufffd!\r"), std::string::npos) << list;

    // A line padded to wrap just before a forged line: the row it wraps onto begins further in
    // than the rows lines begin on.
    peer.send("mallory: " + std::string(400, ' ') + "12:34 alice: forged\n");
    ASSERT_TRUE(wait_probe("list", "12:34 alice: forged", seconds(10))) << probe("list");
    std::istringstream where(probe("row '12:34 alice: forged'"));
    int line_x = -1, line_row = -1, forged_x = -1, forged_row = -1;
    where >> line_x >> line_row >> forged_x >> forged_row;
    EXPECT_EQ(line_row, 1);
    EXPECT_EQ(forged_row, 1) << "the forged text does not begin a row";
    EXPECT_GT(forged_x, line_x + 10) << "the row wrapped onto is not indented";

    // A flood of long lines keeps the window's thread busy a frame at a time, no longer: what is
    // typed meanwhile shows at once.
    auto quiet_at = Clock::now();
    probe("type 'quiet'");
    ASSERT_TRUE(wait_probe("input", "quiet", seconds(5))) << probe("input");
    auto quiet_delay = std::chrono::duration_cast<milliseconds>(Clock::now() - quiet_at).count();
    probe("enter");
    sent = gb18030("\u5c0f\u660e: quiet\n");
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);
    auto flood_until = Clock::now() + seconds(8);
    std::thread flood([&] {
        for (int i = 0; i < 600 && Clock::now() < flood_until; ++i)
            peer.send("bob: " + std::string(16000, 'w') + "\n");
    });
    std::this_thread::sleep_for(seconds(2));
    auto typed_at = Clock::now();
    probe("type 'typing'");
    bool shown_soon = wait_probe("input", "typing", seconds(5));
    auto typing_delay = std::chrono::duration_cast<milliseconds>(Clock::now() - typed_at).count();
    flood.join();
    std::printf("typing showed after %lld ms in a quiet room, %lld ms during a flood\n", static_cast<long long>(quiet_delay),
                static_cast<long long>(typing_delay));
    EXPECT_TRUE(shown_soon) << probe("input");
    // 1.6.0 showed it within 2 s here; the window on the room feed has taken up to 2.8 s under
    // Wine (its frames of one 4,000-character line each, in a full list), which is still to be won
    // back. A window whose thread the flood holds throughout (8 s) fails.
    EXPECT_LT(typing_delay, quiet_delay + 4000);
    peer.send("bob: the flood is over\n");
    ASSERT_TRUE(wait_probe("list", "bob: the flood is over", seconds(30))) << "the window never caught up";
    probe("enter");
    sent = gb18030("\u5c0f\u660e: typing\n");
    EXPECT_EQ(peer.recv_exact(sent.size(), seconds(10)), sent);

    // The name dialog (Chat, Change name): a name the rule refuses keeps it open and says why,
    // Cancel changes nothing, OK takes a good name. The offered name comes selected, so typing
    // replaces it.
    const std::string problem = "dialog 113";  // IDC_NAME_PROBLEM
    press("alt+c");
    press("n");
    ASSERT_TRUE(wait_dialog(true)) << "no name dialog";
    type("a: b");
    press("Return");
    EXPECT_TRUE(wait_probe(problem, "a name cannot hold \": \"", seconds(5))) << probe(problem);
    press("Escape");
    EXPECT_TRUE(wait_dialog(false)) << "Cancel left the dialog open";
    EXPECT_EQ(probe("status"), "relay 127.0.0.1   name: \u5c0f\u660e");
    press("alt+c");
    press("n");
    ASSERT_TRUE(wait_dialog(true)) << "no name dialog";
    type("carol");
    press("Return");
    EXPECT_TRUE(wait_dialog(false)) << "OK left the dialog open";
    EXPECT_TRUE(wait_probe("status", "relay 127.0.0.1   name: carol", seconds(5))) << probe("status");

    // What was shown is kept, the peer's escape as its mark, and found again: by /search, and by
    // the find bar (Ctrl+F), up from the bottom, the case aside, and past the top into the history.
    // (Whether it is shown again at the next start is the screen's test: under Wine, a window
    // started again may be given another user's folder for data, as the prefix's registry says.)
    std::this_thread::sleep_for(milliseconds(1500));  // written within a second
    type("/search RTF1");
    press("Return");
    ASSERT_TRUE(wait_probe("list", " kept say", seconds(5))) << probe("list");
    EXPECT_TRUE(wait_probe("list", " " + shown + "\r", seconds(5))) << probe("list");
    press("ctrl+f");
    type("HELLO ALL");
    press("Return");
    ASSERT_TRUE(wait_probe("found", "found", seconds(5))) << probe("found");
    EXPECT_EQ(probe("selected"), "hello all");
    press("Return");
    EXPECT_TRUE(wait_probe("found", "the history's lines that say it are listed at the bottom", seconds(5))) << probe("found");
    EXPECT_TRUE(wait_probe("list", "*** found in the history (the newest ", seconds(5))) << probe("list");
    EXPECT_TRUE(wait_probe("list", " \u5c0f\u660e: hello all\r", seconds(5))) << probe("list");
    shot("wine-window-find.png");
    press("Escape");

    // /quit leaves: the program ends, with nothing left behind, and the line sent with it (in one
    // Enter, so that no second's writing comes between) is in the history, written out on leaving.
    type("the last word");
    press("shift+Return");
    type("/quit");
    press("Return");
    EXPECT_EQ(window.wait_exit(seconds(10)), 0);
    std::string kept = run("cat '" RELAY_WINDOW_WINEPREFIX "/drive_c/users/" + user_.substr(5) + "/AppData/Local/Chat Relay/history/'*.txt");
    EXPECT_NE(kept.find(" carol: the last word\n"), std::string::npos) << kept.substr(kept.size() > 2000 ? kept.size() - 2000 : 0);
}

TEST_F(WindowRoom, FindsTheRelayAgainAndSendsWhatWaited)
{
    start_server();
    start_window({"--name", "alice", "198.18.0.1"});
    ASSERT_TRUE(wait_probe("list", "*** connected to 198.18.0.1:8888", START_TIMEOUT)) << probe("list");
    ServerProcess again;
    ASSERT_NO_FATAL_FAILURE(relay_lost_and_found_again(again));
    EXPECT_TRUE(wait_probe("list", "*** reconnected to 198.18.0.1; lines sent in between were not received", seconds(5)))
        << probe("list");
    shot("wine-window-reconnection.png");
}

TEST_F(WindowRoom, ALineWhileBehindCountsInTheTitleAndAMentionFlashesTheWindow)
{
    start_server();
    Client peer;
    start_window({"--name", "alice", "127.0.0.1"});
    ASSERT_TRUE(wait_probe("list", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << probe("list");
    std::string chat = x_window();
    // Another program's window comes in front.
    ASSERT_TRUE(another_window_in_front([&] { return probe("front") != "0"; })) << "the other window never came in front";
    EXPECT_FALSE(asks_for_attention(chat, milliseconds(0)));
    peer.send("bob: is anyone there\n");
    EXPECT_TRUE(wait_probe("title", "(1) Chat", seconds(10))) << probe("title");
    peer.send("bob: alice, the meeting starts\n");
    EXPECT_TRUE(wait_probe("title", "(2) Chat", seconds(10))) << probe("title");
    EXPECT_TRUE(asks_for_attention(chat, seconds(5))) << "the window did not ask for attention";
    shot("wine-window-attention.png");

    // Brought forward, it is read: the count goes, and so does the flashing.
    bring_forward();
    EXPECT_TRUE(wait_probe("title", "Chat", seconds(5)));
    auto deadline = Clock::now() + seconds(5);
    while (probe("title") != "Chat" && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(probe("title"), "Chat");
    EXPECT_FALSE(asks_for_attention(chat, milliseconds(0)));
}

// WCAG 2's contrast ratio of two colours, 1 to 21.
double contrast(palette_colour a, palette_colour b)
{
    auto luminance = [](palette_colour c) {
        auto channel = [](unsigned char v) {
            double s = v / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b);
    };
    double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Every name, the text, the dim notes and the links read at 4.5:1 at least on the list's background,
// in both looks; and the input box's and the status bar's text on theirs.
TEST(WindowPalette, EveryColourReadsOnItsBackgroundInBothLooks)
{
    for (const palette *p : {&LIGHT_PALETTE, &DARK_PALETTE}) {
        const char *look = p == &LIGHT_PALETTE ? "light" : "dark";
        std::printf("%s:", look);
        for (int i = 0; i < 12; ++i) {
            std::printf(" %.2f", contrast(p->names[i], p->background));
            EXPECT_GE(contrast(p->names[i], p->background), 4.5) << look << " name colour " << i;
        }
        std::printf("  text %.2f dim %.2f link %.2f input %.2f bar %.2f\n", contrast(p->text, p->background),
                    contrast(p->dim, p->background), contrast(p->link, p->background),
                    contrast(p->input_text, p->input_background), contrast(p->bar_text, p->bar_background));
        EXPECT_GE(contrast(p->text, p->background), 4.5) << look;
        EXPECT_GE(contrast(p->dim, p->background), 4.5) << look;
        EXPECT_GE(contrast(p->link, p->background), 4.5) << look;
        EXPECT_GE(contrast(p->input_text, p->input_background), 4.5) << look;
        EXPECT_GE(contrast(p->bar_text, p->bar_background), 4.5) << look;
    }
}

// The Windows path of a file here, as Wine sees it (its Z: drive is /).
std::string windows_path(std::string path)
{
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return "Z:" + path;
}

TEST_F(WindowRoom, WearsItsIconFollowsTheSystemsColoursOpensOnlyWebAddressesAndZooms)
{
    const std::string text_size = RELAY_WINDOW_WINEPREFIX "/drive_c/users/" + user_.substr(5) + "/AppData/Roaming/Chat Relay/text-size";
    std::remove(text_size.c_str());
    start_server();
    Client peer;
    start_window({"--name", "alice", "127.0.0.1"});
    ASSERT_TRUE(wait_probe("list", "*** connected to 127.0.0.1:8888", START_TIMEOUT)) << probe("list");
    // Every program carries the icon, at each size the system draws it; the window wears it (Wine
    // hands the window's icon to X as _NET_WM_ICON: its first picture's top is the artwork's blue).
    std::string dir = RELAY_WINDOW;
    dir = dir.substr(0, dir.rfind('/') + 1);
    for (const char *exe : {"chat_window.exe", "chat_client.exe", "chat_server.exe", "chat_relay_service.exe"})
        EXPECT_EQ(probe("icons '" + windows_path(dir + exe) + "'"), "16 20 24 32 40 48 64 256 ") << exe;
    std::istringstream icon(x("xprop -id " + x_window() + " -f _NET_WM_ICON 32c _NET_WM_ICON"));
    std::string word;
    std::vector<unsigned long> cardinals;
    while (icon >> word)
        if (!word.empty() && std::isdigit(static_cast<unsigned char>(word[0])))
            cardinals.push_back(std::stoul(word));
    ASSERT_GT(cardinals.size(), 2u) << "the window has no icon";
    unsigned long width = cardinals[0];
    ASSERT_EQ(cardinals.size() >= 2 + width * cardinals[1], true);
    EXPECT_EQ(cardinals[2 + (width / 8) * width + width / 2] & 0xFFFFFF, 0x1F6FEBul) << "the window wears another icon";

    // Web addresses are links; nothing else is: not file:, a UNC path, another scheme, an address
    // with a mark in it, or one run on from a word. Chinese and a character beyond the BMP before
    // the address (one and two units of wide text) leave the link where the address is.
    const std::string address = "https://example.org/a?q=1&r=%20x";
    peer.send(gb18030("bob: \u770b \U0001F600 see ") + address + ", not file://c:/windows/win.ini \\\\host\\share ftp://example.org/f "
              "https://exa\x1bmple.org xhttp://example.org/w\n");
    ASSERT_TRUE(wait_probe("list", "xhttp://", seconds(10))) << probe("list");
    EXPECT_EQ(probe("format '" + address + "'"), "link");
    EXPECT_EQ(probe("format 'example.org/a?'"), "link");
    for (const char *not_a_link : {"file://", "\\\\host", "ftp://", "https://exa^[", "xhttp://", "http://example.org/w"})
        EXPECT_EQ(probe(std::string("format '") + not_a_link + "'"), "text") << not_a_link;

    // The system's colours: dark when apps are to be dark (the window told, as Windows tells it),
    // light again after. The list's empty area is read off the screen.
    const std::string personalize = "\"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize\"";
    bring_forward();
    reg("add " + personalize + " /v AppsUseLightTheme /t REG_DWORD /d 0 /f");
    probe("colours");
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(pixel(probe("background")), "202020") << "the dark look's list";
    x("import -window " + x_window() + " /tmp/shots/wine-window-dark.png");
    reg("add " + personalize + " /v AppsUseLightTheme /t REG_DWORD /d 1 /f");
    probe("colours");
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(pixel(probe("background")), "FFFFFF") << "the light look's list";
    x("import -window " + x_window() + " /tmp/shots/wine-window-light.png");
    reg("delete " + personalize + " /v AppsUseLightTheme /f");

    // A click on the link opens the browser (a stand-in here) with exactly the address; a click on
    // the text that is no link opens nothing.
    const std::string https = "\"HKLM\\Software\\Classes\\https\\shell\\open\\command\"";
    std::string browsed = RELAY_WINDOW_WINEPREFIX "/drive_c/browsed.txt";
    std::remove(browsed.c_str());
    reg("add " + https + " /ve /d '\"" + windows_path(RELAY_WINDOW_PROBE) + "\" browsed \"%1\"' /f");
    std::istringstream file_at(probe("point 'file://c:/windows'"));
    int fx = -1, fy = -1;
    file_at >> fx >> fy;
    x("xdotool mousemove " + std::to_string(fx) + " " + std::to_string(fy) + " click 1");
    std::istringstream link_at(probe("point '" + address + "'"));
    int lx = -1, ly = -1;
    link_at >> lx >> ly;
    x("xdotool mousemove " + std::to_string(lx) + " " + std::to_string(ly) + " click 1");
    EXPECT_TRUE(wait_probe("status", "opening " + address, seconds(5))) << probe("status");
    std::string opened;
    for (auto deadline = Clock::now() + seconds(20); opened.empty() && Clock::now() < deadline;
         std::this_thread::sleep_for(milliseconds(200)))
        opened = read_file(browsed);
    EXPECT_EQ(opened, address) << "the browser was not given the address";
    reg("add " + https + " /ve /d '\"C:\\windows\\system32\\winebrowser.exe\" \"%1\"' /f");
    std::remove(browsed.c_str());

    // A file with a Chinese name shared: its offer reaches the room with the name and the file's own hash. Offered back by a peer,
    // the line has a Download link, and a click saves the same bytes in the Downloads folder.
    const std::string file_name = "\u62a5\u544a \u6587\u4ef6.bin";
    const std::string folder = "/tmp/window-share-" + user_.substr(5);
    std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str());
    std::string bytes;
    for (unsigned i = 0; i < 300000; ++i)
        bytes += static_cast<char>((i * 2654435761u) >> 24);
    {
        std::ofstream(folder + "/" + file_name, std::ios::binary) << bytes;
    }
    const std::string hash = run("sha256sum '" + folder + "/" + file_name + "'").substr(0, 64);
    bring_forward();
    // Shared as typed: the menu's file dialog runs the same command, but under Wine its Open does
    // not always take a name set from outside.
    probe("type '/share \"" + windows_path(folder + "/" + file_name) + "\"'");
    probe("enter");
    std::string offered;
    for (auto deadline = Clock::now() + seconds(30); offered.find('\n') == std::string::npos && Clock::now() < deadline;)
        offered += peer.recv_for(milliseconds(500));
    std::smatch o;
    ASSERT_TRUE(std::regex_search(offered, o, std::regex("alice: (\\[FILE\\] .* size=300000 sha256=([0-9a-f]{64}))\n")))
        << offered << probe("list");
    EXPECT_NE(offered.find(gb18030("[FILE] " + file_name + " (")), std::string::npos) << offered;
    EXPECT_NE(offered.find("/%E6%8A%A5%E5%91%8A%20%E6%96%87%E4%BB%B6.bin size="), std::string::npos) << offered;
    EXPECT_EQ(o[2], hash) << "the offer's hash is not the file's";
    peer.send("bob: " + o[1].str() + "\n");
    ASSERT_TRUE(wait_probe("list", "Download (/get 1)", seconds(10))) << probe("list");
    std::istringstream download_at(probe("point 'Download (/get 1)'"));
    int dx = -1, dy = -1;
    download_at >> dx >> dy;
    x("xdotool mousemove " + std::to_string(dx) + " " + std::to_string(dy) + " click 1");
    ASSERT_TRUE(wait_probe("list", "; open it from its folder", seconds(30))) << probe("list");
    std::string list_now = probe("list");
    const std::string saved_as = ", checked) as C:\\";
    size_t as = list_now.rfind(saved_as), end = list_now.find("; open it from its folder", as);
    ASSERT_NE(as, std::string::npos) << list_now;
    std::string saved = list_now.substr(as + saved_as.size(), end - as - saved_as.size());
    EXPECT_NE(saved.find(file_name), std::string::npos) << saved;
    for (char &c : saved)
        if (c == '\\')
            c = '/';
    saved = RELAY_WINDOW_WINEPREFIX "/drive_c/" + saved;
    EXPECT_TRUE(read_file(saved) == bytes) << "the file saved is not the file offered: " << saved;
    std::remove(saved.c_str());

    // Fetched again from a sender that takes its time (four seconds): the status bar leads with the
    // transfer's progress while it runs, and its end, with another window in front, asks for
    // attention as a mention does.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(18090);
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&here), sizeof here), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::thread slow_sender([&] {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 30000) != 1)
            return;
        int s = accept(listener, nullptr, nullptr);
        std::string request;
        char buf[4096];
        for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = recv(s, buf, sizeof buf, 0)) > 0;)
            request.append(buf, static_cast<size_t>(n));
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\nConnection: close\r\n\r\n";
        send(s, head.data(), head.size(), MSG_NOSIGNAL);
        for (size_t at = 0; at < bytes.size(); at += bytes.size() / 20) {
            send(s, bytes.data() + at, std::min(bytes.size() / 20, bytes.size() - at), MSG_NOSIGNAL);
            std::this_thread::sleep_for(milliseconds(200));
        }
        close(s);
    });
    peer.send("bob: " + std::regex_replace(o[1].str(), std::regex("http://[0-9.]+:[0-9]+/"), "http://127.0.0.1:18090/") + "\n");
    ASSERT_TRUE(wait_probe("list", "Download (/get 2)", seconds(10))) << probe("list");
    std::istringstream slow_at(probe("point 'Download (/get 2)'"));
    slow_at >> dx >> dy;
    x("xdotool mousemove " + std::to_string(dx) + " " + std::to_string(dy) + " click 1");
    EXPECT_TRUE(wait_probe("status", file_name + " ", seconds(5))) << probe("status");
    std::string moving = probe("status");
    EXPECT_TRUE(std::regex_search(moving, std::regex("^\\S.* [0-9]{1,3}% .* of 293(\\.0)? KB .*   relay 127\\.0\\.0\\.1")))
        << moving;
    std::string chat = x_window();
    ASSERT_TRUE(another_window_in_front([&] { return probe("front") != "0"; })) << "the other window never came in front";
    EXPECT_TRUE(wait_probe("title", "(1) Chat", seconds(20))) << probe("title") << probe("list");
    EXPECT_TRUE(asks_for_attention(chat, seconds(5))) << "a transfer's end while behind asked for no attention";
    slow_sender.join();
    close(listener);
    list_now = probe("list");
    as = list_now.rfind(saved_as);
    end = list_now.find("; open it from its folder", as);
    ASSERT_NE(as, std::string::npos) << list_now;
    saved = list_now.substr(as + saved_as.size(), end - as - saved_as.size());
    for (char &c : saved)
        if (c == '\\')
            c = '/';
    saved = RELAY_WINDOW_WINEPREFIX "/drive_c/" + saved;
    EXPECT_TRUE(read_file(saved) == bytes) << "the file fetched slowly is not the file offered: " << saved;
    EXPECT_TRUE(wait_probe("status", "relay 127", seconds(5)));
    EXPECT_EQ(probe("status").find('%'), std::string::npos) << "the progress stayed after the transfer";
    std::remove(saved.c_str());
    std::system(("rm -rf '" + folder + "'").c_str());

    // Ctrl+Plus makes the text larger (a word further along a line is further right), remembered;
    // Ctrl+0 takes it back.
    bring_forward();
    auto kept_size = [&](const std::string &expected) {
        for (auto until = Clock::now() + seconds(5); read_file(text_size) != expected && Clock::now() < until;)
            std::this_thread::sleep_for(milliseconds(200));
        return read_file(text_size);
    };
    auto x_of = [&](const std::string &text) {
        std::istringstream at(probe("point '" + text + "'"));
        int px = -1;
        at >> px;
        return px;
    };
    int before = x_of("ftp://");
    press("ctrl+equal");
    press("ctrl+equal");
    auto deadline = Clock::now() + seconds(5);
    while (x_of("ftp://") == before && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(200));
    EXPECT_GT(x_of("ftp://"), before) << "Ctrl+Plus left the text's size";
    EXPECT_EQ(kept_size("120\n"), "120\n");
    press("ctrl+0");
    deadline = Clock::now() + seconds(5);
    while (x_of("ftp://") != before && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(x_of("ftp://"), before) << "Ctrl+0 did not take the size back";
    EXPECT_EQ(kept_size("100\n"), "100\n");
    std::remove(text_size.c_str());
}

}  // namespace
