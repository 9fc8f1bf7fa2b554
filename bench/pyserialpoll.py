#!/usr/bin/env python3
"""What a lab user writes instead of the program: the status poll with pyserial.

pyserialpoll.py PATH SECONDS polls "B?" then "D?" every 500 ms for SECONDS.
"""
import sys
import time

import serial


def main():
    port = serial.Serial(sys.argv[1], 19200, timeout=0.2)
    end = time.monotonic() + float(sys.argv[2])
    tick = time.monotonic()
    failures = 0
    while tick < end:
        for command in (b"B?", b"D?"):
            port.reset_input_buffer()
            port.write(b"$" + command + b"\r\n")
            if not port.read_until(b"\r").endswith(b"\r"):
                failures += 1
        tick += 0.5
        time.sleep(max(0.0, tick - time.monotonic()))
    return 3 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
