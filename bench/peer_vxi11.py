#!/usr/bin/env python3
"""The peer in vxi11_bench: fetches a TDS hard copy from a VXI-11 instrument with pyvisa-py
(Debian's python3-pyvisa-py), as public scripts do: TCPIP::HOST::INSTR, "HARDCOPY START", then one
read_raw(), which loops device_read until END.

usage: peer_vxi11.py HOST SIZE   prints "SECONDS BYTES"
"""
import sys
import time

import pyvisa


def main():
    host, size = sys.argv[1], int(sys.argv[2])
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP::{host}::INSTR", timeout=10000)
    start = time.monotonic()
    inst.write_raw(b"HARDCOPY START\n")
    data = inst.read_raw()
    seconds = time.monotonic() - start
    inst.close()
    print(f"{seconds:.4f} {len(data)}")
    return 0 if len(data) == size else 1


if __name__ == "__main__":
    sys.exit(main())
