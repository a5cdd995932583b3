#include "kartmodel.h"

#include <QtMath>

double lapPhase(const KartProfile &profile, qint64 elapsedMs) {
    const qint64 lapMs = qMax<qint64>(1, profile.lapMs);
    const double phase = profile.startPhase + double(elapsedMs % lapMs) / double(lapMs);
    return phase - std::floor(phase);
}

KartReading readKart(const KartProfile &profile, qint64 elapsedMs, int limit, double rpmNoise, double rssiNoise) {
    const double phase = lapPhase(profile, elapsedMs);
    constexpr double turn = 2.0 * M_PI;

    // Four straights of different lengths per lap; 0 in the slowest corner, 1 at the fastest point.
    const double track = 0.5 + 0.32 * std::sin(turn * 4.0 * phase) + 0.18 * std::sin(turn * 7.0 * phase + 1.3);
    const double throttle = qBound(0.0, track + 0.03 * rpmNoise, 1.0);
    int rpm = profile.idleRpm + int((profile.peakRpm - profile.idleRpm) * throttle);

    if (limit <= 0) {
        rpm = 0;
    } else if (rpm > limit) {
        // On the limiter the engine hovers just below the cut.
        rpm = limit - int(60.0 + 60.0 * rpmNoise);
    }
    rpm = qBound(0, rpm, qMax(0, limit));

    // The relay stands at the start line: weakest signal half a lap away.
    const double distance = 0.5 - 0.5 * std::cos(turn * phase);
    const int rssi = int(std::lround(-47.0 - 38.0 * distance + 3.0 * rssiNoise));
    return {rpm, qBound(-110, rssi, -30)};
}
