#!/usr/bin/env python3
"""The peer in adapter_bench: fetches a TDS hard copy through a Prologix-style TCP controller
the way public scripts do it with pyvisa-py (a TCPIP SOCKET resource): the adapter commands,
"HARDCOPY START" and "++read eoi", a fixed 3 s sleep, then a read of the size the script assumes,
since the adapter does not pass the end of the message on: byte by byte ("bytewise", as
TdsScopeCapture does) or in one read_bytes call ("whole", as Tektronix's example does).

usage: peer_pyvisa.py HOST PORT SIZE bytewise|whole   prints "SECONDS BYTES"
"""
import sys
import time

import pyvisa


def main():
    host, port, size, mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    start = time.monotonic()
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(f"TCPIP0::{host}::{port}::SOCKET",
                            read_termination="\n", write_termination="\n", timeout=3000)
    for command in ("++mode 1", "++auto 0", "++addr 1", "++eoi 1", "++eos 3", "++eot_enable 0",
                    "++read_tmo_ms 3000"):
        inst.write(command)
    inst.write("HARDCOPY START")
    inst.write("++read eoi")
    time.sleep(3)
    data = bytearray()
    if mode == "whole":
        data += inst.read_bytes(size)
    while len(data) < size:
        data += inst.read_bytes(1)
    print(f"{time.monotonic() - start:.3f} {len(data)}")
    inst.close()


if __name__ == "__main__":
    main()
