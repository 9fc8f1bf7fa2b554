"""rv360-tango as a Tango client sees it: Debian's PyTango against the device server started here
with no database, a client of the window's instrument port (tst_end_to_end's window against
rv360-sim). What only the window can do (the simulator's faults, the operator's Allow remote
control, the port stopped and started as by a restart of rv360, an acknowledgement) is asked of
the test that started this script: a line "do ACTION" on standard output, answered "ok" on
standard input.

usage: tango_device.py RV360_TANGO INSTRUMENT_PORT SIM_LOG RV360CTL SOCKET
prints one line per row, exits 1 on the first wrong one.
"""
import ctypes
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import tango

server_program, instrument, sim_log, ctl, control_socket = sys.argv[1:6]
NAMES = ["", "", "", "Au", "", "Ag \"5N\"", "", ""]
t0 = time.monotonic()
events = []  # (attribute's name in lower case, value) of every change event, in order


def step(text):
    print("%5.1f s  %s" % (time.monotonic() - t0, text), flush=True)


def fail(text):
    raise SystemExit("FAIL: " + text)


def ask(action):
    print("do " + action, flush=True)
    if sys.stdin.readline().strip() != "ok":
        fail("the test did not do " + action)


def until(what, check, timeout=10):
    end = time.monotonic() + timeout
    while True:
        try:
            value = check()
            if value:
                return value
        except tango.DevFailed:
            pass
        if time.monotonic() > end:
            fail("not within %s s: %s (events %s)" % (timeout, what, events[-8:]))
        time.sleep(0.05)


def moves_sent(since):
    with open(sim_log, "rb") as log:
        lines = [line.split(b" ", 1)[-1] for line in log.read()[since:].split(b"\n")]
    return [line[3:-2] for line in lines if line.startswith(b"rx $B") and line != b"rx $B?\\r"]


def log_size():
    return os.path.getsize(sim_log)


def refused(call, words):
    try:
        call()
    except tango.DevFailed as e:
        if words not in e.args[0].desc:
            fail("refused with %r, not %r" % (e.args[0].desc, words))
        return
    fail("not refused: expected %r" % words)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Command lines the server refuses, or where Tango cannot start: a status and words that say so.
taken = socket.socket()
taken.bind(("127.0.0.1", 0))
taken.listen()
for args, status, words in [
        (["--instrument"], 2, "--instrument needs HOST:PORT"),
        (["--instrument", "127.0.0.1:0", "x"], 2, "--instrument needs HOST:PORT"),
        (["--help"], 0, "Usage: rv360-tango"),
        (["x", "-nodb", "-dlist", "rv360/indexer/1", "-ORBendPoint",
          "giop:tcp:127.0.0.1:%d" % taken.getsockname()[1]], 1, "Unable to create an endpoint")]:
    run = subprocess.run([server_program] + args, capture_output=True, text=True, timeout=20)
    if run.returncode != status or words not in run.stdout + run.stderr:
        fail("%s: status %s, %r" % (args, run.returncode, run.stdout + run.stderr))
taken.close()

def start_server(instrument_port, instance, device, port):
    """A device server of its own session, killed with this script however it ends."""
    def die_with_parent():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    return subprocess.Popen(
        [server_program, "--instrument", "127.0.0.1:%s" % instrument_port, instance, "-nodb",
         "-dlist", device, "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port],
        stdout=subprocess.DEVNULL, start_new_session=True, preexec_fn=die_with_parent)


port = free_port()
server = start_server(instrument, "test", "rv360/indexer/1", port)
try:
    device = tango.DeviceProxy("tango://127.0.0.1:%d/rv360/indexer/1#dbase=no" % port)
    until("the server answers", lambda: device.ping() >= 0)
    for name in ("State", "Status", "Pocket", "PocketName"):
        device.subscribe_event(name, tango.EventType.CHANGE_EVENT,
                               lambda e: events.append((e.attr_value.name.lower(),
                                                        e.attr_value.value))
                               if not e.err else None)

    def states_since(count):
        return [v for n, v in events[count:] if n == "state"]

    until("ON at start", lambda: device.state() == tango.DevState.ON)
    if device.Pocket == 5:
        device.Pocket = 1
        until("at 1", lambda: device.Pocket == 1 and device.state() == tango.DevState.ON)

    # Each row: what is done, then what must follow.
    step("Pocket = 5: one B5 on the line, MOVING then ON as events, control given back")
    before, seen = log_size(), len(events)
    device.Pocket = 5
    # An ON from before the write may still come first: the order that counts is ON after MOVING.
    def moved_and_back():
        states = states_since(seen)
        return (tango.DevState.MOVING in states
                and tango.DevState.ON in states[states.index(tango.DevState.MOVING):])
    until("at 5, MOVING then ON as events", lambda: device.Pocket == 5 and moved_and_back())
    if moves_sent(before) != [b"$B5"]:
        fail("sent %s" % moves_sent(before))
    if ("pocket", 5) not in events[seen:]:
        fail("no Pocket event of 5 in %s" % events[seen:])
    until("control given back", lambda: device.RemoteHolder == "" and device.RemoteAllowed)
    # A client's reads come from Tango's polling buffer, without asking the port each time.
    cached = tango.DeviceProxy("tango://127.0.0.1:%d/rv360/indexer/1#dbase=no" % port)
    cached.set_source(tango.DevSource.CACHE)
    if cached.Pocket != 5 or cached.state() != tango.DevState.ON:
        fail("from the polling buffer: %s %s" % (cached.Pocket, cached.state()))

    step("Pocket = 9: refused by Tango, nothing sent")
    before = log_size()
    refused(lambda: setattr(device, "Pocket", 9), "above")
    if moves_sent(before):
        fail("sent %s" % moves_sent(before))

    step('MoveTo("au"): pocket 4, its name as an event; PocketNames the table\'s')
    seen = len(events)
    device.MoveTo("au")
    until("at Au", lambda: device.PocketName == "Au" and device.state() == tango.DevState.ON)
    until("PocketName event", lambda: ("pocketname", "Au") in events[seen:])
    if list(device.PocketNames) != NAMES:
        fail("PocketNames %s" % list(device.PocketNames))
    before = log_size()
    refused(lambda: device.MoveTo("Pt"), "no pocket named Pt")
    refused(lambda: device.MoveTo("1\nPOCK 8"), "without control characters")
    refused(lambda: device.MoveTo("Au" * 101), "at most 200 characters")
    if moves_sent(before):
        fail("sent %s" % moves_sent(before))

    step("Speed = 3, read back")
    device.Speed = 3
    if device.Speed != 3:
        fail("Speed %s" % device.Speed)

    step("rv360ctl inhibits: DISABLE, the reason in Status, a write refused; Release() ends it")
    subprocess.run([ctl, "--socket", control_socket, "inhibit", "on", "HV on"], check=True)
    until("DISABLE", lambda: device.state() == tango.DevState.DISABLE)
    if "Moves inhibited: HV on" not in device.status() or device.InhibitReason != "HV on":
        fail("status %r, reason %r" % (device.status(), device.InhibitReason))
    before = log_size()
    refused(lambda: setattr(device, "Pocket", 2), "moves inhibited: HV on")
    device.Release()
    until("ON again", lambda: device.state() == tango.DevState.ON and device.InhibitReason == "")
    device.Inhibit("door open")
    until("DISABLE by Inhibit()", lambda: "door open" in device.status())
    device.Release()
    if moves_sent(before):
        fail("sent %s" % moves_sent(before))

    step("Allow remote control unticked: a write refused naming it")
    ask("remote off")
    until("RemoteAllowed false", lambda: not device.RemoteAllowed)
    refused(lambda: setattr(device, "Pocket", 2), "remote control not allowed")
    ask("remote on")

    step("a move that fails: ALARM with the failure in Status, until acknowledged")
    ask("short limit")
    device.Pocket = 1
    until("ALARM", lambda: device.state() == tango.DevState.ALARM)
    if "Pocket 1 not reached in 0.3 s" not in device.status():
        fail("status %r" % device.status())
    ask("long limit")
    until("late, still ALARM", lambda: "Pocket 1 reached after" in device.status()
          and device.state() == tango.DevState.ALARM)
    ask("acknowledge")
    until("ON after the acknowledgement", lambda: device.state() == tango.DevState.ON)

    step("the indexer silent: FAULT; answering again: ON, no move sent again")
    before = log_size()
    ask("silent on")
    until("FAULT", lambda: device.state() == tango.DevState.FAULT)
    if "Indexer not answering" not in device.status():
        fail("status %r" % device.status())
    refused(lambda: device.Speed, "indexer did not answer")
    ask("silent off")
    until("ON", lambda: device.state() == tango.DevState.ON)
    if moves_sent(before):
        fail("sent %s" % moves_sent(before))

    step("rv360 stopped: UNKNOWN; started again: ON, nothing sent again")
    ask("port stop")
    until("UNKNOWN", lambda: device.state() == tango.DevState.UNKNOWN)
    if "not reachable" not in device.status():
        fail("status %r" % device.status())
    refused(lambda: setattr(device, "Pocket", 2), "not reachable")
    ask("port start")
    until("ON again", lambda: device.state() == tango.DevState.ON, timeout=5)
    if moves_sent(before):
        fail("sent %s" % moves_sent(before))
    step("an instrument whose answers are not rv360's: refused with its words, the device stays")
    fake = socket.create_server(("127.0.0.1", 0))
    answers = {b"STAT?": b"READY", b"STAT:TEXT?": b'""', b"POCK:NAME:ALL?": b'"a","b","c"'}

    def serve():
        with fake.accept()[0] as client, client.makefile("rwb") as line:
            for query in line:
                if query.strip().endswith(b"?"):
                    line.write(answers.get(query.strip(), b"0") + b"\n")
                    line.flush()
    threading.Thread(target=serve, daemon=True).start()
    odd_port = free_port()
    odd_server = start_server(fake.getsockname()[1], "odd", "rv360/indexer/2", odd_port)
    try:
        odd = tango.DeviceProxy("tango://127.0.0.1:%d/rv360/indexer/2#dbase=no" % odd_port)
        until("the odd server answers", lambda: odd.ping() >= 0)
        refused(lambda: odd.PocketNames, 'rv360 answered POCK:NAME:ALL? with "a","b","c"')
        odd.ping()
    finally:
        os.killpg(odd_server.pid, signal.SIGKILL)
        odd_server.wait()
    step("all rows passed")
except tango.DevFailed as e:
    fail("DevFailed: %s" % e.args[0].desc)
finally:
    os.killpg(server.pid, signal.SIGTERM)
    try:
        server.wait(timeout=5)
    except subprocess.TimeoutExpired:
        os.killpg(server.pid, signal.SIGKILL)
