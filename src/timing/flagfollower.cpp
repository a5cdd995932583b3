#include "flagfollower.h"

#include "models/transponderslistmodel.h"
#include "timingfeed.h"

FlagFollower::FlagFollower(TimingFeed &feed, TranspondersListModel &liveList, QObject *parent)
    : QObject(parent), m_feed(feed), m_liveList(liveList) {
    connect(&feed, &TimingFeed::raceFlagChanged, this, &FlagFollower::followFlag);
    connect(&liveList, &TranspondersListModel::globalLimitApplied, this, &FlagFollower::globalLimitApplied);
}

void FlagFollower::linkStateChanged(const QJsonObject &state) {
    const QJsonValue limit = state.value(QStringLiteral("globalRPMLimit"));
    if (m_modeInForce.isEmpty() && limit.isDouble())
        m_inForce.rpm = limit.toInt();
}

void FlagFollower::followFlag(RaceFlag flag, const QString &runName) {
    const QString address = m_feed.address();
    emit flagChanged(flag, runName, address);
    const FlagDecision decision = decideOnFlag(flag, TimingFeedSettings::load(), m_inForce);
    if (decision.kind == FlagDecision::Choose)
        m_liveList.chooseGlobalLimit(decision.mode, {LimitSource::TimingFeed, address});
    else if (decision.kind == FlagDecision::PersonsLimitStands)
        emit personsLimitStands(flag, decision.mode, m_modeInForce, address);
}

void FlagFollower::globalLimitApplied(const QString &mode, int rpm, const LimitSource &source) {
    if (source.kind == LimitSource::OwnCommand)
        return;
    const QString before = feedLimitMode();
    m_modeInForce = mode;
    m_inForce.rpm = rpm;
    m_inForce.chosenByFeed = source.isTimingFeed();
    if (source.isPerson())
        m_inForce.personsMode = mode;
    if (feedLimitMode() != before)
        emit feedLimitModeChanged();
}
