#pragma once

#include <QString>

#include "raceflag.h"
#include "timingfeedsettings.h"

// The global limit as the flag rule sees it.
struct GlobalLimitInForce {
    int rpm = 10000;
    bool chosenByFeed = false;
    QString personsMode;  // the last global limit a person chose; "" when none is known
};

// What a change of the race's flag does to the global limit. The operator stays in charge: a limit a person chose,
// or one whose source this console does not know, is only ever tightened; a limit a timing feed chose follows the
// flag, but never above the last limit a person chose. Green lifts only the feed's own limit.
struct FlagDecision {
    enum Kind { Nothing, Choose, PersonsLimitStands };
    Kind kind = Nothing;
    QString mode;  // Choose: the limit mode to choose; PersonsLimitStands: the one the flag maps to
};

FlagDecision decideOnFlag(RaceFlag flag, const TimingFeedSettings &settings, const GlobalLimitInForce &inForce);
