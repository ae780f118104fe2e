// service_win32.cpp - chat_relay_service.exe, the relay as a Windows service: the Service Control
// Manager starts it at boot; it runs chat_server.exe from its own folder as a child, restarts it when
// it ends and ends it when the service stops, and puts each line of the relay's log into the
// Application event log. The relay itself is the same program as run by hand.
//
//   chat_relay_service.exe                  as the Service Control Manager starts it
//   chat_relay_service.exe install          registers the event source, creates (or updates) the
//                                           service ChatRelay and starts it
//   chat_relay_service.exe remove           stops and deletes the service, and unregisters the source
//   chat_relay_service.exe relays FOLDER    exit status: how many chat_server.exe from FOLDER run,
//                                           started by hand (not by a service host)
//   chat_relay_service.exe close FOLDER     ends those
//   chat_relay_service.exe guarded FOLDER   exit status 0 if only administrators can change FOLDER
//                                           (its files and folders, or its place: the folders above
//                                           it); else 1, saying who else can on standard output
//   chat_relay_service.exe guarded-above FOLDER   the same for the folders above FOLDER alone
//   chat_relay_service.exe make FOLDER      makes FOLDER, and any folder above it that is missing,
//                                           owned by Administrators, changeable by administrators
//                                           alone, readable by everyone; fails (status 183) if one
//                                           appeared meanwhile
//
// Stopping and deleting happen in one process: Wine starts auto-start services again whenever a new
// top-level process starts, so a stop and a delete from two `sc` runs may find the service running
// again in between.
#ifdef _WIN32

#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // QueryFullProcessImageNameW, SetDefaultDllDirectories
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include "common/relay_log.h"

#ifndef SERVICE_SID_TYPE_RESTRICTED
#define SERVICE_SID_TYPE_RESTRICTED 3  // winsvc.h's value, missing from some headers (Wine's)
#endif

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

const wchar_t SERVICE_NAME[] = L"ChatRelay";
const wchar_t DISPLAY_NAME[] = L"Chat Relay";
const wchar_t SERVICE_DESCRIPTION_TEXT[] =
    L"Relays chat between the chat clients on this network (TCP 8888) and announces itself to them "
    L"(UDP 8889). Runs chat_server.exe and puts its log in the Application event log, source Chat Relay.";
const wchar_t EVENT_SOURCE[] = L"Chat Relay";
const wchar_t EVENT_SOURCE_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Chat Relay";

// The message table (messages.mc) has two messages, both "%1": a line of the relay's log, and a line
// of this host's own. Event Viewer shows the text itself.
const DWORD RELAY_LINE_EVENT = 1;
const DWORD HOST_EVENT = 2;

// The relay's two start-up failure lines, in GBK as it writes them after its "[hh:mm:ss] ", up to
// the code: "socket initialisation failed. Code: " and "binding the socket failed. Code: ".
const std::string_view SOCKET_STARTUP_FAILED = line_text(LINE_STARTUP_FAILED);
const std::string_view BIND_FAILED = line_text(LINE_BIND_FAILED);
const UINT GBK_CODE_PAGE = 936;

// The restart delay starts at one second and doubles up to a minute while the relay keeps ending at
// once (a relay that cannot start ends within a second); one that ran for 10 s was serving, and its
// end starts the count again.
const DWORD FIRST_RESTART_DELAY_MS = 1000;
const DWORD LONGEST_RESTART_DELAY_MS = 60000;
const ULONGLONG STEADY_RUN_MS = 10000;

// Lines read from the relay wait here for the event log. The reader never waits for the event log:
// past this many waiting lines, new ones are counted and dropped, and the count is logged.
const std::size_t MOST_WAITING_LINES = 1000;
const std::size_t LONGEST_LINE = 4096;

std::wstring module_path()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

// This program's folder, with its trailing backslash.
std::wstring module_folder()
{
    std::wstring path = module_path();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// ---- the event log ----

// Sends lines to the event log from a thread of its own, so that whoever hands it a line never
// waits for the event log.
class EventLogWriter {
public:
    EventLogWriter() : source_(RegisterEventSourceW(nullptr, EVENT_SOURCE)), thread_([this] { run(); }) {}
    ~EventLogWriter()
    {
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
        if (source_ != nullptr)
            DeregisterEventSource(source_);
    }
    EventLogWriter(const EventLogWriter &) = delete;
    EventLogWriter &operator=(const EventLogWriter &) = delete;

    void add(WORD type, DWORD event, std::wstring text)
    {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (waiting_.size() >= MOST_WAITING_LINES) {
                ++dropped_;
                return;
            }
            waiting_.push_back(Entry{type, event, std::move(text)});
        }
        cv_.notify_one();
    }

private:
    struct Entry {
        WORD type;
        DWORD event;
        std::wstring text;
    };

    void run()
    {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            cv_.wait(lock, [this] { return done_ || !waiting_.empty() || dropped_ > 0; });
            if (waiting_.empty() && dropped_ == 0)
                return;  // done, and everything is written
            std::deque<Entry> batch;
            batch.swap(waiting_);
            unsigned long dropped = dropped_;
            dropped_ = 0;
            lock.unlock();
            for (const Entry &e : batch)
                report(e.type, e.event, e.text);
            if (dropped > 0)
                report(EVENTLOG_WARNING_TYPE, HOST_EVENT,
                       std::to_wstring(dropped) + L" lines of the relay's log were lost: the event log took them "
                                                  L"more slowly than the relay wrote them.");
            lock.lock();
        }
    }

    void report(WORD type, DWORD event, const std::wstring &text)
    {
        if (source_ == nullptr)
            return;
        const wchar_t *strings[1] = {text.c_str()};
        ReportEventW(source_, type, 0, event, nullptr, 1, 0, strings, nullptr);
    }

    HANDLE source_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Entry> waiting_;
    unsigned long dropped_ = 0;
    bool done_ = false;
    std::thread thread_;
};

bool starts_with_at(const std::string &line, std::size_t at, std::string_view prefix)
{
    return line.compare(at, prefix.size(), prefix) == 0;
}

// One line of the relay's log (GBK, without its line end) as an event: F1 and F2 are errors.
void log_relay_line(EventLogWriter &log, const std::string &line)
{
    std::size_t text_at = line.find("] ");
    text_at = text_at == std::string::npos ? 0 : text_at + 2;
    bool failure = starts_with_at(line, text_at, SOCKET_STARTUP_FAILED) || starts_with_at(line, text_at, BIND_FAILED);
    std::wstring text;
    int n = MultiByteToWideChar(GBK_CODE_PAGE, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    if (n > 0) {
        text.resize(static_cast<std::size_t>(n));
        MultiByteToWideChar(GBK_CODE_PAGE, 0, line.data(), static_cast<int>(line.size()), &text[0], n);
    }
    log.add(failure ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, RELAY_LINE_EVENT, text);
}

// Takes the relay's output as fast as it comes, until the relay's end closes the pipe, and hands
// it on line by line.
void read_relay_output(HANDLE pipe, EventLogWriter *log)
{
    std::string line;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            if (buf[i] == '\n') {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                log_relay_line(*log, line);
                line.clear();
            } else if (line.size() < LONGEST_LINE) {
                line += buf[i];
            }
        }
    }
    if (!line.empty())
        log_relay_line(*log, line);
    CloseHandle(pipe);
}

// ---- the service ----

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS service_status{};
HANDLE stop_requested = nullptr;

void set_state(DWORD state, DWORD exit_code = NO_ERROR)
{
    service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    service_status.dwCurrentState = state;
    service_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    service_status.dwWin32ExitCode = exit_code;
    service_status.dwWaitHint = state == SERVICE_STOP_PENDING ? 10000 : 0;
    ++service_status.dwCheckPoint;
    SetServiceStatus(status_handle, &service_status);
}

DWORD WINAPI control(DWORD code, DWORD, void *, void *)
{
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        set_state(SERVICE_STOP_PENDING);
        SetEvent(stop_requested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Starts the relay with its standard output (and error) on a pipe; its standard input reads
// nothing. The relay joins the job, so it ends with this host, however this host ends. On failure,
// says what failed.
bool start_relay(const std::wstring &path, HANDLE job, PROCESS_INFORMATION *pi, HANDLE *output, std::wstring *failure)
{
    *failure = L"The relay (" + path + L") could not be started: error ";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        *failure += std::to_wstring(GetLastError()) + L".";
        return false;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                 nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nothing;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    std::wstring command = L"\"" + path + L"\"";
    std::wstring folder = module_folder();
    BOOL started = CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.c_str(), &si, pi);
    DWORD error = GetLastError();
    // Only the relay holds the writing end now: once it ends, the reader sees the end of the pipe.
    CloseHandle(write_end);
    if (nothing != INVALID_HANDLE_VALUE)
        CloseHandle(nothing);
    if (!started) {
        CloseHandle(read_end);
        *failure += std::to_wstring(error) + L".";
        return false;
    }
    // Outside the job the relay could outlive this host, and a relay left behind holds the port
    // from the next one: one that cannot join is ended before it has run, as a failed start.
    if (!AssignProcessToJobObject(job, pi->hProcess)) {
        error = GetLastError();
        TerminateProcess(pi->hProcess, 1);
        WaitForSingleObject(pi->hProcess, 10000);
        CloseHandle(pi->hThread);
        CloseHandle(pi->hProcess);
        CloseHandle(read_end);
        *failure = L"The relay (" + path + L") could not be put in the service host's job, which ends it with the "
                   L"host, so it was ended before it ran: error " + std::to_wstring(error) + L".";
        return false;
    }
    ResumeThread(pi->hThread);
    CloseHandle(pi->hThread);
    *output = read_end;
    return true;
}

// Runs the relay until the service is asked to stop, starting it again whenever it ends.
void supervise()
{
    EventLogWriter log;
    // A job that would not end its relays with this host is no job: with none, no relay starts.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // One process, the relay: it starts none, so one that tried would be doing what it should not.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        DWORD error = GetLastError();
        log.add(EVENTLOG_ERROR_TYPE, HOST_EVENT,
                L"The service host's job could not be made: error " + std::to_wstring(error) + L".");
        if (job != nullptr)
            CloseHandle(job);
        job = nullptr;
    }
    std::wstring relay = module_folder() + L"chat_server.exe";
    DWORD delay = FIRST_RESTART_DELAY_MS;
    for (;;) {
        ULONGLONG started_at = GetTickCount64();
        PROCESS_INFORMATION pi{};
        HANDLE output = nullptr;
        std::wstring what;
        if (start_relay(relay, job, &pi, &output, &what)) {
            std::thread reader(read_relay_output, output, &log);
            HANDLE events[2] = {pi.hProcess, stop_requested};
            DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
            if (woke != WAIT_OBJECT_0) {
                TerminateProcess(pi.hProcess, 0);  // ended on purpose: no failure
                WaitForSingleObject(pi.hProcess, 10000);
                reader.join();
                CloseHandle(pi.hProcess);
                break;
            }
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            CloseHandle(pi.hProcess);
            reader.join();
            if (GetTickCount64() - started_at >= STEADY_RUN_MS)
                delay = FIRST_RESTART_DELAY_MS;
            what = L"The relay ended with exit code " + std::to_wstring(code) + L".";
        }
        log.add(EVENTLOG_WARNING_TYPE, HOST_EVENT,
                what + L" It is started again in " + std::to_wstring(delay / 1000) + L" s.");
        if (WaitForSingleObject(stop_requested, delay) == WAIT_OBJECT_0)
            break;
        delay = std::min(delay * 2, LONGEST_RESTART_DELAY_MS);
    }
    if (job != nullptr)
        CloseHandle(job);
}

void WINAPI service_main(DWORD, LPWSTR *)
{
    status_handle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, control, nullptr);
    if (status_handle == nullptr)
        return;
    stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    set_state(SERVICE_RUNNING);
    supervise();
    set_state(SERVICE_STOPPED);
}

// ---- installing and removing ----

int fail(const char *what)
{
    DWORD error = GetLastError();
    std::fprintf(stderr, "chat_relay_service: %s failed: error %lu\n", what, error);
    return error != 0 ? static_cast<int>(error) : 1;
}

// Event Viewer finds the text of the source's events in this program's message table.
int register_event_source()
{
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return fail("registering the event source");
    }
    std::wstring file = module_path();
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(file.c_str()),
                        static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof types);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return fail("registering the event source");
    }
    return 0;
}

// ---- folders only administrators can change ----

// The service runs the relay from its folder, and an upgrade runs the uninstaller from the folder
// of the version before, both with more rights than a user has: a user who can put a file there, or
// rename the folder (or one above it) and put another in its place, could have it run.

// The user running this program: an administrator (installing is theirs alone), so trusted too.
std::vector<BYTE> own_user_sid()
{
    std::vector<BYTE> sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        PSID s = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
        sid.assign(static_cast<BYTE *>(s), static_cast<BYTE *>(s) + GetLengthSid(s));
    }
    CloseHandle(token);
    return sid;
}

// Administrators, SYSTEM, TrustedInstaller (Windows' own folders are its), and the administrator
// running this.
bool administrators_only(PSID sid)
{
    static std::vector<BYTE> self = own_user_sid();
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid))
        return true;
    if (!self.empty() && EqualSid(sid, self.data()))
        return true;
    wchar_t *text = nullptr;
    bool installer = ConvertSidToStringSidW(sid, &text) &&
                     std::wcscmp(text, L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") == 0;
    if (text != nullptr)
        LocalFree(text);
    return installer;
}

std::wstring sid_text(PSID sid)
{
    wchar_t name[256], domain[256];
    DWORD name_len = 256, domain_len = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &name_len, domain, &domain_len, &use))
        return domain_len > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    wchar_t *text = nullptr;
    std::wstring said = ConvertSidToStringSidW(sid, &text) ? text : L"an unknown account";
    if (text != nullptr)
        LocalFree(text);
    return said;
}

// Who besides administrators can change the file or folder at path, in words; "" if nobody. A
// folder above: renaming, deleting or re-permitting it (or what is in it), which moves the path
// onto a folder of theirs. contents: adding files and folders in it counts too.
std::wstring who_else_can_change(const std::wstring &path, bool contents)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoW(const_cast<wchar_t *>(path.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     &owner, nullptr, &dacl, nullptr, &sd);
    if (rc != ERROR_SUCCESS)
        return L"its permissions cannot be read (error " + std::to_wstring(rc) + L")";
    std::wstring who;
    DWORD changes = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_ALL;
    if (contents)
        changes |= FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | GENERIC_WRITE;
    if (owner != nullptr && !administrators_only(owner)) {
        who = sid_text(owner) + L" owns it";
    } else if (dacl == nullptr) {
        who = L"everyone may (it has no access list)";
    } else {
        for (DWORD i = 0; i < dacl->AceCount && who.empty(); ++i) {
            ACE_HEADER *ace = nullptr;
            if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE ||
                (ace->AceFlags & INHERIT_ONLY_ACE) != 0)
                continue;  // a denial takes nothing more away; an inherit-only entry is for what is made in it
            auto *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
            PSID sid = &allowed->SidStart;
            if ((allowed->Mask & changes) != 0 && !administrators_only(sid))
                who = sid_text(sid) + L" may change it";
        }
    }
    LocalFree(sd);
    return who;
}

// The full path of folder, without a trailing backslash (but for a drive's root); "" if none.
std::wstring full_path(const std::wstring &folder)
{
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH)
        return L"";
    std::wstring path(full, n);
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

std::wstring parent_of(const std::wstring &path)
{
    std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || path.size() <= 3)
        return L"";
    return slash == 2 ? path.substr(0, 3) : path.substr(0, slash);
}

// Why the folder (with its contents, if contents), or a folder above it, can be changed by someone
// who is no administrator: "" if it cannot. Folders not made yet are none of that.
std::wstring unguarded(const std::wstring &folder, bool contents)
{
    std::wstring path = full_path(folder);
    if (path.empty())
        return folder + L": not a folder's path";
    if (contents) {
        std::wstring who = who_else_can_change(path, true);
        if (!who.empty())
            return path + L": " + who;
    }
    for (std::wstring above = parent_of(path); !above.empty(); above = parent_of(above)) {
        if (GetFileAttributesW(above.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        std::wstring who = who_else_can_change(above, false);
        if (!who.empty())
            return above + L": " + who;
    }
    return L"";
}

int guarded(const std::wstring &folder, bool contents)
{
    std::wstring why = unguarded(folder, contents);
    if (why.empty())
        return 0;
    std::fwprintf(stdout, L"%ls\n", why.c_str());
    return 1;
}

// Makes the folder, and the folders above it that are missing, each owned by Administrators with its
// permissions from the start: administrators and SYSTEM change it, everyone else reads and runs, and
// nothing is inherited from above. A folder that is there already (made by someone else meanwhile)
// fails the making: 183 (ERROR_ALREADY_EXISTS), or the error that stopped it.
int make_folder(const std::wstring &folder)
{
    std::wstring path = full_path(folder);
    if (path.empty())
        return ERROR_BAD_PATHNAME;
    std::vector<std::wstring> missing;
    for (std::wstring p = path; !p.empty() && GetFileAttributesW(p.c_str()) == INVALID_FILE_ATTRIBUTES; p = parent_of(p))
        missing.push_back(p);
    if (missing.empty()) {
        std::fprintf(stderr, "chat_relay_service: make: the folder is there already\n");
        return ERROR_ALREADY_EXISTS;
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)",
                                                              SDDL_REVISION_1, &sd, nullptr))
        return fail("describing the folder's permissions");
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    int rc = 0;
    for (auto p = missing.rbegin(); p != missing.rend() && rc == 0; ++p)
        if (!CreateDirectoryW(p->c_str(), &sa))
            rc = fail("making the folder");
    LocalFree(sd);
    return rc;
}

// Created to start with Windows as LocalService (no administrator rights), to be restarted by the
// Service Control Manager should this host itself fail, and started. A folder that someone who is
// no administrator can change is refused: the service would run what they put there.
int install_service()
{
    std::wstring why = unguarded(module_folder(), true);
    if (!why.empty()) {
        std::fwprintf(stderr, L"chat_relay_service: not installed: %ls: the service would run what is put there\n", why.c_str());
        return ERROR_ACCESS_DENIED;
    }
    int rc = register_event_source();
    if (rc != 0)
        return rc;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr)
        return fail("opening the Service Control Manager");
    std::wstring command = L"\"" + module_path() + L"\"";
    const wchar_t *account = L"NT AUTHORITY\\LocalService";
    SC_HANDLE service = CreateServiceW(scm, SERVICE_NAME, DISPLAY_NAME, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, account, L"");
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceW(scm, SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (service != nullptr &&
            !ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command.c_str(), nullptr, nullptr, nullptr, account, L"", DISPLAY_NAME)) {
            rc = fail("updating the service");
            CloseServiceHandle(service);
            CloseServiceHandle(scm);
            return rc;
        }
    }
    if (service == nullptr) {
        rc = fail("creating the service");
        CloseServiceHandle(scm);
        return rc;
    }
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t *>(SERVICE_DESCRIPTION_TEXT)};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
        fail("describing the service");
    // Should this host fail, the Service Control Manager starts it again after 5 s, each time; a day
    // without failure resets the count.
    SC_ACTION restart[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
    SERVICE_FAILURE_ACTIONSW actions{};
    actions.dwResetPeriod = 86400;
    actions.cActions = 3;
    actions.lpsaActions = restart;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
        fail("setting the service's restart on failure");
    // Of LocalService's privileges, the one it needs: SeChangeNotifyPrivilege (walking folders). The
    // rest, SeImpersonatePrivilege among them, are taken from its token.
    wchar_t privileges[] = L"SeChangeNotifyPrivilege\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required))
        fail("limiting the service's privileges");
    // A restricted service SID: its token writes only where the service's own SID (NT SERVICE\ChatRelay)
    // or everyone may, not where LocalService may.
    SERVICE_SID_INFO sid_info{SERVICE_SID_TYPE_RESTRICTED};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid_info))
        fail("restricting the service's SID");
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        rc = fail("starting the service");
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return rc;
}

// Stops the service and waits until it has, then deletes it; no service is no failure.
int remove_service()
{
    int rc = 0;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr)
        return fail("opening the Service Control Manager");
    SC_HANDLE service = OpenServiceW(scm, SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (service != nullptr) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        for (int i = 0; i < 300 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
            Sleep(100);
        if (status.dwCurrentState != SERVICE_STOPPED)
            std::fprintf(stderr, "chat_relay_service: the service did not stop within 30 s\n");
        if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            rc = fail("deleting the service");
        CloseServiceHandle(service);
    } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        rc = fail("opening the service");
    }
    CloseServiceHandle(scm);
    LONG deleted = RegDeleteKeyW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
        SetLastError(static_cast<DWORD>(deleted));
        rc = fail("unregistering the event source");
    }
    return rc;
}

// ---- relays started by hand ----

std::wstring lower(std::wstring s)
{
    for (wchar_t &c : s)
        c = static_cast<wchar_t>(towlower(c));
    return s;
}

// Ends (or only counts) the relays started by hand whose program is chat_server.exe in the folder:
// not those that a service host runs, which stop with their service. The relay has no way to be
// asked to stop: it ends when its console closes, which is what ending it here amounts to.
int relays_from(const std::wstring &folder, bool end_them)
{
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    std::wstring wanted(full, n);
    if (wanted.back() != L'\\')
        wanted += L'\\';
    wanted = lower(wanted + L"chat_server.exe");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<PROCESSENTRY32W> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        processes.push_back(entry);
    CloseHandle(snapshot);
    auto run_by_service = [&](DWORD parent) {
        for (const PROCESSENTRY32W &p : processes)
            if (p.th32ProcessID == parent && _wcsicmp(p.szExeFile, L"chat_relay_service.exe") == 0)
                return true;
        return false;
    };
    int count = 0;
    for (const PROCESSENTRY32W &p : processes) {
        if (_wcsicmp(p.szExeFile, L"chat_server.exe") != 0 || run_by_service(p.th32ParentProcessID))
            continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     p.th32ProcessID);
        if (process == nullptr)
            continue;
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, image, &size) && lower(std::wstring(image, size)) == wanted &&
            WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            if (!end_them || !TerminateProcess(process, 1) || WaitForSingleObject(process, 10000) != WAIT_OBJECT_0)
                ++count;
        }
        CloseHandle(process);
    }
    return count;
}

int usage()
{
    std::fprintf(stderr, "usage: chat_relay_service install | remove | relays FOLDER | close FOLDER | guarded FOLDER |\n"
                         "                          guarded-above FOLDER | make FOLDER\n"
                         "Without arguments it runs as the service ChatRelay, started by Windows.\n");
    return 2;
}

}  // namespace

int main()
{
    // DLLs from System32 alone, never from this program's folder or the current one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return 1;
    std::wstring command = argc > 1 ? argv[1] : L"";
    std::wstring folder = argc > 2 ? argv[2] : L"";
    LocalFree(argv);
    if (command.empty()) {
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(SERVICE_NAME), service_main}, {nullptr, nullptr}};
        if (StartServiceCtrlDispatcherW(table))
            return 0;
        return usage();  // started by a person, not by the Service Control Manager
    }
    if (command == L"install" && argc == 2)
        return install_service();
    if (command == L"remove" && argc == 2)
        return remove_service();
    if (command == L"relays" && argc == 3)
        return relays_from(folder, false);
    if (command == L"close" && argc == 3)
        return relays_from(folder, true);  // how many could not be ended
    if (command == L"guarded" && argc == 3)
        return guarded(folder, true);
    if (command == L"guarded-above" && argc == 3)
        return guarded(folder, false);
    if (command == L"make" && argc == 3)
        return make_folder(folder);
    return usage();
}

#endif  // _WIN32
