#include <QtTest>

#include "timing/flagrule.h"

Q_DECLARE_METATYPE(GlobalLimitInForce)
Q_DECLARE_METATYPE(FlagDecision::Kind)

// The flag rule over the limits a person or the feed chose: a person's limit is only tightened, the feed's follows
// the flag but not above a person's, and Green lifts only the feed's own. Default mapping: Yellow 50%, Red STOP,
// Finish 25%, Green lifts.
class FlagRuleTest : public QObject {
    Q_OBJECT

private slots:
    void flagsChooseByTheRule_data() {
        QTest::addColumn<RaceFlag>("flag");
        QTest::addColumn<GlobalLimitInForce>("inForce");
        QTest::addColumn<bool>("releaseOnGreen");
        QTest::addColumn<FlagDecision::Kind>("kind");
        QTest::addColumn<QString>("mode");
        const GlobalLimitInForce none;  // nothing chosen, the retranslator unlimited
        const GlobalLimitInForce personsStop{0, false, "p0"}, personsHalf{3000, false, "p50"};
        const GlobalLimitInForce feedsStop{0, true, ""}, feedsHalf{3000, true, ""}, feedsStopOverHalf{0, true, "p50"};
        using D = FlagDecision;
        QTest::newRow("yellow, nothing chosen") << RaceFlag::Yellow << none << true << D::Choose << "p50";
        QTest::newRow("yellow, a person's STOP stands")
            << RaceFlag::Yellow << personsStop << true << D::PersonsLimitStands << "p50";
        QTest::newRow("red tightens a person's 50%") << RaceFlag::Red << personsHalf << true << D::Choose << "p0";
        QTest::newRow("red then yellow: the feed follows")
            << RaceFlag::Yellow << feedsStop << true << D::Choose << "p50";
        QTest::newRow("green lifts the feed's own") << RaceFlag::Green << feedsHalf << true << D::Choose << "p100";
        QTest::newRow("green leaves a person's")
            << RaceFlag::Green << personsHalf << true << D::PersonsLimitStands << "p100";
        QTest::newRow("green, nothing chosen") << RaceFlag::Green << none << true << D::Nothing << "";
        QTest::newRow("green goes back to the person's 50%")
            << RaceFlag::Green << feedsStopOverHalf << true << D::Choose << "p50";
        QTest::newRow("green without release") << RaceFlag::Green << feedsHalf << false << D::Nothing << "";
        QTest::newRow("no flag") << RaceFlag::None << feedsHalf << true << D::Nothing << "";
        QTest::newRow("yellow, already 50%") << RaceFlag::Yellow << feedsHalf << true << D::Nothing << "";
        // A console started while another's operator has STOP in force learns it from the retranslator only.
        QTest::newRow("yellow, the retranslator at 0")
            << RaceFlag::Yellow << GlobalLimitInForce{0, false, ""} << true << D::PersonsLimitStands << "p50";
    }

    void flagsChooseByTheRule() {
        QFETCH(RaceFlag, flag);
        QFETCH(GlobalLimitInForce, inForce);
        QFETCH(bool, releaseOnGreen);
        QFETCH(FlagDecision::Kind, kind);
        QFETCH(QString, mode);
        TimingFeedSettings settings;
        settings.releaseOnGreen = releaseOnGreen;
        const FlagDecision decision = decideOnFlag(flag, settings, inForce);
        QCOMPARE(decision.kind, kind);
        QCOMPARE(decision.mode, mode);
    }

    void aFlagMappedToNoLimitChangesNothing() {
        TimingFeedSettings settings;
        settings.onFinish = "";
        QCOMPARE(decideOnFlag(RaceFlag::Finish, settings, {}).kind, FlagDecision::Nothing);
    }
};

QTEST_GUILESS_MAIN(FlagRuleTest)
#include "tst_flagrule.moc"
