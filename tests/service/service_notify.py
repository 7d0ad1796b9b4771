#!/usr/bin/env python3
"""kestrivaned-demo as systemd starts a Type=notify service with a watchdog:
a notify socket in NOTIFY_SOCKET and WATCHDOG_USEC set. It must say READY=1
once it serves, feed the watchdog well within its period, and say
STOPPING=1 on SIGTERM.

    service_notify.py <kestrivaned-demo>
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

daemon = sys.argv[1]
with tempfile.TemporaryDirectory() as work:
    path = os.path.join(work, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(0.1)
    env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="1000000")
    env.pop("WATCHDOG_PID", None)
    proc = subprocess.Popen([daemon, "--listen", "127.0.0.1", "--port", "0", "--state-dir",
                             os.path.join(work, "state"), "--socket", os.path.join(work, "api.sock")], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    got = []  # (time, message)
    start = time.monotonic()
    while time.monotonic() - start < 3.0:
        try:
            got.append((time.monotonic(), sock.recv(4096).decode()))
        except socket.timeout:
            pass
    proc.send_signal(signal.SIGTERM)
    end = time.monotonic()
    while time.monotonic() - end < 1.0:
        try:
            got.append((time.monotonic(), sock.recv(4096).decode()))
        except socket.timeout:
            pass
    out = proc.communicate(timeout=10)[0].decode()
    messages = [m for _, m in got]

    def fail(text):
        print("FAIL:", text, messages, out, file=sys.stderr)
        sys.exit(1)

    if proc.returncode != 0:
        fail("exit %d" % proc.returncode)
    if messages.count("READY=1") != 1:
        fail("not ready exactly once")
    ready_at = next(t for t, m in got if m == "READY=1")
    if "listening on" not in out:
        fail("not listening")
    beats = [t for t, m in got if m == "WATCHDOG=1" and t < end]
    if len(beats) < 6:
        fail("the watchdog was fed %d times in 3 s" % len(beats))
    gaps = [b - a for a, b in zip([ready_at] + beats, beats)]
    # A quarter period apart, a paced send sequence (the connection
    # reports as the tower is taken) may come between two.
    if max(gaps) > 0.8:
        fail("a watchdog gap of %.3f s (period 1 s): %s" % (max(gaps), ["%.3f" % g for g in gaps]))
    if messages[-1] != "STOPPING=1":
        fail("no STOPPING=1 last")
print("ok: READY=1, %d watchdog beats, STOPPING=1" % len(beats))
