#!/usr/bin/env python3
"""bench/files_typing.py - how long a line typed on the sender's screen takes to reach a peer, with
no transfer running and with 8 (2 from each of 4 addresses, curl at a capped rate), alternately,
in a private network namespace. As root:

    bench/files_typing.py BUILD_DIR [LINES]

Prints the median and the 90th percentile of each, in milliseconds.
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

if os.environ.get("FILES_TYPING_INSIDE") is None:
    os.environ["FILES_TYPING_INSIDE"] = "1"
    os.execvp("unshare", ["unshare", "-n", sys.executable] + sys.argv)

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
lines = int(sys.argv[2]) if len(sys.argv) > 2 else 30
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
work = tempfile.mkdtemp(prefix="files-typing-")
big = os.path.join(work, "big.bin")
with open(big, "wb") as f:
    f.truncate(1 << 30)  # sparse: the sender reads zeros as fast as the cache gives them
relay = subprocess.Popen([build + "/chat_server"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(0.5)
tmux = ["tmux", "-S", work + "/tmux"]
env = f"env TERM=xterm-256color LANG=C.UTF-8 HOME={work} XDG_CONFIG_HOME={work}/c XDG_DATA_HOME={work}/d"
subprocess.run(tmux + ["new-session", "-d", "-x", "120", "-y", "30",
                       f"{env} {build}/chat_client --no-history --name alice 127.0.0.1"], check=True)
peer = socket.create_connection(("127.0.0.1", 8888))
peer.settimeout(0.05)


def screen():
    return subprocess.run(tmux + ["capture-pane", "-p", "-J"], capture_output=True, text=True).stdout


def wait_screen(text, seconds):
    deadline = time.time() + seconds
    while text not in screen():
        if time.time() > deadline:
            raise SystemExit("never shown: " + text + "\n" + screen())
        time.sleep(0.2)


def drain_until(marker, seconds):
    got = b""
    deadline = time.time() + seconds
    while marker not in got and time.time() < deadline:
        try:
            got += peer.recv(65536)
        except socket.timeout:
            pass
    return marker in got


wait_screen("*** connected", 10)
subprocess.run(tmux + ["send-keys", "-l", "/share " + big], check=True)
subprocess.run(tmux + ["send-keys", "Enter"], check=True)
wait_screen("*** sharing big.bin", 120)
url = None
for word in screen().replace("\n", " ").split():
    if word.startswith("http://"):
        url = word
# Loopback takes any 127/8 source: four addresses, two transfers each.
base = url.split("/f/")[0]
path = url[len(base):]
loop_url = "http://127.0.0.1:" + base.rsplit(":", 1)[1] + path


def typed(tag, n):
    delays = []
    for i in range(n):
        text = f"{tag} line {i}"
        t0 = time.perf_counter()
        subprocess.run(tmux + ["send-keys", "-l", text], check=True)
        subprocess.run(tmux + ["send-keys", "Enter"], check=True)
        if not drain_until(text.encode(), 10):
            raise SystemExit("a line never came: " + text)
        delays.append((time.perf_counter() - t0) * 1000)
        # Heartbeats: the peer answers nothing, the relay drops a silent one after 10 s.
        peer.sendall(b"bench: still here\n")
        time.sleep(0.1)
    return delays


results = {"none": [], "eight": []}
for rnd in range(3):
    results["none"] += typed(f"r{rnd} idle", lines // 3)
    curls = [subprocess.Popen(["curl", "-s", "-o", "/dev/null", "--limit-rate", "40M", "--interface", f"127.0.0.{2 + k // 2}",
                               loop_url]) for k in range(8)]
    time.sleep(1)
    busy = screen()
    results["eight"] += typed(f"r{rnd} busy", lines // 3)
    running = sum(1 for c in curls if c.poll() is None)
    for c in curls:
        c.kill()
        c.wait()
    print(f"round {rnd}: {running} of 8 transfers still running at the end", flush=True)
for k, v in results.items():
    v.sort()
    print(f"{k:5} transfers: median {statistics.median(v):.1f} ms, 90th percentile {v[int(len(v) * 0.9)]:.1f} ms over {len(v)} lines")
subprocess.run(tmux + ["kill-server"])
relay.kill()
subprocess.run(["rm", "-rf", work])
