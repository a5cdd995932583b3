"""The decoder (bench_decoder): one transponder datagram beside a memcpy of its bytes, 64 KiB of back-to-back
frames, and 64 KiB of noise beside memchr over the same bytes."""

import dataclasses

import googlebenchmark
from googlebenchmark import Benchmark
from harness.processes import log
from table import Row


@dataclasses.dataclass
class DecoderFigures:
    transponder: Benchmark
    copy: Benchmark
    packed: Benchmark
    noise: Benchmark
    memchr: Benchmark
    start_bytes: Benchmark

    def rows(self):
        allocations = max(b.allocations for b in (self.transponder, self.packed, self.noise))
        memchr = self.memchr.bytes_per_second
        return [
            Row("Decoder: one 23-byte transponder datagram (debug log off)",
                f"{self.transponder.nanoseconds:.1f} ns{self.transponder.cv_text()}",
                f"{self.transponder.nanoseconds / self.copy.nanoseconds:.1f} x memcpy of 23 B "
                f"({self.copy.nanoseconds:.2f} ns)"),
            Row("Decoder: heap allocations per binary datagram", f"{allocations:g}", "allocations per datagram",
                "decoder allocations", allocations),
            Row("Decoder: 64 KiB datagram of back-to-back frames",
                f"{self.packed.items_per_second / 1e6:.0f} M frames/s{self.packed.cv_text()}",
                f"{self.packed.bytes_per_second / 1e9:.2f} GB/s"),
            Row("Decoder: 64 KiB datagram of noise", f"{self.noise.bytes_per_second / 1e9:.1f} GB/s{self.noise.cv_text()}",
                f"{self.noise.bytes_per_second / memchr:.2f} x memchr ({memchr / 1e9:.1f} GB/s)", "decoder scan",
                self.noise.bytes_per_second / 1e6),
            Row("Decoder: 64 KiB of 0xAA bytes (worst case)",
                f"{self.start_bytes.bytes_per_second / 1e9:.2f} GB/s{self.start_bytes.cv_text()}",
                f"{self.start_bytes.bytes_per_second / memchr:.3f} x memchr", "decoder scan",
                self.start_bytes.bytes_per_second / 1e6),
        ]


def measure(settings):
    log("decoder")
    results = googlebenchmark.run(settings.executable("bench", "bench_decoder"), settings.smoke)
    return DecoderFigures(*(results[f"BM_{name}"] for name in (
        "DecodeTransponderDatagram", "CopyTransponderDatagram", "DecodePackedFrames64K", "DecodeNoise64K",
        "MemchrNoise64K", "DecodeStartBytes64K")))
