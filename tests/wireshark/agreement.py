#!/usr/bin/env python3
"""Checks that the Wireshark dissector (tools/wireshark/deviv.lua) reads datagrams as the console does.

The same datagrams go through the console's decoder (decode_capture, which links the console's core library)
and through tshark with the dissector; both print what they find, one line per status frame, transponder
frame and application command, and the lines must be the same, datagram by datagram. The datagrams: the fuzz
corpus of the decoder, seeded random datagrams built to hit the decoding rules' corners, and captures given
with --capture (the shipped sample, recorded live on the end-to-end network), each also converted to pcapng.

Exits 1 on any disagreement, or when tshark is missing (it is a build dependency of the tests, not optional).
"""

import argparse
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from harness.protocol import status_frame as status, transponder_frame as transponder  # noqa: E402

PORT = 11309
BOM = b"\xef\xbb\xbf"
PLAIN = re.compile(r"[A-Za-z0-9_.:+-]+")
FIELDS = ["frame.number", "deviv.kind", "deviv.frame.length", "deviv.frame.type", "deviv.status.global_limit",
          "deviv.transponder.id", "deviv.transponder.rpm", "deviv.transponder.limit", "deviv.transponder.rssi",
          "deviv.app.command", "deviv.app.value", "deviv.app.transponder_id", "_ws.expert.message"]
KIND_APP = "3"


def write_pcap(path, payloads):
    """A classic pcap of Ethernet broadcasts from 10.0.0.1:11309 to port 11309, one datagram per payload."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 1))
        for number, payload in enumerate(payloads):
            udp = struct.pack(">HHHH", PORT, PORT, 8 + len(payload), 0) + payload
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), number & 0xFFFF, 0x4000, 64, 17, 0,
                             bytes([10, 0, 0, 1]), bytes([10, 0, 0, 255])) + udp
            frame = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01" + b"\x08\x00" + ip
            out.write(struct.pack("<IIII", 1700000000 + number // 1000, number % 1000 * 1000, len(frame), len(frame)))
            out.write(frame)


# ---- Random datagrams -------------------------------------------------------------------------------------

def random_frame(rng):
    kind = rng.random()
    if kind < 0.45:
        frame = transponder(rng.randrange(65536), rng.randrange(65536), rng.randrange(65536), rng.randrange(-128, 128),
                            kind=rng.choice([1, 1, 1, 4, 2]))
    else:
        frame = status(rng.randrange(65536), kind=rng.choice([4, 4, 4, 1, 0]))
    if rng.random() < 0.15:  # an end marker at 18 inside a 23-byte frame, or a marker in the middle
        position = rng.choice([18, 10, 21, 5])
        frame = frame[:position] + rng.choice([b"\xde\xad", b"\xaa\x55"]) + frame[position + 2:]
    if rng.random() < 0.1:
        frame = frame[:rng.randrange(len(frame))]
    return frame


def random_bytes(rng, size):
    alphabet = b"\x00\xaa\x55\xde\xad\x01\x04{}\"\\ \xef\xbb\xbfRERADOZ"
    return bytes(rng.choice(alphabet) if rng.random() < 0.5 else rng.randrange(256) for _ in range(size))


def random_frames(rng):
    parts = []
    for _ in range(rng.randrange(1, 6)):
        if rng.random() < 0.3:
            parts.append(random_bytes(rng, rng.randrange(1, 8)))
        parts.append(random_frame(rng))
    return b"".join(parts)


# Most JSON pieces are well formed, so that whole objects often are; the rest are the parser's corner cases.
GOOD_NUMBERS = [b"0", b"-0", b"1234", b"-17", b"1.0", b"1e2", b"1E+2", b"1e-2", b"2147483648", b"-2147483648",
                b"1.5", b"4e9", b"9223372036854775807", b"-9223372036854775808", b"99999999999999999999"]
ODD_NUMBERS = [b"1.", b".5", b"-.5", b"01", b"1e", b"-", b".", b"1e400", b"1e-400", b"0e-400", b"3e-324",
               b"2e-324", b"9223372036854775808", b"1" * 400, b"0.0e400", b"-01"]
GOOD_STRING_PIECES = [b"p25", b"globalRpmLimit", b"transponderLimit", b"\\u0061", b"\\\"", b"\\\\", b"\\n",
                      b"\\u00e9", b"\\ud83d\\ude00", b"\xc3\xa9", b"a,b", b"\\/", b"p 50"]
ODD_STRING_PIECES = [b"", b"\\q", b"\\ud800", b"\\u00", b"\\uzzzz", b"\xff", b"\x01", b"\\\xc3\xa9", b"\\u0000",
                     b"\t", b"\x80\x80", b"\\\x01", BOM]


def pick(rng, good, odd, odd_share=0.15):
    return rng.choice(odd if rng.random() < odd_share else good)


def json_number(rng):
    return pick(rng, GOOD_NUMBERS, ODD_NUMBERS)


def json_string(rng):
    return b'"' + b"".join(pick(rng, GOOD_STRING_PIECES, ODD_STRING_PIECES)
                           for _ in range(rng.randrange(0, 3))) + b'"'


def json_key(rng):
    return pick(rng, [b'"appCommand"', b'"value"', b'"transponderId"', b'"other"'],
                [b'"app\\u0043ommand"', b'"\\appCommand"', b'"appcommand"', b'"appCommand\\u0000"', b'"\xef\xbb\xbfappCommand"',
                 json_string(rng)])


def json_value(rng, depth=0):
    choice = rng.random()
    if choice < 0.35:
        return json_string(rng)
    if choice < 0.6:
        return json_number(rng)
    if choice < 0.75:
        return pick(rng, [b"null", b"true", b"false"], [b"nul", b"True", b"nulll"])
    if depth > 3:
        return b"1"
    if choice < 0.88:
        return json_object(rng, depth + 1)
    items = [json_value(rng, depth + 1) for _ in range(rng.randrange(0, 4))]
    return b"[" + b",".join(items) + pick(rng, [b"]"], [b",]", b""])


def space(rng):
    return pick(rng, [b"", b"", b" ", b"\n\t", b"\r"], [b"\x0b", b"\x0c", b"\xc2\xa0"], 0.05)


APP_COMMAND_KEYS = {b'"appCommand"', b'"app\\u0043ommand"', b'"\\appCommand"'}


def json_object(rng, depth=0):
    pairs = [(json_key(rng), json_value(rng, depth)) for _ in range(rng.randrange(0, 4))]
    if depth == 0 and rng.random() < 0.7:
        pairs.insert(rng.randrange(len(pairs) + 1), (b'"appCommand"', json_value(rng, depth)))
    # Of equal keys the last wins. Qt 5.15's parser leaks the value it drops when that is an array or object,
    # which would fail the sanitizer run; the dropped ones are plain values here.
    def same(key):
        return b"appCommand" if key in APP_COMMAND_KEYS else key
    for i, (key, value) in enumerate(pairs):
        if any(same(later) == same(key) for later, _ in pairs[i + 1:]) and value[:1] in (b"[", b"{"):
            pairs[i] = (key, json_number(rng))
    members = [space(rng) + key + space(rng) + pick(rng, [b":"], [b"", b"::", b"="], 0.03) + space(rng) + value +
               space(rng) for key, value in pairs]
    return b"{" + pick(rng, [b","], [b",,", b" , "], 0.03).join(members) + pick(rng, [b"}"], [b",}", b""], 0.05)


def random_json(rng):
    text = pick(rng, [b"", b"", b" ", b"\r\n"], [BOM, BOM + BOM, BOM * 3, b" " + BOM, BOM + b" " + BOM], 0.3) + \
        json_object(rng) + pick(rng, [b"", b" \r\n"], [b" x", b"{}", b"\x80", b"\xef\xbb\xbf"], 0.2)
    if rng.random() < 0.3:
        text += b"\x00" + random_frames(rng)
    return text


def random_text(rng):
    word = rng.choice([b"GLOBALRPMLIMIT", b"TRANSPONDERRPMLIMIT", b"RERADOZ", BOM + b"RERADOZ"])
    if word.endswith(b"RERADOZ"):
        text = word + rng.choice([b"", b"", b"\x00", b"X", b"\x00\x00"])
    else:
        text = word + b":" + rng.choice([b"5000", b"-1", b"01", b"x", b"99999999999"]) + \
            rng.choice([b",-1", b",2300", b"", b",1,2"])
    if rng.random() < 0.6:
        text += b"\x00" * rng.randrange(0, 2) + random_frames(rng)
    return text


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        position = rng.randrange(len(data) + 1)
        action = rng.random()
        if action < 0.4 and data:
            data[min(position, len(data) - 1)] = rng.randrange(256)
        elif action < 0.7:
            data[position:position] = rng.choice([b"\xaa\x55", b"\xde\xad", b"\x00", b"{", b'"', b"\\", BOM])
        elif data:
            del data[min(position, len(data) - 1)]
    return bytes(data)


def nesting(depth, opening=b"[", closing=b"]"):
    return b'{"appCommand":' + opening * (depth - 1) + b"1" + closing * (depth - 1) + b"}"


def random_datagrams(count, seed):
    rng = random.Random(seed)
    makers = [random_frames, random_json, random_json, random_text,
              lambda r: random_bytes(r, r.randrange(1, 120))]
    datagrams = []
    while len(datagrams) < count:
        data = rng.choice(makers)(rng)
        if rng.random() < 0.3:
            data = mutate(rng, data)
        if data:
            datagrams.append(data)
    # The nesting limit, from both sides, and datagrams of the largest size.
    datagrams += [nesting(1024), nesting(1025), nesting(1024, b'{"a":', b"}"), nesting(1025, b'{"a":', b"}")]
    datagrams += bom_ping_datagrams(rng)
    for size in (8000, 65507):
        datagrams.append(b"".join(random_frames(rng) for _ in range(size // 40))[:size])
    datagrams.append(b" " * 65000 + b'{"appCommand":"p50"}')
    return datagrams


def bom_ping_datagrams(rng):
    """The discovery word behind a byte order mark, which the text conversion drops: a ping, frames after it."""
    datagrams = [BOM + b"RERADOZ"]
    for offset in range(11, 11 + 24):
        datagrams.append(BOM + b"RERADOZ\x00" + b"\x01" * (offset - 11) + transponder(1000 + offset, 3000, 10000, -60))
    return datagrams + [BOM + b"RERADOZ\x00" + random_frames(rng) for _ in range(40)]


# ---- Both readings ----------------------------------------------------------------------------------------

def console_reading(decoder, capture):
    result = subprocess.run([decoder, capture], capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        raise SystemExit(f"decode_capture failed: {result.stderr.strip()}")
    found = {}
    for line in result.stdout.splitlines():
        packet, thing = line.split(" ", 1)
        found.setdefault(int(packet), []).append(thing)
    count = int(re.search(r"datagrams (\d+)", result.stderr).group(1))
    return found, count


def plain(text):
    if text == "":
        return "-"
    return text if PLAIN.fullmatch(text) else "~"


def dissector_reading(tshark, dissector, capture):
    # Only the dissector under test, not one that a package put in the global plugin folder: tshark ignores
    # WIRESHARK_PLUGIN_DIR when started by root, so as root it runs as nobody, on copies it may read.
    private = tempfile.mkdtemp(prefix="deviv-tshark-")
    home = os.path.join(private, "home")
    os.makedirs(home)
    dissector = shutil.copy(dissector, private)
    capture = shutil.copy(capture, private)
    env = {**os.environ, "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
           "WIRESHARK_PLUGIN_DIR": os.path.join(private, "no-plugins")}
    command = [tshark, "-n", "-X", f"lua_script:{dissector}", "-r", capture, "-T", "fields", "-E", "separator=/t",
               "-E", "occurrence=a", "-E", "aggregator=,"]
    if os.geteuid() == 0:
        for path in (private, dissector, capture):
            os.chmod(path, 0o755)
        shutil.chown(home, "nobody")
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command]
    for field in FIELDS:
        command += ["-e", field]
    result = subprocess.run(command, env=env, capture_output=True, timeout=600)
    errors = result.stderr.decode(errors="replace")
    shutil.rmtree(private, ignore_errors=True)
    if result.returncode != 0 or "Lua" in errors or "rror" in errors:
        raise SystemExit(f"tshark failed ({result.returncode}): {errors.strip()}")
    found, count = {}, 0
    for line in result.stdout.decode("utf-8", errors="replace").split("\n"):
        values = dict(zip(FIELDS, line.split("\t")))
        if "Lua Error" in values.get("_ws.expert.message", ""):
            raise SystemExit(f"the dissector failed on packet {values['frame.number']}: {values['_ws.expert.message']}")
        if not values.get("deviv.kind"):
            continue
        count += 1
        packet = int(values["frame.number"])
        things = []
        if values["deviv.kind"] == KIND_APP:
            things.append(f"app {plain(values['deviv.app.command'])} {plain(values['deviv.app.value'])} "
                          f"{values['deviv.app.transponder_id'] or '-'}")

        def column(name):
            return values[name].split(",") if values[name] else []
        lengths, types = column("deviv.frame.length"), column("deviv.frame.type")
        limits = iter(column("deviv.status.global_limit"))
        reports = zip(*(iter(column(f"deviv.transponder.{n}")) for n in ("id", "rpm", "limit", "rssi")))
        reports = iter(list(reports))
        for length, kind in zip(lengths, types):
            if (length, kind) == ("20", "4"):
                things.append(f"status {next(limits)}")
            elif (length, kind) == ("23", "1"):
                things.append("transponder " + " ".join(next(reports)))
        if things:
            found[packet] = things
    return found, count


def compare(name, decoder, tshark, dissector, capture):
    console, console_count = console_reading(decoder, capture)
    dissected, dissected_count = dissector_reading(tshark, dissector, capture)
    differing = sorted(p for p in set(console) | set(dissected) if console.get(p) != dissected.get(p))
    things = sum(len(v) for v in console.values())
    kinds = {kind: sum(t.split()[0] == kind for v in console.values() for t in v)
             for kind in ("status", "transponder", "app")}
    print(f"{name}: {console_count} datagrams (tshark dissected {dissected_count}), {things} things found "
          f"({kinds['status']} status, {kinds['transponder']} transponder, {kinds['app']} app); "
          f"{len(differing)} disagreements", flush=True)
    for packet in differing[:10]:
        print(f"  packet {packet}:\n    console:   {console.get(packet)}\n    dissector: {dissected.get(packet)}",
              flush=True)
    return len(differing) == 0 and console_count == dissected_count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--decoder", required=True, help="the decode_capture executable")
    parser.add_argument("--dissector", required=True, help="tools/wireshark/deviv.lua")
    parser.add_argument("--corpus", help="a folder of datagrams, one a file")
    parser.add_argument("--capture", action="append", default=[], help="a capture of port 11309 (repeatable)")
    parser.add_argument("--random", type=int, default=0, help="how many random datagrams")
    parser.add_argument("--seed", type=int, default=11309)
    parser.add_argument("--keep", help="write the generated capture here too, for looking at a failure")
    args = parser.parse_args()

    tshark = shutil.which("tshark")
    if tshark is None:
        print("FAILED: tshark is missing; install the Debian package tshark (scripts/test installs it)")
        return 1
    work = tempfile.mkdtemp(prefix="deviv-agreement-")
    try:
        generated = []
        if args.corpus:
            for name in sorted(os.listdir(args.corpus)):
                with open(os.path.join(args.corpus, name), "rb") as f:
                    generated.append(f.read())
        generated += random_datagrams(args.random, args.seed)
        inputs = []
        if generated:
            path = os.path.join(work, "generated.pcap")
            write_pcap(path, generated)
            if args.keep:
                shutil.copyfile(path, args.keep)
            inputs.append(("corpus and random datagrams", path))
        for capture in args.capture:
            inputs.append((os.path.basename(capture), capture))
            converted = os.path.join(work, os.path.basename(capture) + ".pcapng")
            subprocess.run([tshark, "-n", "-r", capture, "-w", converted, "-F", "pcapng"], check=True,
                           capture_output=True, env={**os.environ, "HOME": work})
            inputs.append((os.path.basename(converted), converted))
        ok = all([compare(name, args.decoder, tshark, args.dissector, path) for name, path in inputs])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("agreement: " + ("all readings agree" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
