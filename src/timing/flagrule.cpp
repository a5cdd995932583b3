#include "flagrule.h"

#include "models/limitmodes.h"

namespace {

QString mappedMode(RaceFlag flag, const TimingFeedSettings &settings) {
    switch (flag) {
        case RaceFlag::Yellow: return settings.onYellow;
        case RaceFlag::Red: return settings.onRed;
        case RaceFlag::Finish: return settings.onFinish;
        case RaceFlag::Green: return settings.releaseOnGreen ? QStringLiteral("p100") : QString();
        case RaceFlag::None: break;
    }
    return QString();
}

}  // namespace

FlagDecision decideOnFlag(RaceFlag flag, const TimingFeedSettings &settings, const GlobalLimitInForce &inForce) {
    const QString mode = mappedMode(flag, settings);
    const auto rpm = rpmByLimitMode.constFind(mode);
    if (rpm == rpmByLimitMode.constEnd() || rpm.value() == inForce.rpm)
        return {};
    if (rpm.value() < inForce.rpm)
        return {FlagDecision::Choose, mode};
    if (!inForce.chosenByFeed)
        return {FlagDecision::PersonsLimitStands, mode};
    // The feed's own limit is lifted as far as the flag says, but not above what a person chose.
    const auto persons = rpmByLimitMode.constFind(inForce.personsMode);
    if (persons == rpmByLimitMode.constEnd() || persons.value() >= rpm.value())
        return {FlagDecision::Choose, mode};
    if (persons.value() == inForce.rpm)
        return {FlagDecision::PersonsLimitStands, mode};
    return {FlagDecision::Choose, inForce.personsMode};
}
