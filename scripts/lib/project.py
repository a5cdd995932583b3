"""Shared by the Python scripts in scripts/: the checkout's root, the test harness on the import path, and the
package and build steps of common.sh."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests"))


def print_help(text):
    """Prints a --help text and exits 0, quietly also when the reader has gone (`| head`), as a shell script does."""
    try:
        print(text, flush=True)
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    sys.exit(0)


def common_sh(command, *arguments):
    """Runs a bash command after sourcing scripts/lib/common.sh ("$@" are `arguments`); exits when it fails."""
    result = subprocess.run(["bash", "-c", f'. scripts/lib/common.sh && {command}', "common.sh", *arguments],
                            cwd=ROOT)
    if result.returncode != 0:
        sys.exit(result.returncode)


def ensure_packages(*names):
    """Installs those of the Debian packages (or common.sh's lists, as "${BUILD_PACKAGES[@]}") that are missing."""
    common_sh(f"ensure_packages {' '.join(names)}")


def build_project(build_dir="build"):
    common_sh('build_project "$1"', build_dir)


def executable(path, what, build):
    """`path` as an absolute path; `build()` runs first when nothing is there to run. Exits when it stays missing."""
    path = os.path.join(ROOT, path)
    if not os.access(path, os.X_OK):
        build()
    if not os.access(path, os.X_OK):
        sys.exit(f"no {what} executable at {path}")
    return path
