"""The console protocol's datagrams as bytes, for the Python tests, benchmarks and seed writers: the frames a
relay sends and the texts consoles send. Every Python script builds its datagrams here."""

import json
import struct

EXCHANGE_PORT = 11309
DISCOVERY_WORD = b"RERADOZ"
START_MARKER = b"\xaa\x55"
END_MARKER = b"\xde\xad"
STATUS_TYPE = 4
TRANSPONDER_TYPE = 1
STATUS_FRAME_SIZE = 20
TRANSPONDER_FRAME_SIZE = 23
UNLIMITED_RPM = 10000


def transponder_frame(transponder_id, rpm, limit, rssi, kind=TRANSPONDER_TYPE):
    """23 bytes: id, RPM and the limit in force as little-endian 16-bit words, RSSI (dBm) as a signed byte."""
    return (START_MARKER + bytes([kind]) + struct.pack("<HHH", transponder_id, rpm, limit) + b"\0\0\0"
            + struct.pack("<b", rssi) + b"\0" * 8 + END_MARKER)


def parse_transponder_frame(data):
    """(id, rpm, limit, rssi) of a datagram that is one transponder frame, or None for any other datagram."""
    if len(data) != TRANSPONDER_FRAME_SIZE or not data.startswith(START_MARKER) or data[2] != TRANSPONDER_TYPE \
            or not data.endswith(END_MARKER):
        return None
    return (*struct.unpack("<HHH", data[3:9]), struct.unpack("<b", data[12:13])[0])


def status_frame(global_limit, kind=STATUS_TYPE):
    """20 bytes: the relay's global RPM limit as a little-endian 16-bit word at offset 10."""
    return START_MARKER + bytes([kind]) + b"\0" * 7 + struct.pack("<H", global_limit) + b"\0" * 6 + END_MARKER


def global_limit_command(limit):
    return b"GLOBALRPMLIMIT:%d,-1" % limit


def transponder_limit_command(transponder_id, limit):
    return b"TRANSPONDERRPMLIMIT:%d,%d" % (transponder_id, limit)


def app_command(command, value, transponder_id=None):
    """An application command as consoles send it: compact JSON."""
    fields = {"appCommand": command}
    if transponder_id is not None:
        fields["transponderId"] = transponder_id
    fields["value"] = value
    return json.dumps(fields, separators=(",", ":")).encode()


def parse_transponder_limit_command(data):
    """(id, limit) of a "TRANSPONDERRPMLIMIT:id,limit" datagram, or None for any other datagram."""
    prefix = b"TRANSPONDERRPMLIMIT:"
    if not data.startswith(prefix):
        return None
    transponder_id, _, limit = data[len(prefix):].partition(b",")
    return int(transponder_id), int(limit)
