#!/usr/bin/python3
"""The real keysynth binary as a user meets it: its console on a pseudo-terminal, its
window under a private Xvfb with keys sent by xdotool, its sound through ALSA into a
private PulseAudio null sink.

    keysynth_e2e.py --binary build/keysynth --scenario NAME [--support DIR]

The program runs as the foreground job of the pseudo-terminal, below a small job-control
"shell" of this script's own (so Ctrl-Z really stops it), and every scenario checks that
the terminal is left exactly as it was found. Exits 0 when the scenario passes.
"""

import argparse
import cmath
import ctypes
import fcntl
import math
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

WORKDIR = None  # this run's own temporary directory
TIMEOUT = 30.0  # seconds for any one expected output; generous for sanitizer builds

SEPARATOR = "-" * 57 + "\n"
PROMPT = "Press a corresponding number or ESC to quit\n"
OUTPUT_MENU = (SEPARATOR + "Output Type\n" + SEPARATOR + "1 - Direct Sound\n"
               "2 - Windows Multimedia Waveout\n3 - ASIO\n4 - NoSound\n" + SEPARATOR + PROMPT)
NOSOUND_DRIVERS = SEPARATOR + "NoSound Driver list\n" + SEPARATOR + "1 - NoSound\n" + SEPARATOR + PROMPT
HELP = ("[aqzs edrftg yhujik olpm our] modifier les trucs \n"
        "[+-] change type OSC1 [7894] le type des LFO1234\n"
        "[wxcvbn,;] pour les notes (foireuxmaismarche)\n")
PATCH = re.compile(r"VCO \[(0x[0-9a-f]+)\]\n"
                   r" \|---         PHASE <-- VCO \[(0x[0-9a-f]+)\]\n"
                   r" \|---     FREQUENCE <-- VCO \[(0x[0-9a-f]+)\]\n"
                   r" \|---     AMPLITUDE <-- VCO \[(0x[0-9a-f]+)\]\n"
                   r"VCO \[(0x[0-9a-f]+)\]\n")
CLEAR = r"(?:\x1b[\[\]][0-9;?]*[A-Za-z])*"  # what "clear" writes for this terminal
STATUS = re.compile(r"Note \[58\] -> \[(-?[0-9]+\.[0-9]{6})\]\n"
                    r"(?:Freq \[[^\n]*\]  \n){4}"
                    r"VCA \[(-?[0-9.]+)\]\[(-?[0-9.]+)\]\[(-?[0-9.]+)\] \n")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_no_sanitizer_report(stderr):
    """A sanitizer build reports on stderr; with halt_on_error the exit code shows it too,
    but not every report changes it (a report at the very end, a signal's own end)."""
    for mark in ("Sanitizer", "runtime error"):
        check(mark not in stderr, "a sanitizer report on stderr:\n" + stderr[-3000:])


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def note_hz(note):
    return 8.1757989 * 2.0 ** ((note + 11) / 12.0)


def mode_of(fd):
    """The terminal's attributes that a program may change, for comparing."""
    a = termios.tcgetattr(fd)
    return a[:6] + [list(a[6])]


class Keysynth:
    """keysynth as the foreground job of a fresh pseudo-terminal."""

    def __init__(self, binary, env, workdir):
        self.master, slave = os.openpty()
        self.found = mode_of(self.master)
        self.raw = ""  # everything the terminal has shown
        self.text = ""  # the same with "\n" line ends
        self.seen = 0  # how far expect() has read
        self.stderr_path = os.path.join(workdir, "stderr.txt")
        events_r, events_w = os.pipe()
        stderr = os.open(self.stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.shell = os.fork()
        if self.shell == 0:  # the session leader: a shell that waits for its one job
            try:
                os.close(self.master)
                os.close(events_r)
                os.setsid()
                fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
                job = os.fork()
                if job == 0:
                    os.setpgid(0, 0)
                    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
                    os.tcsetpgrp(slave, os.getpid())
                    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
                    os.dup2(slave, 0)
                    os.dup2(slave, 1)
                    os.dup2(stderr, 2)
                    os.execve(binary, [binary], env)
                try:
                    os.setpgid(job, job)  # as the job does itself, whichever comes first
                except OSError:  # the job has already done it and started the program
                    pass
                os.write(events_w, b"pid %d\n" % job)
                while True:
                    _, status = os.waitpid(job, os.WUNTRACED | os.WCONTINUED)
                    if os.WIFSTOPPED(status):
                        os.write(events_w, b"stopped %d\n" % os.WSTOPSIG(status))
                    elif os.WIFCONTINUED(status):
                        os.write(events_w, b"continued\n")
                    elif os.WIFEXITED(status):
                        os.write(events_w, b"exited %d\n" % os.WEXITSTATUS(status))
                        os._exit(0)
                    else:
                        os.write(events_w, b"signaled %d\n" % os.WTERMSIG(status))
                        os._exit(0)
            finally:
                os._exit(1)
        os.close(slave)
        os.close(events_w)
        os.close(stderr)
        self.events = events_r
        self.pending_events = b""
        first = self.next_event().split()
        check(first and first[0] == "pid", "the job did not start")
        self.pid = int(first[1])
        self.ended = None

    def _read_some(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        ready, _, _ = select.select([self.master], [], [], min(left, 0.5))
        if ready:
            try:
                data = os.read(self.master, 65536)
            except OSError:  # no writer is left on the terminal
                data = b""
            if data:
                self.raw += data.decode("latin-1")
                self.text = self.raw.replace("\r\n", "\n")
        return True

    def expect(self, pattern, what=None, exact=False):
        """Waits for `pattern` (a text or a compiled regex) in the output after what was
        seen already; with exact, it must come right there. Returns the match."""
        literal = pattern if isinstance(pattern, str) else None
        regex = re.compile(re.escape(pattern)) if literal is not None else pattern
        deadline = time.monotonic() + TIMEOUT
        while True:
            match = (regex.match if exact else regex.search)(self.text, self.seen)
            if match:
                self.seen = match.end()
                return match
            tail = self.text[self.seen:]
            if exact and literal is not None and not literal.startswith(tail[: len(literal)]):
                raise Failure("expected %s right here, got %r" % (what or repr(literal), tail[:400]))
            if not self._read_some(deadline):
                raise Failure("no %s within %.0f s; after the last match: %r"
                              % (what or repr(pattern), TIMEOUT, tail[-600:]))

    def send(self, keys):
        os.write(self.master, keys.encode("latin-1"))

    def key_mode_on(self):
        lflag = termios.tcgetattr(self.master)[3]
        return not lflag & (termios.ICANON | termios.ECHO)

    def wait_key_mode(self, on=True):
        deadline = time.monotonic() + TIMEOUT
        while self.key_mode_on() != on:
            check(time.monotonic() < deadline, "the key mode never went %s" % ("on" if on else "off"))
            time.sleep(0.005)

    def next_event(self):
        """The shell's next line about its job: pid, stopped, continued, exited, signaled."""
        deadline = time.monotonic() + TIMEOUT
        while b"\n" not in self.pending_events:
            ready, _, _ = select.select([self.events], [], [], max(0, deadline - time.monotonic()))
            check(ready, "the job neither ended nor stopped within %.0f s" % TIMEOUT)
            data = os.read(self.events, 4096)
            check(data, "the shell ended without a word")
            self.pending_events += data
        line, self.pending_events = self.pending_events.split(b"\n", 1)
        return line.decode()

    def wait_end(self):
        event = self.next_event()
        while event == "continued":
            event = self.next_event()
        self.ended = event
        os.waitpid(self.shell, 0)
        check_no_sanitizer_report(self.stderr())
        return event

    def check_terminal_as_found(self):
        check(mode_of(self.master) == self.found,
              "the terminal is not as found: %r, was %r" % (mode_of(self.master), self.found))

    def stderr(self):
        with open(self.stderr_path, encoding="latin-1") as f:
            return f.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.ended is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                os.waitpid(self.shell, 0)
            except ChildProcessError:
                pass
        os.close(self.master)
        os.close(self.events)


def end_with_this_script():
    """In a child before exec: SIGTERM when this script ends, however it ends."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Xvfb:
    """A private X server on a display number that the server picks itself."""

    def __init__(self):
        r, w = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x900x24", "-nolisten", "tcp",
             "-noreset"], pass_fds=[w], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=end_with_this_script)
        os.close(w)
        number = b""
        deadline = time.monotonic() + TIMEOUT
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([r], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(r, 16) if ready else b""
            check(chunk, "Xvfb did not start")
            number += chunk
        os.close(r)
        self.display = ":" + number.decode().strip()

    def xdotool(self, *args):
        env = dict(os.environ, DISPLAY=self.display)
        result = subprocess.run(["xdotool"] + list(args), env=env, capture_output=True,
                                text=True, timeout=TIMEOUT)
        check(result.returncode == 0, "xdotool %s failed: %s" % (" ".join(args), result.stderr))
        return result.stdout

    def focus(self, name="^keysynth$"):
        """Gives the keyboard focus to the one window called `name`, once it is mapped."""
        env = dict(os.environ, DISPLAY=self.display)
        deadline = time.monotonic() + TIMEOUT
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                                   env=env, capture_output=True, text=True, timeout=TIMEOUT)
            windows = found.stdout.split()
            if len(windows) == 1:  # a window of an ended program may linger for a moment
                break
            check(time.monotonic() < deadline, "no single window %s: %r" % (name, windows))
            time.sleep(0.01)
        self.xdotool("windowfocus", "--sync", windows[0])
        return windows[0]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait()


def program_env(display=None, extra=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    env["TERM"] = "xterm"
    if display:
        env["DISPLAY"] = display
        # At exit SDL unloads the X11, D-Bus and Mesa libraries it loaded, leaving their
        # allocations behind where LeakSanitizer cannot even name the library. The
        # scenarios without a display keep the leak check of the program's own code.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        # SDL's X11 video takes its own locks in both orders while it opens the window.
        suppressions = os.path.join(WORKDIR, "tsan-x11.supp")
        with open(suppressions, "w") as f:
            f.write("deadlock:libSDL2-2.0.so.0\n")
        env["TSAN_OPTIONS"] = ":".join(filter(None, [env.get("TSAN_OPTIONS"),
                                                     "suppressions=" + suppressions]))
    env.update(extra or {})
    return env


def start_nosound(program, window_open=None):
    """The start-up dialogue up to the first random pair, with the NoSound output;
    `window_open` runs once the help lines show that the window is open."""
    program.expect(PATCH, "patch listing", exact=True)
    program.expect(OUTPUT_MENU, "output menu", exact=True)
    program.wait_key_mode()
    program.send("4")
    program.expect(NOSOUND_DRIVERS, "NoSound driver list", exact=True)
    program.send("1")
    program.expect(re.compile(CLEAR + re.escape(HELP)), "help lines", exact=True)
    if window_open:
        window_open()
    program.expect("MIAM\nUNTRIG\n\nTRIG\n", "the first random pair", exact=True)


def status(program, key="4"):
    """Sends a console key and returns the note line's frequency and the VCA values."""
    program.send(key)
    match = program.expect(STATUS, "status lines after %r" % key)
    return match.group(1), match.group(2), match.group(3), match.group(4)


def end_with_dot(program):
    status(program, ".")
    check(program.wait_end() == "exited 0", "'.' did not end with 0: %s" % program.ended)
    program.check_terminal_as_found()


# ---- Scenarios ----

def scenario_dialogue(binary, workdir):
    """NoSound start-up under a display, plays by itself, '.' ends with 0."""
    with Xvfb() as xvfb, Keysynth(binary, program_env(xvfb.display), workdir) as program:
        start_nosound(program)
        addresses = PATCH.match(program.text).groups()
        check(len(set(addresses)) == 5, "five different oscillators: %r" % (addresses,))
        check("keysynth: no window" not in program.stderr(), "the window did not open")
        xvfb.xdotool("search", "--sync", "--name", "^keysynth$")
        freq, attack, decay, sustain = status(program)
        check((attack, decay, sustain) == ("10.000000", "400.000000", "0.000000"), "VCA line")
        end_with_dot(program)
        check(program.text.endswith("VCA [10.000000][400.000000][0.000000] \n"),
              "the status lines of '.' are the last output: %r" % program.text[-200:])


def scenario_window_keys(binary, workdir):
    """Window keys through the X server: a note pair, its release, ESC."""
    with Xvfb() as xvfb, Keysynth(binary, program_env(xvfb.display), workdir) as program:
        start_nosound(program)
        window = xvfb.xdotool("search", "--sync", "--name", "^keysynth$").split()[0]
        xvfb.xdotool("mousemove", "--window", window, "200", "200")
        xvfb.xdotool("windowfocus", window)
        # A sustain holds every note from now on: no random pair comes in between, once a
        # pass has found the envelope running.
        check(status(program, ")")[3] == "0.100000", "sustain 0.1")
        while True:
            before = program.seen
            status(program)
            if "MIAM" not in program.text[before:program.seen]:
                break
        xvfb.xdotool("keydown", "x")
        program.expect("\nTRIG\n", "TRIG of the key x", exact=True)
        held = program.seen
        expected = "%f" % f32(note_hz(63))
        deadline = time.monotonic() + TIMEOUT
        while status(program)[0] != expected:  # the mixer sets the frequency at its next tick
            check(time.monotonic() < deadline, "the note line never showed %s" % expected)
        time.sleep(1.0)  # held past the X server's key repeat delay
        status(program)
        check("TRIG" not in program.text[held:program.seen], "a held key gives one key-down")
        xvfb.xdotool("keyup", "x")
        program.expect("UNTRIG\n", "UNTRIG of the key x", exact=True)
        check(status(program)[0] == expected, "releasing keeps the notes")
        xvfb.xdotool("key", "Escape")
        check(program.wait_end() == "exited 0", "ESC did not end with 0: %s" % program.ended)
        program.check_terminal_as_found()


def scenario_no_display(binary, workdir):
    """Without any display the program still plays and takes console keys."""
    with Keysynth(binary, program_env(), workdir) as program:
        start_nosound(program)
        check("keysynth: no window" in program.stderr(), "no line on stderr: %r" % program.stderr())
        status(program, "e")
        # The first envelope ends by itself after about 1.9 s: the next pair follows.
        program.expect("MIAM\nUNTRIG\n\nTRIG\n", "the second random pair")
        end_with_dot(program)


def scenario_escape_at_menu(binary, workdir):
    with Keysynth(binary, program_env(), workdir) as program:
        program.expect(PATCH, "patch listing", exact=True)
        program.expect(OUTPUT_MENU, "output menu", exact=True)
        program.wait_key_mode()
        program.send("0a \x1b")
        check(program.wait_end() == "exited 0", "ESC at the menu: %s" % program.ended)
        program._read_some(time.monotonic() + 0.2)
        check(program.text[program.seen:] == "", "nothing after ESC: %r" % program.text[program.seen:])
        program.check_terminal_as_found()


def expect_alsa_start_failure(program, driver_list, only_default, what):
    """From the output menu: ALSA's "default" driver cannot start, so the set-up and then
    the stream fail, with their two error reports each, and the program ends with 1."""
    program.expect(OUTPUT_MENU, "output menu")
    program.wait_key_mode()
    program.send("1")  # no Direct Sound here: ALSA stays
    program.expect(driver_list, "ALSA driver list", exact=True)
    # Other drivers may follow "default" unless it is the only one.
    program.expect(SEPARATOR + PROMPT, "driver prompt", exact=only_default)
    program.send("1")
    program.expect("Error!\nError initializing output device.\n", "the failed set-up",
                   exact=True)
    program.expect(re.compile(CLEAR + re.escape(HELP)), "help lines", exact=True)
    program.expect("Error!\nThis command failed because FSOUND_Init was not called\n",
                   "the stream's failure", exact=True)
    check(program.wait_end() == "exited 1", "%s: %s" % (what, program.ended))
    program._read_some(time.monotonic() + 0.2)
    check(program.text[program.seen:] == "", "nothing more: %r" % program.text[program.seen:])


def scenario_stream_failure(binary, workdir):
    """ALSA without any device: the stream cannot be created, exit code 1."""
    config = os.path.join(workdir, "no-devices.conf")
    with open(config, "w") as f:
        f.write("# no PCM at all\n")
    with Keysynth(binary, program_env(extra={"ALSA_CONFIG_PATH": config}), workdir) as program:
        expect_alsa_start_failure(
            program, SEPARATOR + "Alsa Driver list\n" + SEPARATOR + "1 - default\n",
            only_default=True, what="a stream that cannot start")
        program.check_terminal_as_found()


def signal_scenario(send_signal, expected_end):
    def scenario(binary, workdir):
        with Keysynth(binary, program_env(), workdir) as program:
            start_nosound(program)
            check(program.key_mode_on(), "keys are on while it plays")
            send_signal(program)
            check(program.wait_end() == expected_end, "ended %s" % program.ended)
            program.check_terminal_as_found()
    return scenario


def scenario_suspend(binary, workdir):
    """Ctrl-Z stops the job with the terminal as found; continuing takes it again."""
    with Keysynth(binary, program_env(), workdir) as program:
        start_nosound(program)
        for _ in range(2):
            program.send("\x1a")  # Ctrl-Z: SIGTSTP to the foreground job
            event = program.next_event()
            check(event == "stopped %d" % signal.SIGTSTP, "Ctrl-Z: %s" % event)
            program.check_terminal_as_found()
            os.kill(program.pid, signal.SIGCONT)  # fg
            check(program.next_event() == "continued", "not continued")
            program.wait_key_mode()
        status(program)
        end_with_dot(program)


def scenario_pipes(binary, workdir):
    """Standard input and output as pipes: line by line, and the end of input."""
    env = program_env()
    with open(os.devnull) as devnull:  # end of input at the first menu: ends with 0
        result = subprocess.run([binary], stdin=devnull, capture_output=True, env=env,
                                timeout=TIMEOUT)
    check(result.returncode == 0, "end of input at the menu: %d" % result.returncode)
    check(result.stdout.decode().endswith(OUTPUT_MENU), "stops at the menu")

    program = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env)
    try:
        text = b""

        def wait_for(needle, start=0):
            nonlocal text
            deadline = time.monotonic() + TIMEOUT
            while needle not in text[start:]:
                ready, _, _ = select.select([program.stdout], [], [], 0.5)
                if ready:
                    chunk = os.read(program.stdout.fileno(), 65536)
                    check(chunk, "output ended before %r" % needle)
                    text += chunk
                check(time.monotonic() < deadline, "no %r: output is not line by line" % needle)
            return text.index(needle, start) + len(needle)

        program.stdin.write(b"41")
        program.stdin.flush()
        at = wait_for(b"MIAM\nUNTRIG\n\nTRIG\n")
        program.stdin.write(b"4")
        program.stdin.close()  # end of input while playing: it plays on
        at = wait_for(b"VCA [10.000000][400.000000][0.000000] \n", at)
        wait_for(b"MIAM\nUNTRIG\n\nTRIG\n", at)
        program.terminate()
        check(program.wait(TIMEOUT) == -signal.SIGTERM, "SIGTERM ends it")
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()


def scenario_sound_play(binary, workdir):
    """Inside the null sink's environment: plays the first random pair through ALSA."""
    with Keysynth(binary, program_env(), workdir) as program:
        program.expect(OUTPUT_MENU, "output menu")
        program.wait_key_mode()
        program.send("1")  # no Direct Sound here: ALSA stays, its first driver is "default"
        program.expect(re.compile(re.escape(SEPARATOR + "Alsa Driver list\n" + SEPARATOR)
                                  + r"1 - default(?: \([^\n]*\))?\n"),
                       "ALSA driver list", exact=True)
        program.expect(PROMPT, "driver prompt")
        program.send("1")
        program.expect(re.compile(CLEAR + re.escape(HELP)), "help lines", exact=True)
        program.expect("MIAM\nUNTRIG\n\nTRIG\n", "the first random pair", exact=True)
        time.sleep(1.2)  # let the pair sound; the recording has it whatever the timing
        end_with_dot(program)


def fft(values):
    n = len(values)
    if n == 1:
        return [complex(values[0])]
    even, odd = fft(values[0::2]), fft(values[1::2])
    out = [0j] * n
    for k in range(n // 2):
        t = cmath.exp(-2j * math.pi * k / n) * odd[k]
        out[k], out[k + n // 2] = even[k] + t, even[k] - t
    return out


def strongest_pitches(samples, rate, count):
    """The `count` strongest spectral peaks (Hz) of a Hann-windowed block, each placed
    between its bins by a parabola through the log magnitudes."""
    n = len(samples)
    windowed = [s * (0.5 - 0.5 * math.cos(2 * math.pi * i / n)) for i, s in enumerate(samples)]
    power = [abs(c) + 1e-9 for c in fft(windowed)[: n // 2]]
    peaks = []
    for k in range(2, n // 2 - 1):
        if power[k] > power[k - 1] and power[k] >= power[k + 1]:
            a, b, c = (math.log(power[j]) for j in (k - 1, k, k + 1))
            shift = 0.5 * (a - c) / (a - 2 * b + c) if a - 2 * b + c else 0.0
            peaks.append((power[k], (k + shift) * rate / n))
    peaks.sort(reverse=True)
    return sorted(hz for _, hz in peaks[:count])


def played_stretches(samples, start, length):
    """The stretches of played sound from `start` on, split where the sink filled in
    silence (runs of exact zeros: the device ran short on a busy machine), up to
    `length` samples of sound in all."""
    stretches, current, total, zeros = [], [], 0, 0
    for s in samples[start:]:
        if s == 0:
            zeros += 1
            continue
        if zeros >= 8:
            if current:
                stretches.append(current)
            current = []
        elif zeros:
            current.extend([0] * zeros)
        zeros = 0
        current.append(s)
        total += 1
        if total >= length:
            break
    if current:
        stretches.append(current)
    return stretches


def scenario_sound(binary, workdir, support):
    recording = os.path.join(workdir, "recording.raw")
    # PulseAudio's client libraries, loaded through ALSA, are not instrumented: their own
    # locking would show as races to a ThreadSanitizer build.
    env = dict(os.environ)
    env["TSAN_OPTIONS"] = ":".join(filter(None, [
        env.get("TSAN_OPTIONS"), "suppressions=" + os.path.join(support, "tsan-pulse.supp")]))
    result = subprocess.run(
        [os.path.join(support, "pulse-null-sink.sh"), "--record", recording, "--",
         sys.executable, os.path.abspath(__file__), "--binary", binary,
         "--scenario", "sound_play"], env=env, timeout=5 * TIMEOUT)
    check(result.returncode == 0, "the run on ALSA failed: %d" % result.returncode)
    with open(recording, "rb") as f:
        data = f.read()
    frames = struct.unpack("<%dh" % (len(data) // 2), data[: len(data) // 4 * 4])
    left, right = frames[0::2], frames[1::2]
    check(left == right, "both channels carry the same samples")
    start = next((i for i, s in enumerate(left) if abs(s) > 500), None)
    check(start is not None, "the recording is silent")
    # The first note's first second, past its 45 ms attack, in blocks of one stretch each.
    stretches = played_stretches(left, start + 2205, 44100)
    blocks = [stretch[i: i + 4096] for stretch in stretches
              for i in range(0, len(stretch) - 4095, 4096)]
    if not blocks:  # a very busy machine: no long stretch, join them
        joined = [s for stretch in stretches for s in stretch]
        blocks = [joined[:4096]] if len(joined) >= 4096 else []
    check(blocks, "the first note is too short in the recording")
    pitches = [strongest_pitches(block, 44100, 2) for block in blocks]
    found = [sorted(p[i] for p in pitches)[len(pitches) // 2] for i in range(2)]  # medians
    wanted = [note_hz(54), note_hz(65)]  # the first pair of every run
    print("heard %s Hz in %d blocks, wanted %s Hz; stretches between gaps: %s"
          % (["%.2f" % f for f in found], len(blocks), ["%.2f" % w for w in wanted],
             [len(stretch) for stretch in stretches]))
    check(all(abs(f - w) < 4.0 for f, w in zip(found, wanted)),
          "heard %s Hz, wanted %s Hz" % (["%.1f" % f for f in found],
                                          ["%.1f" % w for w in wanted]))


ESCAPE_ROUNDS = 50


def scenario_escape_rounds(binary, workdir, seed):
    """ESC in the window at random moments while the stream plays, pressed alone or
    pressed and released: every round ends at once with 0 and gives the terminal back."""
    rng = random.Random(seed)
    print("seed %d (--seed %d repeats this run)" % (seed, seed), flush=True)
    began = time.monotonic()
    with Xvfb() as xvfb:
        env = program_env(xvfb.display)
        for number in range(ESCAPE_ROUNDS):
            delay = rng.uniform(0.0, 0.5)  # s after the first pair is seen
            release = rng.random() < 0.5
            what = "round %d, ESC %s %.3f s into the stream" % (
                number, "pressed and released" if release else "pressed", delay)
            with Keysynth(binary, env, workdir) as program:
                start_nosound(program, window_open=xvfb.focus)
                time.sleep(delay)
                xvfb.xdotool("key" if release else "keydown", "Escape")
                end = program.wait_end()
                if not release:  # the X server holds the key down until told otherwise
                    xvfb.xdotool("keyup", "Escape")
                check(end == "exited 0", "%s: ended %s" % (what, end))
                check("keysynth: no window" not in program.stderr(), what + ": no window")
                program.check_terminal_as_found()
    print("%d rounds in %.1f s" % (ESCAPE_ROUNDS, time.monotonic() - began))


class Piped:
    """keysynth with standard output on a pipe and standard input as given: "devnull",
    "closed" (no descriptor 0 at all) or "pipe" (self.stdin). Reading stops at a bound,
    so a flood of output fails instead of filling the disk."""

    LIMIT = 256 * 1024  # bytes; a normal run of these scenarios prints a few KiB

    def __init__(self, binary, env, workdir, stdin):
        self.stderr_path = os.path.join(workdir, "stderr.txt")
        inputs = {"devnull": subprocess.DEVNULL, "closed": None, "pipe": subprocess.PIPE}
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(
                [binary], stdin=inputs[stdin], stdout=subprocess.PIPE, stderr=stderr, env=env,
                preexec_fn=(lambda: os.close(0)) if stdin == "closed" else None)
        self.stdin = self.process.stdin
        self.text = ""
        self.eof = False

    def read_some(self, until):
        """Reads what comes before the time `until`; False once the output has ended."""
        left = until - time.monotonic()
        if self.eof or left <= 0:
            return not self.eof
        ready, _, _ = select.select([self.process.stdout], [], [], min(left, 0.5))
        if ready:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            self.eof = not chunk
            self.text += chunk.decode("latin-1")
            check(len(self.text) <= self.LIMIT, "a flood of output: %r" % self.text[-400:])
        return not self.eof

    def wait_for(self, needle, start=0):
        deadline = time.monotonic() + TIMEOUT
        while needle not in self.text[start:]:
            check(not self.eof, "output ended before %r: %r" % (needle, self.text[-400:]))
            check(time.monotonic() < deadline, "no %r within %.0f s" % (needle, TIMEOUT))
            self.read_some(deadline)
        return self.text.index(needle, start) + len(needle)

    def wait_end(self):
        """Reads to the end of the output and returns the exit code."""
        deadline = time.monotonic() + TIMEOUT
        while self.read_some(deadline):
            check(time.monotonic() < deadline, "no end within %.0f s: a hang" % TIMEOUT)
        code = self.process.wait(TIMEOUT)
        check_no_sanitizer_report(self.stderr())
        return code

    def stderr(self):
        with open(self.stderr_path, encoding="latin-1") as f:
            return f.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream:
                stream.close()


def scenario_closed_console(binary, workdir):
    """No console to read at a prompt: the end of input, or no standard input at all,
    ends the program as ESC does, with 0, right after the prompt and without a hang."""
    cases = [  # standard input, keys before its end, what the output ends with
        ("devnull", "", OUTPUT_MENU),
        ("closed", "", OUTPUT_MENU),
        ("pipe", "", OUTPUT_MENU),
        ("pipe", "4", OUTPUT_MENU + NOSOUND_DRIVERS),
        ("pipe", "4x9", OUTPUT_MENU + NOSOUND_DRIVERS),  # ignored keys, then the end
    ]
    for stdin, keys, expected in cases:
        what = "standard input %s after %r" % (stdin, keys)
        with Piped(binary, program_env(), workdir, stdin) as program:
            if program.stdin:
                program.stdin.write(keys.encode())
                program.stdin.close()
            code = program.wait_end()
            check(code == 0, "%s: exit code %d" % (what, code))
            patch = PATCH.match(program.text)
            check(patch and program.text[patch.end():] == expected,
                  "%s: the output is %r" % (what, program.text[-600:]))


def scenario_closed_console_playing(binary, workdir):
    """The end of input while playing: no more console keys, the sound plays on, no
    more output than the note cycle's lines, and ESC in the window still ends it."""
    with Xvfb() as xvfb, Piped(binary, program_env(xvfb.display), workdir, "pipe") as program:
        program.stdin.write(b"41")
        program.stdin.flush()
        at = program.wait_for("MIAM\nUNTRIG\n\nTRIG\n")
        program.stdin.write(b"4")
        program.stdin.close()
        at = program.wait_for("VCA [10.000000][400.000000][0.000000] \n", at)
        began = time.monotonic()
        until = began + 3.0  # longer than a note (about 1.86 s): the next pair comes
        while time.monotonic() < until:
            check(program.read_some(until), "the output ended: %r" % program.text[-400:])
        after = program.text[at:]
        lines = after.split("\n")[:-1]
        rate = len(lines) / (time.monotonic() - began)
        print("%d lines in 3 s after the end of input" % len(lines))
        check(rate < 100, "%.0f lines a second after the end of input" % rate)
        check(set(lines) <= {"MIAM", "UNTRIG", "", "TRIG"}, "other output: %r" % after[:400])
        check("MIAM\nUNTRIG\n\nTRIG\n" in after, "no next pair: it stopped playing")
        xvfb.focus()
        xvfb.xdotool("key", "Escape")
        code = program.wait_end()
        check(code == 0, "ESC after the end of input: exit code %d" % code)
        check(len(program.text) - at < 4096, "output after ESC: %r" % program.text[at:][-400:])


def scenario_no_sound_card(binary, workdir):
    """The system's own ALSA set-up with no sound card and no PulseAudio server: the
    default driver is listed but cannot start; two error reports and exit code 1."""
    with open(os.path.join(workdir, "client.conf"), "w") as f:
        f.write("autospawn = no\n")
    env = {k: v for k, v in program_env().items() if not k.startswith(("ALSA_", "PULSE_"))}
    env.update(PULSE_SERVER="unix:" + os.path.join(workdir, "no-server"),
               PULSE_CLIENTCONFIG=os.path.join(workdir, "client.conf"),
               XDG_RUNTIME_DIR=workdir, HOME=workdir)
    with Keysynth(binary, env, workdir) as program:
        expect_alsa_start_failure(
            program,
            re.compile(re.escape(SEPARATOR + "Alsa Driver list\n" + SEPARATOR)
                       + r"1 - default(?: \([^\n]*\))?\n"),
            only_default=False, what="no sound card")
        check(len(program.raw) < 16384, "%d bytes of output" % len(program.raw))
        program.check_terminal_as_found()


SCENARIOS = {
    "dialogue": scenario_dialogue,
    "window_keys": scenario_window_keys,
    "no_display": scenario_no_display,
    "escape_at_menu": scenario_escape_at_menu,
    "stream_failure": scenario_stream_failure,
    "sigint": signal_scenario(lambda p: p.send("\x03"), "signaled %d" % signal.SIGINT),
    "sigterm": signal_scenario(lambda p: os.kill(p.pid, signal.SIGTERM),
                               "signaled %d" % signal.SIGTERM),
    "sighup": signal_scenario(lambda p: os.kill(p.pid, signal.SIGHUP),
                              "signaled %d" % signal.SIGHUP),
    "suspend": scenario_suspend,
    "pipes": scenario_pipes,
    "closed_console": scenario_closed_console,
    "closed_console_playing": scenario_closed_console_playing,
    "no_sound_card": scenario_no_sound_card,
    "sound_play": scenario_sound_play,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--scenario", required=True,
                        choices=list(SCENARIOS) + ["sound", "escape_rounds"])
    parser.add_argument("--seed", type=int, default=random.randrange(2**32),
                        help="random moments of escape_rounds")
    parser.add_argument("--support", default=os.path.join(os.path.dirname(__file__), "..", "support"))
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    global WORKDIR
    workdir = WORKDIR = tempfile.mkdtemp(prefix="keysynth-e2e.")
    try:
        if args.scenario == "sound":
            scenario_sound(binary, workdir, os.path.abspath(args.support))
        elif args.scenario == "escape_rounds":
            scenario_escape_rounds(binary, workdir, args.seed)
        else:
            SCENARIOS[args.scenario](binary, workdir)
    except Failure as failure:
        print("FAIL %s: %s" % (args.scenario, failure))
        stderr = os.path.join(workdir, "stderr.txt")
        if os.path.exists(stderr):
            with open(stderr, encoding="latin-1") as f:
                print("program's stderr:\n" + f.read()[-3000:])
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("PASS %s" % args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
