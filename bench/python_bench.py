#!/usr/bin/env python3
"""The Python half of python_bench: the same calls as its C++ half, through the module nev, on the
simulator at DEVICE. Prints one line: the microseconds per call and how many were answered.

    python_bench.py DEVICE ITERATIONS
"""
import sys
import time

import nev


def main():
    device, iterations = sys.argv[1], int(sys.argv[2])
    p = nev.NEV("/tmp")  # the log where the C++ half writes its own
    p.message_sink = lambda *message: None
    if not p.InitConnection(device, 9600):
        sys.exit("python_bench.py: the simulator did not answer")
    answered = 0
    start = time.perf_counter()
    for _ in range(iterations):
        answered += p.GetStatus() == 0
        answered += bool(p.ECRInfo())
        answered += p.OpenServNote()
        answered += p.ServText("python_bench")
        answered += p.CloseServNote()
        answered += bool(p.GetTaxRates())
    elapsed = time.perf_counter() - start
    p.StopConnection()
    print(f"{elapsed * 1e6 / (iterations * 6):.3f} {answered}")


if __name__ == "__main__":
    main()
