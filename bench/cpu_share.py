#!/usr/bin/python3
"""CPU share of keysynth's threads in a steady run: the real program on ALSA's default
device, its console on a pipe, without a window (SDL's dummy video driver still gives
the surface that every buffer clears).

    tests/support/pulse-null-sink.sh -- bench/cpu_share.py build/keysynth [SECONDS]

Prints each thread's share of one core over SECONDS (default 20) after a 3 s warm-up.
The main thread's busy loop keeps its core busy by design; the sound mixer thread is
the one whose share matters (goal: under 2%).
"""

import os
import subprocess
import sys
import threading
import time

TICKS = os.sysconf("SC_CLK_TCK")


def thread_times(pid):
    """{tid: (name, cpu seconds)} for every thread of the process."""
    times = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                stat = f.read()
        except FileNotFoundError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2:].split()
        times[tid] = (name, (int(fields[11]) + int(fields[12])) / TICKS)  # utime + stime
    return times


def main():
    binary = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    program = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env)
    output = bytearray()

    def drain():
        for chunk in iter(lambda: program.stdout.read1(65536), b""):
            output.extend(chunk)

    threading.Thread(target=drain, daemon=True).start()
    # "1": a Windows output, refused here, so ALSA stays; then driver 1, "default".
    program.stdin.write(b"1")
    program.stdin.flush()
    deadline = time.monotonic() + 30
    while b"Driver list" not in output and time.monotonic() < deadline:
        time.sleep(0.05)
    program.stdin.write(b"1")
    program.stdin.flush()
    time.sleep(3.0)

    before = thread_times(program.pid)
    start = time.monotonic()
    time.sleep(seconds)
    after = thread_times(program.pid)
    elapsed = time.monotonic() - start

    print(f"CPU share of one core over {elapsed:.1f} s of a steady run:")
    for tid, (name, cpu) in sorted(after.items(), key=lambda item: int(item[0])):
        used = cpu - before.get(tid, (name, 0.0))[1]
        role = {"sound mixer": "mixer thread (goal under 2%)"}.get(name, "")
        if tid == str(program.pid):
            role = "main thread (busy loop, by design)"
        print(f"  {name:<16} {100 * used / elapsed:6.2f}%  {role}")

    program.stdin.write(b".")
    program.stdin.flush()
    program.wait(timeout=30)
    return 0 if program.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
