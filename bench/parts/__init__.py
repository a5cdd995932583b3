"""The parts of the benchmark, in the order they run. Each part's modules have measure(settings), which runs the
measurement and returns a record of its figures; the record's rows() are its lines of the table."""

import dataclasses
import os

from parts import decoder, flood, incident, ingest, karts_in_sight, livelist, onair, record, screen, soak, timing

PARTS = {
    "decoder": (decoder,),
    "livelist": (livelist,),
    "incident": (incident,),
    "ingest": (ingest,),
    "screen": (screen,),
    "onair": (onair,),
    "flood": (flood, karts_in_sight),
    "record": (record,),
    "timing": (timing,),
    "soak": (soak,),
}


@dataclasses.dataclass(frozen=True)
class Settings:
    """What every part is given: the Release build (bench/run's build-bench/), whether this is a smoke run (a few
    seconds of each part, not judged) and the soak's length."""
    build_dir: str
    smoke: bool
    soak_minutes: float

    def executable(self, *path):
        return os.path.join(self.build_dir, *path)

    @property
    def console(self):
        return self.executable("src", "deviv_azeve")

    @property
    def probe(self):
        return self.executable("tests", "support", "deviv_azeve_probe")

    @property
    def simulator(self):
        return self.executable("tools", "retranslator-sim", "retranslator-sim")

    @property
    def flood_sender(self):
        return self.executable("tests", "e2e", "e2e_flood_sender")
