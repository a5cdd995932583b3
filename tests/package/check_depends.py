#!/usr/bin/env python3
"""Checks that an installed package declares what its running program needs.

Usage: check_depends.py PACKAGE MAPPED_FILES

MAPPED_FILES lists the files that the running program had mapped (the paths of /proc/PID/maps, one a line).
Every one of them that an installed Debian package owns must belong to PACKAGE's dependency closure, to an
essential package, or to a package that only an optional Qt plugin brought in: Qt loads every image format,
icon engine, platform theme and input context plugin that happens to be installed, and the program works
without them. Exits 1 and names the packages missing from the dependencies otherwise.
"""
import glob
import os
import subprocess
import sys

# Qt plugin folders whose plugins Qt loads when present but does not need.
OPTIONAL_PLUGIN_DIRS = ("imageformats", "iconengines", "platformthemes", "platforminputcontexts")
# Libraries that Qt opens with dlopen() when they are installed, and does without otherwise.
OPTIONAL_LIBRARIES = {
    "libxcursor1": "the xcb platform plugin uses libXcursor for cursor themes when it is there",
}


def file_owners():
    owners = {}
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        package = os.path.basename(listing)[: -len(".list")].split(":")[0]
        with open(listing, encoding="utf-8", errors="replace") as f:
            for line in f:
                owners.setdefault(line.rstrip("\n"), set()).add(package)
    return owners


def dependency_closure(packages):
    if not packages:
        return set()
    out = subprocess.run(
        ["apt-cache", "depends", "--recurse", "--installed", "--no-recommends", "--no-suggests",
         "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances", *sorted(packages)],
        check=True, capture_output=True, text=True).stdout
    return {line.strip().split(":")[0] for line in out.splitlines() if line and not line[0].isspace()}


def essential_packages():
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\t${Essential}\n"], check=True,
                         capture_output=True, text=True).stdout
    return {name for name, essential in (line.split("\t") for line in out.splitlines()) if essential == "yes"}


def main():
    package, mapped_list = sys.argv[1], sys.argv[2]
    with open(mapped_list) as f:
        mapped = sorted({line.strip() for line in f if line.startswith("/")})
    owners = file_owners()

    def owner_of(path):
        # On a merged /usr the packages may list /lib/... for what the program maps as /usr/lib/...
        for candidate in (path, path[len("/usr"):] if path.startswith("/usr/") else None):
            if candidate and candidate in owners:
                return owners[candidate]
        return set()

    owned = {path: owner_of(path) for path in mapped}
    plugin_packages = {pkg for path, pkgs in owned.items() for pkg in pkgs
                       if any(f"/qt5/plugins/{d}/" in path for d in OPTIONAL_PLUGIN_DIRS)}
    declared = dependency_closure({package})
    allowed = declared | essential_packages() | set(OPTIONAL_LIBRARIES)
    allowed |= dependency_closure(plugin_packages - declared)

    missing = {}
    for path, pkgs in owned.items():
        if pkgs and not pkgs & allowed:
            missing.setdefault(", ".join(sorted(pkgs)), path)
    unowned = sum(1 for pkgs in owned.values() if not pkgs)
    print(f"{len(mapped)} files mapped, {len(mapped) - unowned} of them from {len(declared)} packages in the "
          f"dependency closure of {package} or allowed; {unowned} belong to no package (caches)")
    for pkgs, path in sorted(missing.items()):
        print(f"not declared: {pkgs} (for {path})")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
