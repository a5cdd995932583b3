"""Programs started by the harness: their output as timed lines, and stopping them on every way out."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import threading
import time


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def install_signal_cleanup():
    """Turns SIGTERM and SIGHUP into SystemExit so that context managers clean up."""
    def handler(signum, _frame):
        raise SystemExit(128 + signum)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, handler)


def wait_until(check, timeout, failure, interval=0.05):
    """Calls check() until it returns something other than None and returns that. After `timeout` seconds raises
    AssertionError with `failure`, or with failure() when it is a function (the message of the last state)."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value is not None:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(failure() if callable(failure) else failure)
        time.sleep(interval)


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def environment(extra):
    """This process's environment with `extra` laid over it; a value of None removes the variable."""
    env = dict(os.environ)
    for key, value in (extra or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


class Process:
    """A program in a session of its own. By default its standard output and error are collected as timed lines
    (and written to a log file); `capture=False` discards them, so that a measured program does not pay for a
    reader; `terminal=True` leaves it this process's terminal, for a program the user talks to."""

    def __init__(self, name, argv, env, log_dir, stdin=False, capture=True, terminal=False):
        self.name = name
        self._lines = []  # (monotonic time, text)
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self.log_path = os.path.join(log_dir, f"{name}.log") if log_dir else os.devnull
        self._log = open(self.log_path, "w", encoding="utf-8", errors="replace")
        self._log.write(f"$ {' '.join(argv)}\n")
        self._log.flush()
        if terminal:
            streams = {}
        else:
            streams = {"stdin": subprocess.PIPE if stdin else subprocess.DEVNULL,
                       "stdout": subprocess.PIPE if capture else subprocess.DEVNULL, "stderr": subprocess.STDOUT}
        self.popen = subprocess.Popen(argv, env=env, start_new_session=True, **streams)
        self.started_at = time.monotonic()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.popen.stdout or ():
            text = raw.decode("utf-8", errors="replace").rstrip("\n")
            now = time.monotonic()
            with self._changed:
                self._lines.append((now, text))
                self._log.write(f"{now - self.started_at:9.3f} {text}\n")
                self._changed.notify_all()
        with self._changed:
            self._log.flush()
            self._changed.notify_all()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def mark(self):
        """A position in the output; pass it as `since` to look only at later lines."""
        with self._lock:
            return len(self._lines)

    def lines(self, since=0):
        with self._lock:
            return [text for _, text in self._lines[since:]]

    def timed_lines(self, since=0):
        with self._lock:
            return list(self._lines[since:])

    def matches(self, pattern, since=0):
        expression = re.compile(pattern)
        return [(t, m) for t, text in self.timed_lines(since) if (m := expression.search(text))]

    def wait_for(self, pattern, timeout=10.0, since=0, count=1):
        """Waits until `count` lines after `since` match; returns the (time, match) pairs or raises."""
        expression = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [(t, m) for t, text in self._lines[since:] if (m := expression.search(text))]
                if len(found) >= count:
                    return found[:count]
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.popen.poll() is not None and not self._reader.is_alive()):
                    tail = "\n".join(text for _, text in self._lines[-25:])
                    raise AssertionError(
                        f"{self.name}: {len(found)} of {count} lines matching {pattern!r} within {timeout} s "
                        f"(running: {self.running()}); last lines:\n{tail}")
                self._changed.wait(min(remaining, 0.2))

    def send_line(self, text):
        self.popen.stdin.write(text.encode() + b"\n")
        self.popen.stdin.flush()

    def stop(self, timeout=5.0, sig=signal.SIGTERM):
        """Ends the process and what it started in its session (signal, then SIGKILL after `timeout`); returns
        its exit status."""
        if self.popen.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.popen.pid, sig)
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.popen.pid, signal.SIGKILL)
                self.popen.wait()
        self._reader.join(2)
        for stream in (self.popen.stdin, self.popen.stdout):
            if stream:
                with contextlib.suppress(OSError):
                    stream.close()
        with self._lock:
            if not self._log.closed:
                self._log.close()
        return self.popen.returncode

    def wait(self, timeout):
        """The exit status, or None when the process still runs after `timeout` seconds."""
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        return "\n".join(self.lines())
