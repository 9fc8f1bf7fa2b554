"""Lab clients against rv360's instrument port, run by tst_end_to_end with Debian's pyvisa-py and
PyMeasure: the PyMeasure class of docs/instrument-port.md itself, a raw pyvisa client that times
out and drains the late answer, and a client that asks for a move and leaves at once, after
docs/epics run by epics_files.py as StreamDevice would run it. With "silent", against an indexer
that answers nothing: the status answered at once, the move's error raised by wait_for_arrival(),
and the IEEE 488.2 status registers.

usage: instrument_clients.py PORT DOCS_MD [silent]; prints one line per step, exits 1 on the first
wrong one.
"""
import os
import re
import subprocess
import sys

import pyvisa

port, docs = int(sys.argv[1]), sys.argv[2]
resource = "TCPIP0::127.0.0.1::%d::SOCKET" % port


def check(step, got, wanted):
    print("%s: %r" % (step, got), flush=True)
    if got != wanted:
        sys.exit("%s: got %r, wanted %r" % (step, got, wanted))


# The documentation's class, as a reader would copy it.
code = next(block for block in re.findall(r"```python\n(.*?)```", open(docs).read(), re.S)
            if "class RV360(Instrument)" in block)
scope = {}
exec(code, scope)
rv = scope["RV360"](resource)

check("identity", rv.id.startswith("RV360,crucible indexer,0,"), True)

if sys.argv[3:] == ["silent"]:
    check("state", (rv.state, rv.moving, rv.pocket), ("UNKNOWN", False, 0))
    rv.remote()
    rv.pocket = 5
    try:
        rv.wait_for_arrival(timeout=10)
        sys.exit("wait_for_arrival() returned on a silent line")
    except RuntimeError as error:
        check("the move's error", str(error).startswith('-240,"Hardware error;""B5"" not sent'),
              True)
    rv.write("DANCE")
    check("*ESR? after an undefined header", rv.ask("*ESR?").strip(), "32")
    check("*STB? with an error queued", rv.ask("*STB?").strip(), "4")
    rv.write("*RST")
    check("after *RST", (rv.ask("*STB?").strip(), rv.ask("*TST?").strip()), ("0", "0"))
    rv.pocket = 6  # control given back by *RST: refused, nothing sent
    check("no control", rv.ask("SYST:ERR?").strip(), '-221,"Settings conflict;local control"')
    sys.exit(0)
here = os.path.dirname(os.path.abspath(__file__))
subprocess.run([sys.executable, os.path.join(here, "epics_files.py"), str(port),
                os.path.join(os.path.dirname(docs), "epics")], check=True)
rv.remote()
rv.pocket = 4
rv.adapter.connection.timeout = 20000
check("*OPC? after a move", rv.ask("*OPC?").strip(), "1")
check("arrived", (rv.pocket, rv.pocket_name, rv.moving, rv.state), (4, "Au", False, "READY"))

# An inhibit refuses the move: nothing is sent, the error says why.
rv.write('INH ON,"HV on"')
rv.pocket = 7
check("inhibited", rv.ask("SYST:ERR?").strip(),
      '-221,"Settings conflict;moves inhibited: HV on"')
rv.write("INH OFF")
check("not moved", (rv.pocket, rv.state), (4, "READY"))

# pyvisa's timeout against a long move: the late "1" is drained before the next query.
rv.write("POCK 1")
raw = pyvisa.ResourceManager("@py").open_resource(resource, read_termination="\n",
                                                  write_termination="\n", timeout=300)
try:
    raw.query("*OPC?")
    sys.exit("*OPC? answered within 300 ms of a three-pocket move")
except pyvisa.errors.VisaIOError as error:
    check("timed out", error.error_code, pyvisa.constants.StatusCode.error_timeout)
raw.timeout = 20000
check("late answer drained", raw.read(), "1")
check("next query in step", raw.query("POCK?"), "1")
raw.close()

# A client that asks for a move and leaves at once: the move goes on, sent once.
rv.local()
leaver = pyvisa.ResourceManager("@py").open_resource(resource, read_termination="\n",
                                                     write_termination="\n")
leaver.write("SYST:REM")
leaver.write("POCK 8")
leaver.close()
print("left mid-move", flush=True)
