#pragma once

#include <QJsonObject>
#include <QObject>

#include "flagrule.h"
#include "models/limitsource.h"

class TimingFeed;
class TranspondersListModel;

// Turns the timing feed's flag changes into global limits, by the flag rule, through the live list's one path for
// global limits; keeps what the rule needs to know: the limit in force, who chose it, and the last one a person chose.
class FlagFollower : public QObject {
    Q_OBJECT
    // The global limit mode in force when the timing feed chose it, "" otherwise: the main screen shows why karts are
    // limited.
    Q_PROPERTY(QString feedLimitMode READ feedLimitMode NOTIFY feedLimitModeChanged)

public:
    FlagFollower(TimingFeed &feed, TranspondersListModel &liveList, QObject *parent = nullptr);

    QString feedLimitMode() const { return m_inForce.chosenByFeed ? m_modeInForce : QString(); }

signals:
    void feedLimitModeChanged();
    // For the event record: a flag changed, and one whose limit a person's stricter limit overruled.
    void flagChanged(RaceFlag flag, const QString &runName, const QString &feedAddress);
    void personsLimitStands(RaceFlag flag, const QString &flagMode, const QString &modeInForce,
                            const QString &feedAddress);

public slots:
    // Until a global limit is chosen, the retranslator's own counts as a person's.
    void linkStateChanged(const QJsonObject &state);

private:
    void followFlag(RaceFlag flag, const QString &runName);
    void globalLimitApplied(const QString &mode, int rpm, const LimitSource &source);

    TimingFeed &m_feed;
    TranspondersListModel &m_liveList;
    GlobalLimitInForce m_inForce;
    QString m_modeInForce;  // "" until a global limit is chosen here or by another console
};
