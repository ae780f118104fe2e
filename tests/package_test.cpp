// package_test.cpp - the packages as people get them (scripts/package.sh builds them): the two .debs,
// extracted, with the relay started as its systemd unit says, and the relay's maintainer scripts run;
// the Windows installer run under Wine, its relay used, and uninstalled.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#ifndef RELAY_PACKAGE_DIR
#error "RELAY_PACKAGE_DIR must name the directory holding the packages"
#endif
#ifndef RELAY_VERSION
#error "RELAY_VERSION must be the project's version"
#endif

namespace fs = std::filesystem;

namespace {

// Runs a shell command; returns its standard output and error, and its exit status in *status.
std::string run(const std::string &command, int *status = nullptr)
{
    std::string output;
    FILE *p = popen(("(" + command + ") 2>&1").c_str(), "r");
    if (p == nullptr)
        return "popen failed";
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        output.append(buf, n);
    int rc = pclose(p);
    if (status != nullptr)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}

// The one package in the package directory whose name begins and ends so.
std::string package(const std::string &prefix, const std::string &suffix)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(RELAY_PACKAGE_DIR)) {
        std::string name = entry.path().filename().string();
        if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
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

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
    std::string relay_deb = package("chat-relay_", ".deb"), client_deb = package("chat-client_", ".deb");
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
    std::string deb = package("chat-relay_", ".deb");
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

TEST_F(Installer, InstallsSilentlyServesTwoClientsAndUninstallsEverything)
{
    std::string installer = package("chat-relay-", "-win64.exe");
    ASSERT_FALSE(installer.empty());
    // A prefix of the test's own (a copy of the suite's, which is fresh from wineboot), and a
    // wineserver of its own in this test's network namespace.
    TempDir work;
    std::string prefix = work.path() + "/prefix", tmp = work.path() + "/tmp";
    int status = -1;
    std::string out = run("cp -a " RELAY_INSTALLER_WINEPREFIX " " + prefix + " && mkdir " + tmp, &status);
    ASSERT_EQ(status, 0) << out;
    // No menu entries on the host for the shortcuts; a trace of every process started.
    std::string wine = "WINEPREFIX=" + prefix + " TMPDIR=" + tmp +
                       " WINEDLLOVERRIDES=winemenubuilder.exe=d WINEDEBUG=-all,+process " RELAY_INSTALLER_WINE " ";
    // The program's exit status, once everything it started has ended too.
    std::string wait = "; status=$?; WINEPREFIX=" + prefix + " TMPDIR=" + tmp + " wineserver -w; exit $status";

    std::string trace = run(wine + installer + " /S /D=C:\\\\ChatRelay" + wait, &status);
    ASSERT_EQ(status, 0) << tail(trace);
    std::string dir = prefix + "/drive_c/ChatRelay/";
    std::string menu = prefix + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Chat Relay/";
    for (const std::string &file : {dir + "chat_server.exe", dir + "chat_client.exe", dir + "Uninstall.exe",
                                    dir + "README.txt", dir + "LICENSE.txt", menu + "Chat relay.lnk",
                                    menu + "Chat client.lnk", menu + "Uninstall.lnk"})
        EXPECT_TRUE(fs::exists(file)) << file;
    std::string uninstall_key = "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Chat Relay]";
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

    // Explorer's Properties read the version resource.
    std::string exe = read_file(dir + "chat_server.exe");
    EXPECT_TRUE(has_version_string(exe, "ProductName", "Chat Relay"));
    EXPECT_TRUE(has_version_string(exe, "ProductVersion", RELAY_VERSION));
    EXPECT_TRUE(has_version_string(exe, "FileDescription", "LAN chat relay"));

    // The installed relay, and two clients: the installed one and a raw one.
    server.run_under_wine(RELAY_INSTALLER_WINE, prefix);
    server.start_at(dir + "chat_server.exe");
    auto lines = server.wait_for_lines(1, START_TIMEOUT);
    ASSERT_FALSE(lines.empty()) << server.log();
    EXPECT_EQ(lines[0].text, started_text());
    {
        Program client;
        client.run_under_wine(RELAY_INSTALLER_WINE, prefix);
        client.start(dir + "chat_client.exe", {"127.0.0.1"});
        chat_through_relay(server, client);
    }
    server.stop();

    // The uninstaller runs a copy of itself from the temporary folder and returns at once: the
    // wineserver's end says that copy is done.
    trace = run(wine + "C:\\\\ChatRelay\\\\Uninstall.exe /S" + wait, &status);
    ASSERT_EQ(status, 0) << tail(trace);
    EXPECT_FALSE(fs::exists(dir)) << "the install folder stayed";
    EXPECT_FALSE(fs::exists(menu)) << "the Start-menu folder stayed";
    registry = read_file(prefix + "/system.reg");
    EXPECT_EQ(registry.find(uninstall_key), std::string::npos) << "still listed in Apps & features";
    commands = commands_run(trace, netsh);
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat relay (TCP 8888)\" "
                                           "program=\"C:\\ChatRelay\\chat_server.exe\""));
    EXPECT_TRUE(ran(commands, netsh_rule + "delete rule name=\"Chat client (UDP 8889)\" "
                                           "program=\"C:\\ChatRelay\\chat_client.exe\""));
}
#endif

}  // namespace
