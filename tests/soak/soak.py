#!/usr/bin/python3
"""A long run of the real program on the real ALSA path into a private PulseAudio null
sink, with random window keys (xdotool under a private Xvfb), random console keys (on a
pseudo-terminal) and the other core kept busy.

    soak.py --binary build/keysynth [--duration 600] [--seed N] [--support tests/support]

It then reports, and holds against its goals:
- underruns: gaps in the recording (runs of exact zeros of GAP_MS or more while a note
  sounds) and the underruns that the PulseAudio daemon logs for the program's stream;
  goal 0 of each;
- the resident memory of the program a few seconds in and at the end; goal: no growth
  beyond 1 MiB.
Exits 0 when every goal is met.

The random keys keep every silence in the recording meaningful: the envelope's attack
and decay stay positive and the sustain at most 1 (no note ends at once), a released
note is played again within a few seconds (a release fades but never ends), and no key
ends the program ("." on the console, ESC in the window) until the end. Voice 1 has no
modulators and no key reaches it, so whatever the oscillator keys do to voice 0 a
sounding note is never silent. Only where a note runs out by itself ("MIAM") may the
stream hold a short silence: the next pair starts once the main loop has seen the end.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app"))
import keysynth_e2e as e2e  # noqa: E402  the program on its terminal, the X server

RATE = 44100  # frames per second of the recording
GAP_MS = 3.0  # the shortest run of exact zeros counted as a gap
NOTE_END_MARGIN = 0.3  # s either side of a printed "MIAM" where a gap is the note's end
RSS_GOAL_KIB = 1024
RSS_SETTLE = 5.0  # s of playing before the first memory figure
HOLD_MAX = 2.0  # s a window note is held at most, but for a long hold
LONG_HOLD = 0.15  # share of the note keys held past the note's end: the pairs that the
#                   program starts by itself then play on, and run out in their turn
FADE_MAX = 2.5  # s a released note fades at most before the next note key
NOTE_KEYS = "zxcvbn"
WINDOW_OTHER_KEYS = ["a", "q", "space", "Return", "1", "Left", "F1"]  # no effect
# Console keys with no effect on the parameters (they still print the status lines).
CONSOLE_OTHER_KEYS = "234Za q0"
VCO_LINE = re.compile(r"Freq \[(-?[0-9.]+|-?nan|-?inf)\] Ampl \[(-?[0-9.]+|-?nan|-?inf)\] ")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise e2e.Failure("no VmRSS for %d" % pid)


class PulseLog:
    """The null sink's daemon at debug level, logging into files of our choosing through
    its command-line protocol, which this loads."""

    def __init__(self, workdir):
        runtime = os.path.dirname(os.environ["PULSE_SERVER"][len("unix:"):])
        self.socket = os.path.join(runtime, "cli")
        self.available = subprocess.run(
            ["pactl", "load-module", "module-cli-protocol-unix", "socket=" + self.socket],
            capture_output=True).returncode == 0
        self.workdir = workdir
        self.command("set-log-level 4")

    def command(self, text):
        if not self.available:
            return
        with socket.socket(socket.AF_UNIX) as cli:
            cli.connect(self.socket)
            cli.sendall(text.encode() + b"\n")
            time.sleep(0.05)  # the daemon reads the line before we hang up

    def to_file(self, name):
        path = os.path.join(self.workdir, name)
        self.command("set-log-target file:" + path)
        return path


class Soak:
    def __init__(self, program, xvfb, rng):
        self.program, self.xvfb, self.rng = program, xvfb, rng
        self.scanned = 0
        self.note_ends = []  # monotonic times at which "MIAM" was read
        self.attack, self.decay, self.sustain = 10.0, 400.0, 0.0
        self.vcos = [(440.0, 1.0), (0.0, 1.0), (0.0, 1.0), (0.0, 1.0)]  # (freq, ampl)
        self.held = {}  # note key -> the time at which it goes up
        self.released_at = time.monotonic()
        self.long_hold = False  # a key is held until the program's own pairs have played
        self.counts = {"window note": 0, "window other": 0, "console": 0}
        self.events = []  # (monotonic time, what): the keys sent and the notes' starts

    def scan(self):
        """Notes the time of every "MIAM" that has come since the last look."""
        text, now = self.program.text, time.monotonic()
        end = text.rfind("\n") + 1  # whole lines only; `scanned` is at a line's start
        for line in re.finditer(r"^(MIAM|UNTRIG|TRIG)$", text[self.scanned:end], re.M):
            if line.group(1) == "MIAM":
                self.note_ends.append(now)
            self.events.append((now, line.group(1)))
        self.scanned = max(self.scanned, end)

    def idle(self, seconds):
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            self.program._read_some(until)
            self.scan()

    def console(self, keys):
        for key in keys:
            self.events.append((time.monotonic(), "console %r" % key))
            self.program.send(key)
            match = self.program.expect(e2e.STATUS, "status lines after %r" % key)
            self.scan()
            self.attack, self.decay, self.sustain = (float(match.group(i)) for i in (2, 3, 4))
            self.vcos = [(float(f), float(a)) for f, a in VCO_LINE.findall(match.group(0))]
            self.counts["console"] += 1

    def console_key(self):
        """A random console key that keeps a sounding note audible."""
        (_, osc1), (lfo1_freq, lfo1), (lfo2_freq, lfo2), (lfo3_freq, lfo3) = self.vcos
        allowed = {
            ",": self.attack < 1000, ";": self.attack >= 110,
            ":": self.decay < 2000, "=": self.decay >= 200,
            ")": self.sustain < 0.85, "-": True,
            "+": True, "7": True, "8": True, "9": True,
            "z": osc1 < 2, "s": osc1 > 0.2,
            "e": lfo1_freq < 20, "d": True, "r": lfo1 < 1.5, "f": True,
            "t": lfo2_freq < 20, "g": True, "y": lfo2 < 1.5, "h": True,
            "u": lfo3_freq < 20, "j": True, "i": lfo3 < 1.5, "k": True,
        }
        keys = [key for key, ok in allowed.items() if ok] + list(CONSOLE_OTHER_KEYS)
        return self.rng.choice(keys)

    def window(self, *args):
        self.events.append((time.monotonic(), "window " + " ".join(args)))
        self.xvfb.xdotool(*args)
        self.scan()

    def step(self):
        now = time.monotonic()
        for key, up in list(self.held.items()):
            if now > up:
                self.release(key)
                return
        if not self.held and now - self.released_at > FADE_MAX:
            return self.press()
        choice = self.rng.random()
        if choice < 0.25 and len(self.held) < 2 and not self.long_hold:
            self.press()
        elif choice < 0.45 and self.held and not self.long_hold:
            self.release(self.rng.choice(list(self.held)))
        elif choice < 0.55:
            self.window("key", self.rng.choice(WINDOW_OTHER_KEYS))
            self.counts["window other"] += 1
        elif choice < 0.9:
            self.console(self.console_key())
        else:  # a burst, as fast as the terminal takes it
            self.console("".join(self.console_key() for _ in range(self.rng.randint(2, 8))))

    def press(self):
        key = self.rng.choice([k for k in NOTE_KEYS if k not in self.held])
        self.window("keydown", key)
        hold = self.rng.uniform(0.05, HOLD_MAX)
        self.long_hold = not self.held and self.rng.random() < LONG_HOLD
        if self.long_hold:  # past the attack and decay, in clock units of 200 frames
            hold = (self.attack + self.decay) * 200 / RATE + self.rng.uniform(1.0, 5.0)
        self.held[key] = time.monotonic() + hold
        self.counts["window note"] += 1

    def release(self, key):
        self.window("keyup", key)
        del self.held[key]
        self.long_hold = self.long_hold and bool(self.held)
        self.released_at = time.monotonic()

    def release_all(self):
        for key in list(self.held):
            self.release(key)


def inner(args):
    """Inside the null sink's environment: plays, and writes what it saw to args.results."""
    workdir = e2e.WORKDIR = args.workdir
    rng = random.Random(args.seed)
    log = PulseLog(workdir)
    log.to_file("pulse-setup.log")
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"],
                            preexec_fn=e2e.end_with_this_script)
    results = {"pulse_log": log.available}
    try:
        with e2e.Xvfb() as xvfb, e2e.Keysynth(args.binary, e2e.program_env(xvfb.display),
                                              workdir) as program:
            program.expect(e2e.OUTPUT_MENU, "output menu")
            program.wait_key_mode()
            program.send("1")  # no Direct Sound here: ALSA stays, its first driver is "default"
            program.expect(re.compile(re.escape(e2e.SEPARATOR + "Alsa Driver list\n"
                                                + e2e.SEPARATOR) + r"1 - default(?: \([^\n]*\))?\n"),
                           "ALSA driver list", exact=True)
            program.expect(e2e.PROMPT, "driver prompt")
            program.send("1")
            program.expect(re.compile(e2e.CLEAR + re.escape(e2e.HELP)), "help lines", exact=True)
            xvfb.focus()
            program.expect("MIAM\nUNTRIG\n\nTRIG\n", "the first random pair")
            results["first_note"] = time.monotonic()
            results["play_log"] = log.to_file("pulse-play.log")
            soak = Soak(program, xvfb, rng)
            soak.scanned = program.seen
            soak.idle(RSS_SETTLE)
            results["rss_start_kib"] = rss_kib(program.pid)
            end = results["first_note"] + args.duration
            while time.monotonic() < end:
                soak.step()
                soak.idle(rng.uniform(0.02, 0.6))
            soak.release_all()
            soak.idle(0.5)
            results["rss_end_kib"] = rss_kib(program.pid)
            results["end"] = time.monotonic()
            log.to_file("pulse-end.log")
            e2e.end_with_dot(program)
            results.update(note_ends=soak.note_ends, counts=soak.counts, events=soak.events,
                           output_bytes=len(program.raw),
                           played=results["end"] - results["first_note"])
    finally:
        busy.terminate()
        busy.wait()
        with open(args.results, "w") as f:
            json.dump(results, f)


def zero_runs(data, shortest):
    """(first frame, frames) of every run of at least `shortest` frames whose two
    samples are exactly 0, in 16-bit stereo `data`."""
    runs = []
    for match in re.finditer(rb"\x00{%d,}" % (4 * shortest), data):
        first = (match.start() + 3) // 4  # whole frames only
        end = match.end() // 4
        if end - first >= shortest:
            runs.append((first, end - first))
    return runs


def pulse_underruns(path):
    """The daemon's underrun reports of the program's stream (not the recorder's own
    silence stream)."""
    if not path or not os.path.exists(path):
        return None
    with open(path, errors="replace") as f:
        return sum(1 for line in f if "nderrun" in line and "'silence'" not in line
                   and "end of underrun" not in line)


def stream_openings(path):
    """How often the program's stream was opened while it played, and the queue that
    its last opening asked for, from the daemon's log."""
    if not path or not os.path.exists(path):
        return 0, None
    with open(path, errors="replace") as f:
        log = f.read()
    queues = re.findall(r"Requested tlength=([0-9.]+) ms", log)
    return len(re.findall(r'Created input [0-9]+ "ALSA Playback"', log)), queues[-1] if queues else None


def outer(args):
    workdir = tempfile.mkdtemp(prefix="keysynth-soak.")
    recording = os.path.join(workdir, "recording.raw")
    results_path = os.path.join(workdir, "results.json")
    try:
        print("soak: %.0f s on ALSA \"default\" into a PulseAudio null sink, seed %d"
              % (args.duration, args.seed), flush=True)
        run = subprocess.run(
            [os.path.join(args.support, "pulse-null-sink.sh"), "--record", recording, "--",
             sys.executable, os.path.abspath(__file__), "--inner", "--binary", args.binary,
             "--duration", str(args.duration), "--seed", str(args.seed),
             "--workdir", workdir, "--results", results_path])
        with open(results_path) as f:
            results = json.load(f)
        if run.returncode != 0 or "end" not in results:
            print("soak: FAIL: the run itself failed (exit %d)" % run.returncode)
            return 1
        with open(recording, "rb") as f:
            data = f.read()
        return report(data, results)
    finally:
        if args.keep:
            print("soak: files kept in %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)


def report(data, results):
    frames = len(data) // 4
    first = re.match(rb"\x00*", data).end() // 4  # the first frame with a sound
    if first >= frames:
        print("soak: FAIL: the recording is silent")
        return 1
    # The recording runs at the sink's clock; its first sound is the first note.
    def frame_of(t):
        return first + int((t - results["first_note"]) * RATE)

    last = min(frames, frame_of(results["end"] - 0.05))
    gaps, note_ends = [], 0
    ends = [frame_of(t) for t in results["note_ends"]]
    margin = int(NOTE_END_MARGIN * RATE)
    for start, length in zero_runs(data[first * 4: last * 4], int(GAP_MS * RATE / 1000)):
        at = first + start
        if any(abs(at - end) <= margin for end in ends):
            note_ends += 1
        else:
            gaps.append((at, length))
    daemon = pulse_underruns(results.get("play_log"))
    growth = results["rss_end_kib"] - results["rss_start_kib"]
    played = results["played"]
    counts = results["counts"]

    print("soak: played %.1f s (%.1f s of it recorded), %d window note keys, %d other "
          "window keys, %d console keys, %d notes ran out by themselves"
          % (played, (last - first) / RATE, counts["window note"], counts["window other"],
             counts["console"], len(results["note_ends"])))
    print("soak: gaps of %.0f ms or more while a note sounds: %d%s" % (
        GAP_MS, len(gaps), "" if not gaps else " (longest %.1f ms; first at %s s)" % (
            max(n for _, n in gaps) * 1000.0 / RATE,
            ", ".join("%.2f" % ((at - first) / RATE) for at, _ in gaps[:10]))))
    for at, length in gaps[:5]:  # what happened around the first gaps
        t = results["first_note"] + (at - first) / RATE
        print("soak:   gap of %.1f ms at %.2f s, after: %s" % (
            length * 1000.0 / RATE, (at - first) / RATE, "; ".join(
                "%+.2f s %s" % (when - t, what) for when, what in results["events"]
                if -1.0 <= when - t <= 0.2)))
    print("soak: silences where a note ran out (the main loop's restart): %d" % note_ends)
    print("soak: underruns in the PulseAudio daemon's log: %s"
          % ("not available" if daemon is None else daemon))
    openings, queue = stream_openings(results.get("play_log"))
    if openings:
        print("soak: the program opened its stream %d more times while playing (its "
              "recovery from underruns); its last queue: %s ms" % (openings, queue))
    print("soak: resident memory %d KiB a few seconds in, %d KiB at the end: %+d KiB"
          % (results["rss_start_kib"], results["rss_end_kib"], growth))
    failures = []
    if gaps:
        failures.append("%d gaps while a note sounds" % len(gaps))
    if daemon:
        failures.append("%d underruns in the daemon's log" % daemon)
    if growth > RSS_GOAL_KIB:
        failures.append("memory grew by %d KiB" % growth)
    print("soak: %s" % ("PASS" if not failures else "FAIL: " + "; ".join(failures)))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--duration", type=float, default=600.0, help="seconds of playing")
    parser.add_argument("--seed", type=int, default=random.randrange(2**32))
    parser.add_argument("--support", default=os.path.join(os.path.dirname(
        os.path.abspath(__file__)), "..", "support"))
    parser.add_argument("--keep", action="store_true", help="keep the recording and logs")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--workdir", help=argparse.SUPPRESS)
    parser.add_argument("--results", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    args.support = os.path.abspath(args.support)
    if args.inner:
        try:
            inner(args)
        except e2e.Failure as failure:
            print("soak: FAIL: %s" % failure)
            stderr = os.path.join(args.workdir, "stderr.txt")
            if os.path.exists(stderr):
                with open(stderr, encoding="latin-1") as f:
                    print("program's stderr:\n" + f.read()[-3000:])
            return 1
        return 0
    signal.signal(signal.SIGINT, signal.default_int_handler)
    return outer(args)


if __name__ == "__main__":
    sys.exit(main())
