// package_test.cpp - the packages as people get them (scripts/package.sh builds them): the two .debs,
// extracted, with the relay started as its systemd unit says, and the relay's maintainer scripts run;
// the Windows installer run under Wine, its relay used, and uninstalled.
#include "harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>

#ifndef RELAY_PACKAGE_DIR
#error "RELAY_PACKAGE_DIR must name the directory holding the packages"
#endif
#ifndef RELAY_VERSION
#error "RELAY_VERSION must be the project's version"
#endif

namespace fs = std::filesystem;

namespace {

// The one package in the package directory whose name begins and ends so (the callers' beginnings
// hold the version, so that a package named for another version is not taken for this build's).
std::string package(const std::string &prefix, const std::string &suffix)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(RELAY_PACKAGE_DIR)) {
        std::string name = entry.path().filename().string();
        if (name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path().string());
    }
    EXPECT_EQ(found.size(), 1u) << "packages " << prefix << "*" << suffix << " in " << RELAY_PACKAGE_DIR;
    return found.empty() ? "" : found[0];
}

// The end of a long output, for a failure message.
std::string tail(const std::string &text)
{
    return text.size() > 4000 ? "..." + text.substr(text.size() - 4000) : text;
}

// A directory of the test's own, removed with everything in it at the end.
class TempDir {
public:
    TempDir()
    {
        char dir[] = "/tmp/relay-package-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            std::abort();
        path_ = dir;
        fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
    }
    ~TempDir() { fs::remove_all(path_); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A packaged chat_client, told to connect to 127.0.0.1, and a raw client chat through the relay
// running here: a line each way.
void chat_through_relay(ServerProcess &relay, Program &packaged_client)
{
    EXPECT_TRUE(packaged_client.wait_for_errors("connected to 127.0.0.1:8888", START_TIMEOUT))
        << packaged_client.errors();
    Client raw;
    // Both are in the room once the relay has logged them.
    ASSERT_EQ(relay.wait_for_lines(3, seconds(10)).size(), 3u) << relay.log();
    raw.send("hello from a raw client\n");
    EXPECT_TRUE(packaged_client.wait_for_output("hello from a raw client\n", seconds(10)))
        << "the packaged client got: " << packaged_client.output();
    packaged_client.write_input("hello from the packaged client\n");
    std::string expected = "hello from the packaged client\n";
    EXPECT_EQ(raw.recv_exact(expected.size(), seconds(10)), expected);
}

using Deb = Relay;

// The files of a .deb, one path a line as dpkg-deb lists them ("./usr/bin/...").
std::string deb_files(const std::string &deb)
{
    std::string listing = run("dpkg-deb -c " + deb), paths;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
        paths += line.substr(line.find(" ./") + 1) + "\n";
    return paths;
}

TEST_F(Deb, HoldsWhatItShouldItsUnitVerifiesAndRunsTheRelayAClientChatsThrough)
{
    std::string relay_deb = package("chat-relay_" RELAY_VERSION "_", ".deb");
    std::string client_deb = package("chat-client_" RELAY_VERSION "_", ".deb");
    ASSERT_FALSE(relay_deb.empty());
    ASSERT_FALSE(client_deb.empty());
    // The relay with its unit, the client apart: a desktop that only chats installs no relay.
    std::string relay_files = deb_files(relay_deb), client_files = deb_files(client_deb);
    for (const char *path : {"./usr/bin/chat_server", "./usr/lib/systemd/system/chat-relay.service",
                             "./usr/share/man/man8/chat_server.8.gz", "./usr/share/doc/chat-relay/README",
                             "./usr/share/doc/chat-relay/copyright", "./usr/share/doc/chat-relay/changelog.gz"})
        EXPECT_NE(relay_files.find(std::string(path) + "\n"), std::string::npos) << path << " missing:\n" << relay_files;
    for (const char *path : {"./usr/bin/chat_client", "./usr/share/man/man1/chat_client.1.gz",
                             "./usr/share/doc/chat-client/README", "./usr/share/doc/chat-client/copyright",
                             "./usr/share/doc/chat-client/changelog.gz"})
        EXPECT_NE(client_files.find(std::string(path) + "\n"), std::string::npos) << path << " missing:\n" << client_files;
    EXPECT_EQ(relay_files.find("chat_client"), std::string::npos) << relay_files;
    EXPECT_EQ(client_files.find("chat_server"), std::string::npos) << client_files;
    EXPECT_EQ(client_files.find("systemd"), std::string::npos) << client_files;

    int status = -1;
    std::string out;
    for (const std::string &deb : {relay_deb, client_deb}) {
        std::string depends = run("dpkg-deb -f " + deb + " Depends");
        EXPECT_NE(depends.find("libc6"), std::string::npos) << deb << ": " << depends;
        EXPECT_NE(depends.find("libstdc++6"), std::string::npos) << deb << ": " << depends;
        out = run("lintian --fail-on error,warning " + deb, &status);
        EXPECT_EQ(status, 0) << "lintian " << deb << ":\n" << out;
    }

    // Both packages installed side by side, as on a host that runs the relay and chats too.
    TempDir root;
    out = run("dpkg-deb -x " + relay_deb + " " + root.path() + " && dpkg-deb -x " + client_deb + " " + root.path(),
              &status);
    ASSERT_EQ(status, 0) << out;
    // Debian's machine-readable copyright format.
    std::string copyright = read_file(root.path() + "/usr/share/doc/chat-client/copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0), 0u)
        << copyright;
    EXPECT_NE(copyright.find("\nLicense: Expat\n"), std::string::npos) << copyright;

    // systemd-analyze verify sees the unit as installed: in a mount namespace of its own, /usr shows
    // the package's files over the system's.
    out = run("unshare -m sh -c 'mount --make-rprivate / && mount -t overlay overlay -o lowerdir=" + root.path() +
                  "/usr:/usr /usr && systemd-analyze verify chat-relay.service'",
              &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "systemd-analyze verify has something to say";

    // The relay started as ExecStart says, from the extracted files, as a user with no privileges
    // (the unit's DynamicUser and NoNewPrivileges).
    std::string unit = read_file(root.path() + "/usr/lib/systemd/system/chat-relay.service");
    size_t at = unit.find("\nExecStart=");
    ASSERT_NE(at, std::string::npos) << unit;
    std::istringstream exec_start(unit.substr(at + 11, unit.find('\n', at + 1) - at - 11));
    std::vector<std::string> command{"--reuid=65534", "--regid=65534", "--clear-groups", "--no-new-privs", "--"};
    for (std::string word; exec_start >> word;)
        command.push_back(command.size() == 5 ? root.path() + word : word);
    EXPECT_EQ(command[5], root.path() + "/usr/bin/chat_server");
    server.start_at("/usr/bin/setpriv", command);
    auto lines = server.wait_for_lines(1, START_TIMEOUT);
    ASSERT_FALSE(lines.empty()) << server.log();
    EXPECT_EQ(lines[0].text, started_text());

    EXPECT_EQ(run(root.path() + "/usr/bin/chat_client --version"), "chat_client " RELAY_VERSION "\n");
    Program client;
    client.start(root.path() + "/usr/bin/chat_client", {"127.0.0.1"});
    chat_through_relay(server, client);
}

// The Linux window, a package of its own: a host that chats in a terminal needs no Qt.
TEST_F(Deb, TheWindowComesApartWithItsDesktopEntryMetainfoIconAndManPage)
{
    std::string window_deb = std::string(RELAY_PACKAGE_DIR) + "/chat-window_" RELAY_VERSION "_amd64.deb";
    std::string client_deb = package("chat-client_", ".deb");
    ASSERT_TRUE(fs::exists(window_deb)) << window_deb;
    std::string files = deb_files(window_deb);
    const std::string desktop = "/usr/share/applications/org.chatrelay.ChatWindow.desktop";
    const std::string metainfo = "/usr/share/metainfo/org.chatrelay.ChatWindow.metainfo.xml";
    for (const std::string &path : {std::string("/usr/bin/chat_window"), std::string("/usr/share/man/man1/chat_window.1.gz"),
                                    desktop, metainfo, std::string("/usr/share/icons/hicolor/scalable/apps/chat-relay.svg"),
                                    std::string("/usr/share/doc/chat-window/copyright"),
                                    std::string("/usr/share/doc/chat-window/changelog.gz")})
        EXPECT_NE(files.find("." + path + "\n"), std::string::npos) << path << " missing:\n" << files;
    EXPECT_EQ(files.find("chat_client"), std::string::npos) << files;
    std::string depends = run("dpkg-deb -f " + window_deb + " Depends");
    EXPECT_NE(depends.find("libqt6widgets6"), std::string::npos) << depends;
    EXPECT_NE(depends.find("libqt6dbus6"), std::string::npos) << depends;
    EXPECT_EQ(run("dpkg-deb -f " + client_deb + " Depends").find("qt"), std::string::npos) << "the terminal client needs Qt";
    int status = -1;
    std::string out = run("lintian --fail-on error,warning " + window_deb, &status);
    EXPECT_EQ(status, 0) << "lintian:\n" << out;

    TempDir root;
    out = run("dpkg-deb -x " + window_deb + " " + root.path(), &status);
    ASSERT_EQ(status, 0) << out;
    out = run("desktop-file-validate " + root.path() + desktop, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "desktop-file-validate has something to say";
    out = run("appstreamcli validate --no-net " + root.path() + metainfo, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(read_file(root.path() + metainfo).find("<release version=\"" RELAY_VERSION "\""), std::string::npos);
    // Its own options are read before Qt's, with no display to open.
    EXPECT_EQ(run("env -u DISPLAY -u WAYLAND_DISPLAY " + root.path() + "/usr/bin/chat_window --version"),
              "chat_window " RELAY_VERSION "\n");
}

// Runs one of the relay package's maintainer scripts (extracted into dir/DEBIAN) as dpkg does, with
// the environment given before it.
std::string maintainer_script(const std::string &dir, const std::string &env, const std::string &script,
                              const std::string &args, int *status)
{
    return run(env + " DPKG_MAINTSCRIPT_PACKAGE=chat-relay DPKG_MAINTSCRIPT_NAME=" + script + " sh " + dir +
                   "/DEBIAN/" + script + " " + args,
               status);
}

TEST_F(Deb, TheRelaysServiceIsEnabledAndStartedOnInstallStoppedOnRemovalAndAnAdminsDisableHolds)
{
    std::string deb = package("chat-relay_" RELAY_VERSION "_", ".deb");
    ASSERT_FALSE(deb.empty());
    TempDir root;
    int status = -1;
    std::string out = run("dpkg-deb -x " + deb + " " + root.path() + " && dpkg-deb -e " + deb + " " + root.path() +
                              "/DEBIAN",
                          &status);
    ASSERT_EQ(status, 0) << out;

    // What the scripts record, with Debian's own deb-systemd-helper, in a system installed under
    // DPKG_ROOT where systemd does not run: the unit is enabled on the first install...
    const std::string dpkg_root = "DPKG_ROOT=" + root.path();
    const std::string wants = root.path() + "/etc/systemd/system/multi-user.target.wants/chat-relay.service";
    const std::string is_enabled = "systemctl --root=" + root.path() + " is-enabled chat-relay.service";
    out = maintainer_script(root.path(), dpkg_root, "postinst", "configure ''", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_TRUE(fs::is_symlink(wants)) << out;
    EXPECT_EQ(run(is_enabled), "enabled\n");
    // ... an upgrade leaves it enabled ...
    out = maintainer_script(root.path(), dpkg_root, "postinst", "configure " RELAY_VERSION, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(run(is_enabled), "enabled\n");
    // ... and leaves disabled what the admin disabled.
    out = run("systemctl --root=" + root.path() + " disable chat-relay.service", &status);
    ASSERT_EQ(status, 0) << out;
    out = maintainer_script(root.path(), dpkg_root, "postinst", "configure " RELAY_VERSION, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(run(is_enabled), "disabled\n");
    EXPECT_FALSE(fs::is_symlink(wants));
    // Purged, nothing of it stays in /etc or in the helper's records.
    out = maintainer_script(root.path(), dpkg_root, "postrm", "remove", &status);
    ASSERT_EQ(status, 0) << out;
    out = maintainer_script(root.path(), dpkg_root, "postrm", "purge", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(run("find " + root.path() + "/etc " + root.path() + "/var -type l -o -type f"), "");

    // Where systemd runs (/run/systemd/system exists, here in a mount namespace of the test's own):
    // the service is started on install, restarted on upgrade and stopped on removal, through
    // deb-systemd-invoke, which starts only an enabled unit. Stand-ins on PATH record the calls.
    TempDir bin;
    const std::string calls = bin.path() + "/calls";
    for (const char *tool : {"deb-systemd-helper", "deb-systemd-invoke", "systemctl"}) {
        std::ofstream(bin.path() + "/" + tool) << "#!/bin/sh\necho \"${0##*/} $*\" >> " << calls << "\n";
        fs::permissions(bin.path() + "/" + tool, fs::perms::owner_all);
    }
    auto calls_of = [&](bool systemd_runs, const std::string &script, const std::string &args) {
        fs::remove(calls);
        std::string inner = std::string(systemd_runs ? "mkdir -p /run/systemd/system && " : "") + "PATH=" +
                            bin.path() + ":$PATH DPKG_MAINTSCRIPT_PACKAGE=chat-relay DPKG_MAINTSCRIPT_NAME=" + script +
                            " sh " + root.path() + "/DEBIAN/" + script + " " + args;
        int rc = -1;
        std::string output = run("unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run && " +
                                     inner + "'",
                                 &rc);
        EXPECT_EQ(rc, 0) << script << " " << args << ": " << output;
        return read_file(calls);
    };
    const std::string enable = "deb-systemd-helper unmask chat-relay.service\n"
                               "deb-systemd-helper --quiet was-enabled chat-relay.service\n"
                               "deb-systemd-helper enable chat-relay.service\n";
    EXPECT_EQ(calls_of(true, "postinst", "configure \"\""),
              enable + "systemctl --system daemon-reload\ndeb-systemd-invoke start chat-relay.service\n");
    EXPECT_EQ(calls_of(true, "postinst", "configure " RELAY_VERSION),
              enable + "systemctl --system daemon-reload\ndeb-systemd-invoke restart chat-relay.service\n");
    EXPECT_EQ(calls_of(true, "prerm", "remove"), "deb-systemd-invoke stop chat-relay.service\n");
    EXPECT_EQ(calls_of(true, "prerm", "upgrade " RELAY_VERSION), "");
    EXPECT_EQ(calls_of(true, "postrm", "remove"),
              "deb-systemd-helper mask chat-relay.service\nsystemctl --system daemon-reload\n");
    // Where it does not, nothing is started or stopped.
    EXPECT_EQ(calls_of(false, "postinst", "configure \"\""), enable);
    EXPECT_EQ(calls_of(false, "prerm", "remove"), "");
}

#ifdef RELAY_INSTALLER_WINE
using Installer = Relay;

// Wine's trace of the processes it creates (WINEDEBUG=+process) gives each one's image and command
// line, C-escaped. Returns the command lines of those with this image.
std::vector<std::string> commands_run(const std::string &trace, const std::string &image)
{
    std::string escaped_image;
    for (char c : image)
        escaped_image += c == '\\' ? std::string("\\\\") : std::string(1, c);
    std::vector<std::string> commands;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("NtCreateUserProcess") == std::string::npos ||
            line.find("image L\"" + escaped_image + "\"") == std::string::npos)
            continue;
        size_t from = line.find("cmdline L\"");
        if (from == std::string::npos)
            continue;
        std::string command;
        for (size_t i = from + 10; i < line.size() && line[i] != '"'; ++i)
            command += line[i] == '\\' && i + 1 < line.size() ? line[++i] : line[i];
        commands.push_back(command);
    }
    return commands;
}

bool ran(const std::vector<std::string> &commands, const std::string &wanted)
{
    for (const std::string &c : commands)
        if (c == wanted)
            return true;
    return false;
}

// The number of the first line of the trace that holds both texts; -1 if none does.
long first_line_with(const std::string &trace, const std::string &text, const std::string &also)
{
    std::istringstream lines(trace);
    long number = 0;
    for (std::string line; std::getline(lines, line); ++number)
        if (line.find(text) != std::string::npos && line.find(also) != std::string::npos)
            return number;
    return -1;
}

// Where, in a trace that also has the channel +file, the installer first opens a file in the install
// folder C:\ChatRelay for writing, and where it starts icacls (which must come first).
struct FolderOrder {
    long icacls, first_write;
};
FolderOrder folder_order(const std::string &trace)
{
    return {first_line_with(trace, "NtCreateUserProcess", "image L\"C:\\\\windows\\\\system32\\\\icacls.exe\""),
            first_line_with(trace, ":CreateFileW L\"C:\\\\ChatRelay\\\\", " GENERIC_WRITE ")};
}

// The string as it is stored in a version resource: UTF-16LE, ended by a zero.
std::string utf16(const std::string &ascii)
{
    std::string out;
    for (char c : ascii)
        out += std::string{c, '\0'};
    return out + std::string(2, '\0');
}

// Whether a VERSIONINFO string entry holds the value (entries are aligned to four bytes).
bool has_version_string(const std::string &exe, const std::string &key, const std::string &value)
{
    size_t at = exe.find(utf16(key));
    if (at == std::string::npos)
        return false;
    size_t value_at = at + utf16(key).size();
    value_at = exe.find(utf16(value), value_at);
    return value_at != std::string::npos && value_at - at <= utf16(key).size() + 2;
}

// A Wine prefix of the test's own (a copy of the suite's, which is fresh from wineboot), and a
// wineserver of its own in this test's network namespace (TMPDIR names it), ended with the test.
class WinePrefix {
public:
    WinePrefix() : prefix(work.path() + "/prefix"), tmp(work.path() + "/tmp")
    {
        int status = -1;
        std::string out = run("cp -a " RELAY_INSTALLER_WINEPREFIX " " + prefix + " && mkdir " + tmp, &status);
        EXPECT_EQ(status, 0) << out;
    }
    ~WinePrefix() { kill_server(); }
    // The start of a command that runs a Windows program here, with these debug channels. No menu
    // entries on the host for the shortcuts.
    std::string wine(const std::string &debug) const
    {
        return environment() + " WINEDLLOVERRIDES=winemenubuilder.exe=d WINEDEBUG=" + debug + " " RELAY_INSTALLER_WINE " ";
    }
    // Ends the wineserver and every program of this prefix; the registry is then on disk.
    void kill_server() const { run(environment() + " wineserver -k"); }
    std::string environment() const { return "WINEPREFIX=" + prefix + " TMPDIR=" + tmp; }

    TempDir work;
    const std::string prefix, tmp;
};

// The processes of this test's network namespace whose program is this one (Wine gives a Windows
// program's process its Windows path as its command line).
std::vector<pid_t> processes_of(const std::string &windows_path)
{
    std::vector<pid_t> found;
    std::error_code error;
    fs::path here = fs::read_symlink("/proc/thread-self/ns/net", error);
    for (const auto &entry : fs::directory_iterator("/proc")) {
        std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            fs::read_symlink(entry.path() / "ns/net", error) != here)
            continue;
        std::string command = read_file(entry.path().string() + "/cmdline");
        if (command.substr(0, command.find('\0')) == windows_path)
            found.push_back(std::stoi(pid));
    }
    return found;
}

// One event as Wine's advapi32 traces ReportEventW (WINEDEBUG=+eventlog): its level ("err" for an
// error, "warn" for a warning, "trace" for information) and its text, as UTF-8.
struct LoggedEvent {
    std::string level, text;
};

std::string utf8(unsigned code)
{
    if (code < 0x80)
        return std::string(1, static_cast<char>(code));
    if (code < 0x800)
        return {static_cast<char>(0xc0 | code >> 6), static_cast<char>(0x80 | (code & 0x3f))};
    return {static_cast<char>(0xe0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3f)),
            static_cast<char>(0x80 | (code & 0x3f))};
}

// The lines look like: 00d4:err:eventlog:ReportEventW L"[08:34:00] \7ed1\5b9a..."
std::vector<LoggedEvent> events_logged(const std::string &trace)
{
    std::vector<LoggedEvent> events;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const std::string marker = ":eventlog:ReportEventW L\"";
        size_t at = line.find(marker);
        size_t level_at = line.find(':');
        if (at == std::string::npos || level_at >= at)
            continue;
        LoggedEvent event{line.substr(level_at + 1, at - level_at - 1), ""};
        for (size_t i = at + marker.size(); i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\' || i + 1 >= line.size()) {
                event.text += line[i];
            } else if (std::isxdigit(static_cast<unsigned char>(line[i + 1])) && i + 4 < line.size()) {
                event.text += utf8(static_cast<unsigned>(std::stoul(line.substr(i + 1, 4), nullptr, 16)));
                i += 4;
            } else {
                char c = line[++i];
                event.text += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
        }
        events.push_back(event);
    }
    return events;
}

// Whether the relay's line with this text (GBK, after its time) was logged at this level.
bool relay_line_logged(const std::string &trace, const std::string &level, const std::string &text)
{
    for (const LoggedEvent &e : events_logged(trace)) {
        size_t after_time = e.text.find("] ");
        if (e.level == level && after_time != std::string::npos && gbk(e.text.substr(after_time + 2)) == text)
            return true;
    }
    return false;
}

// How many times the service host logged this (a warning, in English).
size_t host_lines_logged(const std::string &trace, const std::string &text)
{
    size_t count = 0;
    for (const LoggedEvent &e : events_logged(trace))
        count += e.level == "warn" && e.text.find(text) != std::string::npos;
    return count;
}

// Two clients chat through the relay on 127.0.0.1: the second is in the room once its heartbeat
// is answered, then hears the first.
void chat_between_two_clients()
{
    Client first, second;
    second.send("[PING]");
    ASSERT_EQ(second.recv_exact(6, seconds(10)), "[PONG]");
    std::string line = "hello from the first client\n";
    first.send(line);
    EXPECT_EQ(second.recv_exact(line.size(), seconds(10)), line);
}

TEST_F(Installer, InstallsSilentlyServesTwoClientsAndUninstallsEverything)
{
    std::string installer = package("chat-relay-" RELAY_VERSION, "-win64.exe");
    ASSERT_FALSE(installer.empty());
    WinePrefix wine_prefix;
    const std::string &prefix = wine_prefix.prefix, &tmp = wine_prefix.tmp;
    int status = -1;
    // A trace of every process started.
    std::string wine = wine_prefix.wine("-all,+process");
    // The program's exit status, once everything it started has ended too.
    std::string wait = "; status=$?; " + wine_prefix.environment() + " wineserver -w; exit $status";

    std::string dir = prefix + "/drive_c/ChatRelay/";
    std::string uninstall_key = "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Chat Relay]";
    auto listed = [&] { return read_file(prefix + "/system.reg").find(uninstall_key) != std::string::npos; };
    auto files_in = [&](const std::string &folder) {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        return names;
    };

    // The folder chosen already holds someone's file (a DLL the relay would load): it is refused,
    // with nothing written there or anywhere.
    fs::create_directory(dir);
    std::ofstream(dir + "IPHLPAPI.DLL") << "planted";
    std::string trace = run(wine + installer + " /S /D=C:\\\\ChatRelay" + wait, &status);
    EXPECT_NE(status, 0) << "installed into a folder holding another's file";
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"IPHLPAPI.DLL"});
    EXPECT_FALSE(listed());
    // The folder's permissions cannot be set: here icacls cannot even be run (junk in its place, as
    // Wine's own icacls is a stub that sets nothing and always exits 0). The install stops before
    // any file is written.
    fs::remove(dir + "IPHLPAPI.DLL");
    const std::string icacls = prefix + "/drive_c/windows/system32/icacls.exe";
    fs::copy_file(icacls, wine_prefix.work.path() + "/icacls.exe");
    std::ofstream(icacls, std::ios::trunc) << "not a program";
    trace = run(wine + installer + " /S /D=C:\\\\ChatRelay" + wait, &status);
    EXPECT_NE(status, 0) << "installed without setting the folder's permissions";
    EXPECT_FALSE(fs::exists(dir) && !fs::is_empty(dir)) << files_in(dir).size() << " files written";
    EXPECT_FALSE(listed());
    fs::copy_file(wine_prefix.work.path() + "/icacls.exe", icacls, fs::copy_options::overwrite_existing);
    // A folder whose folder above any user can change (Wine shows a directory others may write as
    // Everyone's to change): refused, with nothing made there.
    const std::string tools = prefix + "/drive_c/Tools";
    fs::create_directory(tools);
    fs::permissions(tools, fs::perms::all);
    trace = run(wine + installer + " /S /D=C:\\\\Tools\\\\Chat" + wait, &status);
    EXPECT_NE(status, 0) << "installed under a folder any user can change";
    EXPECT_FALSE(fs::exists(tools + "/Chat")) << "the folder was made";
    EXPECT_FALSE(listed());
    fs::remove_all(tools);

    // Into the folder, left empty. A trace of every process started and every file opened.
    fs::create_directory(dir);
    std::string wine_files = wine_prefix.wine("-all,+process,+file");
    trace = run(wine_files + installer + " /S /D=C:\\\\ChatRelay" + wait, &status);
    ASSERT_EQ(status, 0) << tail(trace);
    std::string menu = prefix + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Chat Relay/";
    for (const std::string &file : {dir + "chat_server.exe", dir + "chat_client.exe", dir + "chat_window.exe",
                                    dir + "Uninstall.exe", dir + "README.txt", dir + "chat-window.png",
                                    dir + "LICENSE.txt", menu + "Chat relay.lnk", menu + "Chat.lnk",
                                    menu + "Chat (console).lnk", menu + "Uninstall.lnk"})
        EXPECT_TRUE(fs::exists(file)) << file;
    // The Start menu's Chat is the window; the console client keeps a shortcut of its own.
    EXPECT_NE(read_file(menu + "Chat.lnk").find("chat_window.exe"), std::string::npos);
    EXPECT_NE(read_file(menu + "Chat (console).lnk").find("chat_client.exe"), std::string::npos);
    std::string registry = read_file(prefix + "/system.reg");
    EXPECT_NE(registry.find(uninstall_key), std::string::npos) << "not listed in Apps & features";
    EXPECT_NE(registry.find("\"UninstallString\"=\"\\\"C:\\\\ChatRelay\\\\Uninstall.exe\\\"\""), std::string::npos);
    // Wine's firewall is not real (its netsh only logs a FIXME), so what is checked is that the
    // installer runs these exact commands.
    const std::string netsh = "C:\\windows\\system32\\netsh.exe";
    std::vector<std::string> commands = commands_run(trace, netsh);
    std::string netsh_rule = "\"" + netsh + "\" advfirewall firewall ";
    EXPECT_TRUE(ran(commands, netsh_rule + "add rule name=\"Chat relay (TCP 8888)\" dir=in action=allow "
                                           "program=\"C:\\ChatRelay\\chat_server.exe\" protocol=TCP localport=8888 "
                                           "profile=private,domain enable=yes"))
        << commands.size() << " netsh commands";
    EXPECT_TRUE(ran(commands, netsh_rule + "add rule name=\"Chat client (UDP 8889)\" dir=in action=allow "
                                           "program=\"C:\\ChatRelay\\chat_client.exe\" protocol=UDP localport=8889 "
                                           "profile=private,domain enable=yes"))
        << commands.size() << " netsh commands";
    // The folder's permissions, set before any file is written into it (Wine's icacls is a stub and
    // Wine enforces no permissions: what is checked is the command and when it runs).
    const std::string icacls_command = "\"C:\\windows\\system32\\icacls.exe\" \"C:\\ChatRelay\" /inheritance:r /grant:r "
                                       "*S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX";
    auto sets_the_permissions_first = [&](const std::string &what) {
        EXPECT_EQ(commands_run(trace, "C:\\windows\\system32\\icacls.exe"), std::vector<std::string>{icacls_command})
            << what;
        FolderOrder order = folder_order(trace);
        EXPECT_GE(order.icacls, 0) << what;
        EXPECT_GT(order.first_write, order.icacls) << what << ": a file was written into the folder first";
    };
    sets_the_permissions_first("install");
    EXPECT_TRUE(ran(commands, netsh_rule + "add rule name=\"Chat window (UDP 8889)\" dir=in action=allow "
                                           "program=\"C:\\ChatRelay\\chat_window.exe\" protocol=UDP localport=8889 "
                                           "profile=private,domain enable=yes"))
        << commands.size() << " netsh commands";
    // The files the clients share: TCP 8890-8899, on the same networks.
    for (const std::string program : {"Chat client", "Chat window"}) {
        std::string exe = program == "Chat client" ? "chat_client.exe" : "chat_window.exe";
        EXPECT_TRUE(ran(commands, netsh_rule + "add rule name=\"" + program + " (TCP 8890-8899)\" dir=in action=allow "
                                               "program=\"C:\\ChatRelay\\" + exe + "\" protocol=TCP localport=8890-8899 "
                                               "profile=private,domain enable=yes"))
            << program;
    }

    // Explorer's Properties read the version resource.
    std::string exe = read_file(dir + "chat_server.exe");
    EXPECT_TRUE(has_version_string(exe, "ProductName", "Chat Relay"));
    EXPECT_TRUE(has_version_string(exe, "ProductVersion", RELAY_VERSION));
    EXPECT_TRUE(has_version_string(exe, "FileDescription", "LAN chat relay"));

    // The installed relay, started by hand (as from its shortcut) under this prefix's wineserver,
    // where the installer can see it, and two clients: the installed one and a raw one.
    server.run_under_wine(RELAY_INSTALLER_WINE, prefix);
    server.start_at(dir + "chat_server.exe", {}, {"TMPDIR=" + tmp});
    auto lines = server.wait_for_lines(1, START_TIMEOUT);
    ASSERT_FALSE(lines.empty()) << server.log();
    EXPECT_EQ(lines[0].text, started_text());
    {
        Program client;
        client.run_under_wine(RELAY_INSTALLER_WINE, prefix);
        client.start(dir + "chat_client.exe", {"127.0.0.1"});
        chat_through_relay(server, client);
    }

    // An upgrade over the running relay: silent, it closes the relay before it replaces the files.
    // The folder of the version before is one any user could have changed meanwhile: its uninstaller
    // is not run, the installer removes that version itself, and the folder is made again, safe.
    expect_exit = true;
    fs::permissions(dir, fs::perms::all);
    trace = run(wine_files + installer + " /S /D=C:\\\\ChatRelay" + wait, &status);
    ASSERT_EQ(status, 0) << tail(trace);
    sets_the_permissions_first("upgrade");
    EXPECT_EQ(commands_run(trace, "C:\\ChatRelay\\Uninstall.exe"), std::vector<std::string>{})
        << "the uninstaller of an unprotected folder ran";
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::others_write, fs::perms::none) << "the folder was not made again";
    EXPECT_TRUE(server.wait_exit(seconds(10))) << "the relay started by hand still runs";
    ServerProcess upgraded;
    upgraded.run_under_wine(RELAY_INSTALLER_WINE, prefix);
    upgraded.start_at(dir + "chat_server.exe", {}, {"TMPDIR=" + tmp});
    lines = upgraded.wait_for_lines(1, START_TIMEOUT);
    ASSERT_FALSE(lines.empty()) << upgraded.log();
    EXPECT_EQ(lines[0].text, started_text());
    {
        Program client;
        client.run_under_wine(RELAY_INSTALLER_WINE, prefix);
        client.start(dir + "chat_client.exe", {"127.0.0.1"});
        chat_through_relay(upgraded, client);
    }

    // Removed with the relay running, which it closes first. The uninstaller runs a copy of itself
    // from the temporary folder and returns at once: the wineserver's end says that copy is done.
    trace = run(wine + "C:\\\\ChatRelay\\\\Uninstall.exe /S" + wait, &status);
    ASSERT_EQ(status, 0) << tail(trace);
    EXPECT_TRUE(upgraded.wait_exit(seconds(10))) << "the relay started by hand still runs";
    EXPECT_FALSE(fs::exists(dir)) << "the install folder stayed";
    EXPECT_FALSE(fs::exists(menu)) << "the Start-menu folder stayed";
    registry = read_file(prefix + "/system.reg");
    EXPECT_EQ(registry.find(uninstall_key), std::string::npos) << "still listed in Apps & features";
    commands = commands_run(trace, netsh);
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat relay (TCP 8888)\" "
                                           "program=\"C:\\ChatRelay\\chat_server.exe\""));
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat client (UDP 8889)\" "
                                           "program=\"C:\\ChatRelay\\chat_client.exe\""));
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat window (UDP 8889)\" "
                                           "program=\"C:\\ChatRelay\\chat_window.exe\""));
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat client (TCP 8890-8899)\" "
                                           "program=\"C:\\ChatRelay\\chat_client.exe\""));
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat window (TCP 8890-8899)\" "
                                           "program=\"C:\\ChatRelay\\chat_window.exe\""));
}

TEST_F(Installer, RunsTheRelayAsAServiceThatComesBackLogsToTheEventLogAndLeavesWithTheUninstaller)
{
    std::string installer = package("chat-relay-" RELAY_VERSION, "-win64.exe");
    ASSERT_FALSE(installer.empty());
    WinePrefix wine_prefix;
    // Wine's services write their trace to the standard error of the Wine program that started
    // them, which may be any of those run here: all of them append it to one file. Their standard
    // output goes to a file of its own, which nothing keeps open.
    std::string trace = wine_prefix.work.path() + "/trace", out = wine_prefix.work.path() + "/out";
    auto wine = [&](const std::string &command, int *status = nullptr) {
        run(wine_prefix.wine("-all,+eventlog") + command + " </dev/null >" + out + " 2>>" + trace, status);
        return read_file(out);
    };
    auto traced = [&] { return read_file(trace); };
    const std::string relay = "C:\\ChatRelay\\chat_server.exe", host = "C:\\ChatRelay\\chat_relay_service.exe";
    std::vector<pid_t> relays;
    auto one_relay_other_than = [&](pid_t old) {
        relays = processes_of(relay);
        return relays.size() == 1 && relays[0] != old;
    };

    int status = -1;
    wine(installer + " /S /SERVICE=1 /D=C:\\\\ChatRelay", &status);
    ASSERT_EQ(status, 0) << tail(traced());
    EXPECT_NE(wine("sc query ChatRelay").find("RUNNING"), std::string::npos);
    ASSERT_TRUE(eventually([&] { return one_relay_other_than(-1); }, START_TIMEOUT)) << relays.size() << " relays";
    chat_between_two_clients();
    // The installer and uninstaller leave its relay to the service: it is not one started by hand.
    wine("'" + host + "' relays 'C:\\ChatRelay'", &status);
    EXPECT_EQ(status, 0) << "relays started by hand";
    // Its lines in the event log, decoded from GBK; the service host's own lines say how long it waits.
    EXPECT_TRUE(eventually([&] { return relay_line_logged(traced(), "trace", connected_text(2)); }, seconds(10)))
        << tail(traced());
    EXPECT_TRUE(relay_line_logged(traced(), "trace", started_text()));

    // A relay that ends is started again after a second, and serves.
    pid_t killed = relays[0];
    kill(killed, SIGKILL);
    EXPECT_TRUE(eventually([&] { return one_relay_other_than(killed); }, seconds(10))) << relays.size() << " relays";
    EXPECT_EQ(host_lines_logged(traced(), "It is started again in 1 s."), 1u) << tail(traced());
    chat_between_two_clients();

    // Stopping the service ends the relay. Checked without starting Wine in between, which would
    // start the service again. Under Wine a service started in a session that a command such as sc
    // began ends with that session, once no other program of the prefix runs: a cmd waiting for its
    // input keeps the session open, as Windows keeps its services whoever is logged on.
    Program session;
    session.run_under_wine(RELAY_INSTALLER_WINE, wine_prefix.prefix);
    session.start("cmd", {}, {"TMPDIR=" + wine_prefix.tmp});
    wine("sc stop ChatRelay");
    EXPECT_TRUE(eventually([&] { return processes_of(relay).empty() && processes_of(host).empty(); }, seconds(15)))
        << processes_of(relay).size() << " relays, " << processes_of(host).size() << " service hosts";

    // Started while another program holds the port: each failure is logged as an error, each try
    // again with a longer delay; once the port is free, the relay serves.
    {
        PortHolder holder;
        wine("sc start ChatRelay");
        EXPECT_TRUE(eventually([&] { return host_lines_logged(traced(), "started again in 2 s.") == 1; }, seconds(20)))
            << tail(traced());
        EXPECT_TRUE(relay_line_logged(traced(), "err", bind_failed_text(10048))) << tail(traced());
        EXPECT_GE(host_lines_logged(traced(), "The relay ended with exit code 10048. It is started again in 1 s."), 1u);
    }
    ASSERT_TRUE(eventually([&] { return one_relay_other_than(-1); }, seconds(15))) << relays.size() << " relays";
    chat_between_two_clients();

    // An upgrade over the running service keeps it (without /SERVICE=1), and its new relay serves.
    auto upgrade_keeps_the_service = [&](pid_t before) {
        wine(installer + " /S /D=C:\\\\ChatRelay", &status);
        ASSERT_EQ(status, 0) << tail(traced());
        EXPECT_NE(wine("sc query ChatRelay").find("RUNNING"), std::string::npos);
        EXPECT_TRUE(eventually([&] { return one_relay_other_than(before); }, START_TIMEOUT));
        chat_between_two_clients();
    };
    upgrade_keeps_the_service(relays[0]);
    std::string source = wine("reg query \"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Chat Relay\"");
    EXPECT_NE(source.find("EventMessageFile"), std::string::npos) << source;
    EXPECT_NE(source.find(host), std::string::npos) << source;

    // A file that cannot be removed (that of a client still running, held still so that it cannot
    // end with its relay) fails the removal, which keeps the Apps & features entry, and with it the
    // service choice, for another try.
    std::string uninstall = "C:\\\\ChatRelay\\\\Uninstall.exe /S _?=C:\\\\ChatRelay";
    std::string dir = wine_prefix.prefix + "/drive_c/ChatRelay/";
    {
        Program client;
        client.run_under_wine(RELAY_INSTALLER_WINE, wine_prefix.prefix);
        client.start(dir + "chat_client.exe", {"127.0.0.1"}, {"TMPDIR=" + wine_prefix.tmp});
        ASSERT_TRUE(client.wait_for_errors("connected to 127.0.0.1:8888", START_TIMEOUT)) << client.errors();
        kill(client.pid(), SIGSTOP);
        wine(uninstall, &status);
        EXPECT_NE(status, 0) << "a running client's program was removed";
        EXPECT_TRUE(fs::exists(dir + "chat_client.exe"));
        EXPECT_NE(wine("reg query \"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Chat Relay\"")
                      .find("DisplayName"),
                  std::string::npos);
        EXPECT_TRUE(eventually([&] { return processes_of(relay).empty() && processes_of(host).empty(); }, seconds(5)));
        kill(client.pid(), SIGCONT);
    }
    upgrade_keeps_the_service(-1);

    // Removed with the relay running; with _?= the uninstaller returns once it is done, and leaves
    // only itself (a running program cannot remove itself).
    wine(uninstall, &status);
    EXPECT_EQ(status, 0) << tail(traced());
    EXPECT_TRUE(eventually([&] { return processes_of(relay).empty() && processes_of(host).empty(); }, seconds(5)));
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"Uninstall.exe"});
    // The service, its event source and the Apps & features entry are gone from the registry.
    wine_prefix.kill_server();
    std::string registry = read_file(wine_prefix.prefix + "/system.reg");
    for (const char *key : {"\\\\Services\\\\ChatRelay]", "\\\\Application\\\\Chat Relay]", "\\\\Uninstall\\\\Chat Relay]"})
        EXPECT_EQ(registry.find(key), std::string::npos) << key;
}
#endif

}  // namespace
