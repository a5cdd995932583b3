#pragma once

#include <QtGlobal>

// How one simulated kart drives: its lap time, where on the lap it starts and its engine's range.
struct KartProfile {
    qint64 lapMs = 42000;
    double startPhase = 0.0;  // position on the lap at time 0, 0 to 1
    int idleRpm = 3200;       // slowest corner
    int peakRpm = 9700;       // end of the longest straight
};

struct KartReading {
    int rpm = 0;
    int rssiDbm = 0;
};

// Position on the lap, 0 to 1, at `elapsedMs` after the start.
double lapPhase(const KartProfile &profile, qint64 elapsedMs);

// The kart's engine RPM and signal strength at `elapsedMs`. RPM follows the track (straights and
// corners), never exceeds `limit` (a limiter holds the engine just under it; 0 stops the engine), and
// RSSI falls as the kart drives away from the relay. `noise` (each -1 to 1) adds jitter.
KartReading readKart(const KartProfile &profile, qint64 elapsedMs, int limit, double rpmNoise, double rssiNoise);
