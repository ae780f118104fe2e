#!/usr/bin/env python3
"""A chat window under a busy room: a peer sends lines at a steady rate through the relay while a
line is typed into the window every second, and this reports how long each typed line took to reach
the room (typing must never be held up), the window's CPU and resident memory over the run (memory
must stay bounded: the list keeps 3,000 lines), and whether the window kept up (the last line sent
is in the conversation at the end). One driver for both windows: the Windows one under Wine, read
back by window_probe.exe, and the Linux one (Qt), read over AT-SPI as a screen reader reads it. Run
as root; it makes its own network namespace, X server (Xvfb) and window manager (fluxbox), for the
Linux window a D-Bus session, and under Wine a wineserver of its own:

    bench/window_bench.sh BUILD_DIR [SECONDS=20] [LINES_PER_SECOND=2000]        (Windows, Wine)
    bench/window_linux_bench.sh BUILD_DIR [SECONDS=20] [LINES_PER_SECOND=2000]  (Linux, Qt)
"""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

kind, build, seconds, rate = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
here = os.path.dirname(os.path.abspath(__file__))
tmp = subprocess.check_output(["mktemp", "-d", "/tmp/relay-window-bench-XXXXXX"], text=True).strip()
env = dict(os.environ, LC_ALL="C.UTF-8", HOME=tmp)
if kind == "wine":
    # The Windows window in the given prefix, on a wineserver of its own (its TMPDIR).
    wine = os.environ.get("WINE", "wine")
    env.update(WINEPREFIX=sys.argv[5], WINEDEBUG="-all", TMPDIR=tmp)
    window_argv = [wine, os.path.join(build, "windows", "chat_window.exe")]
    probe_argv = [wine, os.path.join(build, "tests", "window_probe.exe")]
    conversation, window_search = "list", "--name 'Chat$'"
else:
    env.update(XDG_CONFIG_HOME=tmp, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    window_argv = [os.path.join(build, "chat_window")]
    probe_argv = ["/usr/bin/python3", os.path.join(here, "..", "tests", "atspi_probe.py")]
    conversation, window_search = "Conversation", "--classname chat_window"
started = []
signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # a time-out still cleans up


def start(argv, **kw):
    p = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    started.append(p)
    return p


def first_line(argv_of):
    """Starts a program that says on a descriptor of its own where it can be reached; that line."""
    r, w = os.pipe()
    start(argv_of(w), pass_fds=(w,))
    os.close(w)
    with os.fdopen(r) as said:
        return said.readline().strip()


def connect():
    for _ in range(200):
        try:
            return socket.create_connection(("127.0.0.1", 8888))
        except OSError:
            time.sleep(0.02)
    raise SystemExit("no relay")


def usage(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are the 14th and 15th fields; the 3rd (state) is the first after the name.
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return cpu, rss


def probe(what):
    try:
        return subprocess.run([*probe_argv, what], env=env, capture_output=True,
                              timeout=30).stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        return ""


try:
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    env["DISPLAY"] = ":" + first_line(lambda fd: ["Xvfb", "-displayfd", str(fd), "-screen", "0", "1024x700x24", "-nolisten", "tcp"])
    if kind != "wine":
        env["DBUS_SESSION_BUS_ADDRESS"] = first_line(lambda fd: ["dbus-daemon", "--session", "--nofork", "--print-address=%d" % fd])
    start(["fluxbox"])
    start([os.path.join(build, "chat_server")])
    time.sleep(1)
    window = start([*window_argv, "--name", "bench", "127.0.0.1"])
    deadline = time.time() + 60
    while "connected to 127.0.0.1" not in probe(conversation):
        if time.time() > deadline:
            raise SystemExit("the window did not connect")
        time.sleep(0.3)
    pid = window.pid  # under Wine, its loader becomes the Windows program's process
    peer, reader = connect(), connect()  # now: the relay drops a client silent for 10 s
    subprocess.run(["sh", "-c", f"xdotool windowactivate --sync $(xdotool search --onlyvisible {window_search} | head -1)"], env=env)
    print(f"window process {pid}: {open(f'/proc/{pid}/cmdline', 'rb').read().split(bytes(1))[0].decode()}")

    # The reader takes what the room says and notes when each typed line arrived.
    arrived = {}


    def read_room():
        buf = b""
        last_ping = time.time()
        while True:
            if time.time() - last_ping > 3:  # the relay drops a reader silent for 10 s
                reader.sendall(b"[PING]")
                last_ping = time.time()
            try:
                data = reader.recv(65536)
            except OSError:
                return
            if not data:
                return
            buf = (buf + data).replace(b"[PONG]", b"")
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                if line.startswith(b"bench: typed "):
                    arrived[line.decode()] = time.time()


    threading.Thread(target=read_room, daemon=True).start()


    def flood():
        line_no, start_at = 0, time.time()
        while time.time() - start_at < seconds:
            due = int((time.time() - start_at) * rate)
            chunk = b""
            while line_no < due:
                line_no += 1
                chunk += ("peer%d: line %d of a busy room, \u4e2d\u6587\u4e5f\u6709\n" % (line_no % 50, line_no)).encode("gb18030")
            if chunk:
                peer.sendall(chunk)
            time.sleep(0.005)
        return line_no


    cpu0, rss0 = usage(pid)
    result = {}
    flooder = threading.Thread(target=lambda: result.setdefault("lines", flood()))
    flooder.start()
    typed, samples = {}, []
    for i in range(seconds):
        time.sleep(1)
        text = "typed %d" % i
        typed["bench: " + text] = time.time()
        subprocess.run(["xdotool", "type", text], env=env)
        subprocess.run(["xdotool", "key", "Return"], env=env)
        samples.append(usage(pid))
    flooder.join()
    time.sleep(3)
    cpu1, rss1 = usage(pid)
    last = "line %d of" % result["lines"]
    listed = probe(conversation)
    delays = sorted(arrived[k] - typed[k] for k in typed if k in arrived)

    print(f"{result['lines']} lines in {seconds} s ({rate}/s) from a peer; {len(typed)} lines typed, one a second")
    print(f"typed lines that reached the room: {len(delays)} of {len(typed)}; "
          f"time to the room: median {delays[len(delays) // 2] * 1000:.0f} ms, worst {delays[-1] * 1000:.0f} ms" if delays else
          "no typed line reached the room")
    print(f"window CPU: {cpu1 - cpu0:.1f} s over the run ({(cpu1 - cpu0) / (seconds + 3) * 100:.0f}% of a core)")
    print(f"window resident memory: {rss0 // 1024} MiB before, peak {max(s[1] for s in samples) // 1024} MiB, "
          f"{rss1 // 1024} MiB after")
    print(f"last line sent shown in the list: {'yes' if last in listed else 'no'}; "
          f"lines in the list: {sum(1 for line in listed.splitlines() if line)}")
    skipped = sum(int(line.split("*** ")[1].split()[0]) for line in listed.splitlines() if "lines came faster" in line)
    print(f"lines skipped by the window (told in its notes, among the lines still listed): {skipped}")
finally:
    # Everything started goes, also after a failure or a time-out.
    for p in reversed(started):
        p.kill()
    if kind == "wine":
        subprocess.run(["wineserver", "-k"], env=env)
    subprocess.run(["rm", "-rf", tmp])
