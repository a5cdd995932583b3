#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/. Run again after changing it; the seeds are checked in."""
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests'))
from harness.protocol import status_frame as status, transponder_frame as transponder  # noqa: E402


DATAGRAMS = {
    'transponder': transponder(1234, 5400, 10000, -60),
    'status': status(10000),
    'status_then_two': status(5000) + transponder(7, 3000, 2300, -70) + transponder(65535, 0, 0, 127),
    'stray_then_frame': b'\x01\xaa\x55' + transponder(3, 100, 10000, -128),
    'type2': transponder(9, 1, 1, 1, kind=2) + transponder(9, 1, 1, 1),
    'cut_frame': transponder(5, 5, 5, 5)[:22],
    'end_marker_at_18': transponder(0xDEAD, 0xADDE, 0xDEAD, 0)[:18] + b'\xde\xad' + b'\0\xde\xad',
    'ping': b'RERADOZ',
    'ping_then_frame': b'RERADOZ\0' + transponder(11, 2, 3, 4),
    'global_command': b'GLOBALRPMLIMIT:5000,-1',
    'transponder_command': b'TRANSPONDERRPMLIMIT:1234,2500',
    'app_global': b'{"appCommand":"globalRpmLimit","value":"p25"}',
    'app_transponder': b'{"appCommand":"transponderLimit","transponderId":1234,"value":"p50"}',
    'app_null': b'{"appCommand":null}',
    'no_command': b'{"value":"p25"}',
    'json_then_frame': b' \xef\xbb\xbf{"appCommand":1}\0' + transponder(1, 2, 3, 4),
    'json_array': b'[1,2]' + transponder(8, 8, 8, 8),
    'bad_utf8': b'{"appCommand":"\xff\xfe","value":"p0"}',
}

# Texts that start with a UTF-8 byte order mark: the text conversion drops one leading mark, so the first is a
# discovery ping (its scan skips seven bytes a step), the second, with two marks, is not.
BOM = b'\xef\xbb\xbf'
BOM_DATAGRAMS = {
    'bom_ping': BOM + b'RERADOZ',
    'bom_ping_then_frames': BOM + b'RERADOZ\0' + status(5000) + transponder(12, 3, 4, 5),
    'two_boms_ping_then_frame': BOM + BOM + b'RERADOZ\0' + transponder(13, 3, 4, 5),
    'bom_json': BOM + b'{"appCommand":"globalRpmLimit","value":"p50"}',
}


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def provider_string(text):
    """Bytes that FuzzedDataProvider::ConsumeRandomLengthString() reads back as `text`."""
    return text.replace(b'\\', b'\\\\') + b'\\\n'


def main():
    rng = random.Random(11309)
    for name, data in DATAGRAMS.items():
        write('fuzz_datagram_decoder', name, data)
    for name, data in BOM_DATAGRAMS.items():
        write('fuzz_datagram_decoder', name, data)
    # The live list's input is a run of operations read by FuzzedDataProvider; random bytes around real
    # datagrams give the fuzzer a start.
    for i, (name, data) in enumerate(sorted(DATAGRAMS.items())):
        ops = bytes(rng.randrange(256) for _ in range(rng.randrange(16, 96)))
        write('fuzz_live_list', 'ops_%02d' % i, data + ops)
    sample = open(os.path.join(HERE, 'seeds', 'zadar.conf'), 'rb').read()
    files = {
        'qt_written': sample,
        'empty': b'',
        'text_values': b'[rpmSettings]\np25RpmValue=abc\np50RpmValue=4294967295\n[transponders]\ntr0=1\ntr1=@Invalid()\n',
        'stray_keys': b'[transponders]\n' + b''.join(b'k%d=%d\n' % (i, i) for i in range(40)),
        'numbers': b'[rpmSettings]\np25RpmValue=@Variant(\\0\\0\\0\\x6@\\xa3\\x88\\0\\0\\0\\0\\0)\np50RpmValue= 2600 \n',
    }
    for name, text in files.items():
        for k in range(2):
            ops = bytes(rng.randrange(256) for _ in range(rng.randrange(8, 64)))
            write('fuzz_settings', '%s_%d' % (name, k), provider_string(text) + ops)


if __name__ == '__main__':
    main()
