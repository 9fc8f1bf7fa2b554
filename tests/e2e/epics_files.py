"""docs/epics checked as far as can be without an IOC (none is packaged in Debian 12), run by
instrument_clients.py in tst_end_to_end against rv360's real instrument port: the records use
protocols that exist, clamp nothing, keep errors whole and give a sequence Moving and Done; the
protocol file needs no regular expressions (PCRE), and every one of its commands, sent as
StreamDevice would send it, is taken by the port and answered in the shape its "in" format
reads, a refused write included.

usage: epics_files.py PORT EPICS_DIR; prints one line per step, exits 1 on the first wrong one.
"""
import re
import socket
import sys
import time

port, folder = int(sys.argv[1]), sys.argv[2]
proto = open(folder + "/rv360.proto").read()
db = open(folder + "/rv360.db").read()


def check(step, ok, detail=""):
    print("%s: %s %s" % (step, "ok" if ok else "WRONG", detail), flush=True)
    if not ok:
        sys.exit("%s: %s" % (step, detail))


records = {name: (kind, dict(re.findall(r'field\((\w+),\s*"([^"]*)"\)', body)))
           for kind, name, body in re.findall(r'record\((\w+),\s*"\$\(P\)(\w+)"\)\s*\{(.*?)\n\}', db, re.S)}
text = re.sub(r"(?m)^\s*#.*$", "", proto)  # comments are whole lines here
COMMAND = r'\b(out|in)\s+"((?:[^"\\]|\\.)*)"'
protocols = {}
for start in re.finditer(r"(?m)^(\w+)\s*\{", text):
    depth, i = 1, start.end()
    while depth:  # braces inside quoted formats do not count
        if text[i] == '"':
            i = re.compile(r'"(?:[^"\\]|\\.)*"').match(text, i).end()
            continue
        depth += {"{": 1, "}": -1}.get(text[i], 0)
        i += 1
    main, _, handler = text[start.end():i - 1].partition("@mismatch")
    protocols[start.group(1)] = (re.findall(COMMAND, main), re.findall(COMMAND, handler))

check("no clamp", not any("DRVL" in f or "DRVH" in f for _, f in records.values()))
for name, (_, fields) in records.items():
    link = fields.get("INP", fields.get("OUT", ""))
    if link.startswith("@"):
        used = re.match(r"@rv360\.proto (\w+)", link).group(1)
        check("%s uses %s" % (name, used), used in protocols)
for name in ("Error", "WriteError"):
    kind, fields = records[name]
    check(name + " whole", kind == "waveform" and fields["FTVL"] == "CHAR" and int(fields["NELM"]) > 200)
check("Moving and Done", records["PocketSet"][1]["FLNK"] == "$(P)Moving"
      and records["Moving"][1]["FLNK"] == "$(P)Done" and records["Done"][1]["INPA"].startswith("$(P)Moving"))
check("no regular expression", not re.search(r'%[^"]*?/', text))


def reading(fmt):
    """The StreamDevice input format as a Python pattern."""
    fmt = fmt.replace('\\"', '"')
    parts, at = [], 0
    for m in re.finditer(r"%(\([^)]*\))?[*#]*(\d*)(d|s|\[[^\]]*\]|\{[^}]*\})", fmt):
        parts.append(re.escape(fmt[at:m.start()]))
        conv, width = m.group(3), m.group(2)
        parts.append(r"-?\d+" if conv == "d" else ".*" if conv == "s" else
                     "(?:%s)" % conv[1:-1] if conv[0] == "{" else
                     conv + ("{0,%s}" % width if width else "*"))
        at = m.end()
    return re.compile("".join(parts) + re.escape(fmt[at:]) + "$")


conn = socket.create_connection(("127.0.0.1", port), timeout=5)
lines = conn.makefile("r", newline="\n")
# The port tells the indexer's state once the window's poll has had an answer.
end = time.monotonic() + 10
while time.monotonic() < end:
    conn.sendall(b"STAT?\n")
    if lines.readline().strip() != "UNKNOWN":
        break
    time.sleep(0.1)


def run(name, value):
    """Runs a protocol as StreamDevice would; True when its "in" formats all matched."""
    main, handler = protocols[name]
    for i, (command, fmt) in enumerate(main):
        if command == "out":
            text = re.sub(r"%\{([^}]*)\}", lambda m: m.group(1).split("|")[value],
                          fmt.replace("%d", str(value)))
            conn.sendall(text.encode() + b"\n")
            continue
        reply = lines.readline().rstrip("\n")
        if not reading(fmt).match(reply):
            # The handler's "in" reads the same line again.
            check("%s %s: %r read by its handler" % (name, value, reply),
                  all(reading(f).match(reply) for c, f in handler if c == "in"))
            for c, f in handler:
                if c == "out":
                    conn.sendall(f.encode() + b"\n")
            return reply
        check("%s %s: %r" % (name, value, reply), True)
    return None


for name in ("getPocket", "getName", "getMoving", "getState", "getSpeed", "getError"):
    run(name, 0)
for name, value in (("setRemote", 0), ("setRemote", 1), ("setSpeed", 2), ("setPocket", 5)):
    check("%s %d taken" % (name, value), run(name, value) is None)
for name, value in (("setPocket", 9), ("setPocket", 0), ("setSpeed", 9)):
    check("%s %d refused" % (name, value), run(name, value) == '-222,"Data out of range"')
end = time.monotonic() + 20
while time.monotonic() < end:
    conn.sendall(b"MOV?\n")
    if lines.readline().strip() == "0":
        break
    time.sleep(0.2)
check("moved", run("getPocket", 0) is None)
# Control given back before the next client asks for it.
conn.sendall(b"SYST:LOC\nSYST:ERR?\n")
check("control given back", lines.readline().startswith("0,"))
