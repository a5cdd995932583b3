"""Windows programs of the cross build (scripts/test --windows) under Wine.

A Wine prefix is a Windows user's world: its registry (the console's settings), its C: drive and, through
its wineserver, its network. Wine's server process creates the sockets, so a program on a host of the
virtual LAN needs a prefix of its own whose server starts in that host's namespace (the first Wine command of
the prefix, run there, starts it). Prefixes are copies of one made per build tree: creating one takes about
10 s, a copy of hard links a moment.

Wine hands the Unix environment to Windows programs except a few variables, among them those that begin
with QT_; it passes "WINE" + NAME on as NAME instead, which is how Qt's variables reach the programs here.

Run as a program, it is the cross build's test launcher (CMAKE_CROSSCOMPILING_EMULATOR):
    python3 -m harness.wine --qt QT_ROOT --prefix DIR run -- PROGRAM.exe ARGUMENTS...
runs the program in prefix DIR (made on first use) with the Qt of QT_ROOT and the MinGW runtime, offscreen,
and exits with its status. A Wine that does not start is a failure with its error.
"""

import argparse
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys

from harness.processes import environment

# Quiet Wine: no debug channels (and no hint about wine32), no offer to install Mono or Gecko.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# The MinGW-w64 runtime DLLs a cross-built program links (libstdc++, libgcc_s_seh, libwinpthread).
MINGW_RUNTIME_DIRS = ("/usr/lib/gcc/x86_64-w64-mingw32/12-posix", "/usr/x86_64-w64-mingw32/lib")
PACKAGES = {"wine": "wine", "wine64": "wine64"}


def windows_path(path):
    """A Unix path as Windows programs see it through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def check_wine():
    """Why Wine cannot run here, or None."""
    for tool in ("wine", "wineboot", "wineserver"):
        if shutil.which(tool) is None:
            return f"'{tool}' is missing (Debian packages wine and wine64)"
    return None


def _wine_env(prefix, extra=None):
    return environment({**WINE_ENV, "WINEPREFIX": prefix, **(extra or {})})


def make_template(path):
    """Creates the prefix that others are copied from, once; concurrent callers wait for the first. Raises
    RuntimeError with Wine's output when Wine fails."""
    if os.path.isfile(os.path.join(path, "system.reg")):
        return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.isfile(os.path.join(path, "system.reg")):
            return
        building = path + ".new"
        shutil.rmtree(building, ignore_errors=True)
        # No display: the prefix is made without a window.
        env = _wine_env(building, {"DISPLAY": None})
        result = subprocess.run(["wineboot", "-i"], env=env, capture_output=True, text=True, timeout=300)
        # The server writes the registry to disk as it exits.
        subprocess.run(["wineserver", "-w"], env=env, timeout=60)
        if result.returncode != 0 or not os.path.isfile(os.path.join(building, "system.reg")):
            raise RuntimeError(f"wineboot -i failed with status {result.returncode}: "
                               f"{(result.stdout + result.stderr).strip()[-2000:]}")
        os.rename(building, path)


def copy_prefix(template, path):
    """A prefix of its own at `path`, made of hard links to the template's files where the file system allows;
    the registry files, which Wine rewrites, are copied."""
    shutil.rmtree(path, ignore_errors=True)
    linked = subprocess.run(["cp", "-al", template, path], capture_output=True).returncode == 0
    if not linked:
        shutil.rmtree(path, ignore_errors=True)
        shutil.copytree(template, path, symlinks=True)
    for name in os.listdir(path):
        if name.endswith(".reg"):
            os.unlink(os.path.join(path, name))
            shutil.copy2(os.path.join(template, name), os.path.join(path, name))


class Prefix:
    """A Wine prefix for programs of the cross build. `qt` is the unpacked Qt (its DLLs, plugins and QML
    modules), None for a program that carries its own (an installed console)."""

    def __init__(self, path, qt=None):
        self.path = path
        self.qt = qt

    def environment(self, env=None):
        """The Unix environment for a Wine command of this prefix: `env` laid over this process's (None values
        unset), Qt's variables passed on as Wine passes them, and the DLLs found where they are. Qt logs to
        standard error, where the harness reads it: without a console window it would log to the debugger."""
        wanted = environment({"QT_FORCE_STDERR_LOGGING": "1", **WINE_ENV, **(env or {})})
        result = {key: value for key, value in wanted.items() if not key.startswith("QT_")}
        for key, value in wanted.items():
            if key.startswith("QT_"):
                result["WINE" + key] = value
        result["WINEPREFIX"] = self.path
        if self.qt:
            dll_dirs = [os.path.join(self.qt, "bin"), *MINGW_RUNTIME_DIRS]
            result["WINEPATH"] = ";".join(windows_path(d) for d in dll_dirs)
            result["WINEQT_PLUGIN_PATH"] = windows_path(os.path.join(self.qt, "plugins"))
            result["QML2_IMPORT_PATH"] = windows_path(os.path.join(self.qt, "qml"))
        return result

    def command(self, argv):
        return ["wine", *argv]

    def run(self, argv, env=None, timeout=60):
        """Runs a Windows program of this prefix to its end; returns the CompletedProcess (text output)."""
        return subprocess.run(self.command(argv), env=self.environment(env), capture_output=True, text=True,
                              timeout=timeout)

    def stop(self):
        """Ends the prefix's server and every program it runs."""
        with contextlib.suppress(OSError, subprocess.TimeoutExpired):
            subprocess.run(["wineserver", "-k"], env=_wine_env(self.path), capture_output=True, timeout=30)


def prefix_for_host(host, template, qt=None):
    """A prefix of its own for a host of the virtual LAN, copied from `template` into the LAN's folder; its
    server is ended when the LAN closes. Its first Wine command must run on the host (host.run, host.call)."""
    path = host.lan.temporary_directory(f"{host.name}-wine")
    copy_prefix(template, path)
    prefix = Prefix(path, qt)
    host.lan.on_close(prefix.stop)
    return prefix


def template_beside(prefix):
    """The template of the prefixes under the folder of `prefix`."""
    return os.path.join(os.path.dirname(os.path.abspath(prefix)), "template")


def main():
    parser = argparse.ArgumentParser(description="Runs a program of the Windows cross build under Wine.")
    parser.add_argument("--qt", required=True, help="the unpacked Qt for MinGW-w64")
    parser.add_argument("--prefix", required=True, help="the Wine prefix; made from the template beside it")
    parser.add_argument("action", choices=["run"])
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    reason = check_wine()
    if reason:
        print(f"FAILED: {reason}", file=sys.stderr)
        return 1
    prefix = Prefix(os.path.abspath(args.prefix), args.qt)
    try:
        if not os.path.isfile(os.path.join(prefix.path, "system.reg")):
            template = template_beside(prefix.path)
            make_template(template)
            with open(prefix.path + ".lock", "a") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                if not os.path.isfile(os.path.join(prefix.path, "system.reg")):
                    copy_prefix(template, prefix.path)
    except (RuntimeError, OSError, subprocess.TimeoutExpired) as error:
        print(f"FAILED: no Wine prefix: {error}", file=sys.stderr)
        return 1
    # Tests run offscreen, away from any display.
    env = prefix.environment({"DISPLAY": None})
    try:
        return subprocess.run(prefix.command(command), env=env).returncode
    except OSError as error:
        print(f"FAILED: cannot start Wine: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
