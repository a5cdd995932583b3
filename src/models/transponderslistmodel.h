#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QJsonObject>
#include <QTimer>
#include <QVector>
#include <functional>

#include "limitsource.h"
#include "net/dataexchange.h"

// One live transponder: what it last reported and the limit this console wants on it.
struct TransponderRow {
    qint32 transponderId = 0;
    QString num;
    qint32 rpmValue = 0;
    qint32 rssiValue = 0;
    qint32 limitValue = 0;        // reported as in force on the transponder
    qint32 targetLimitValue = 0;  // wanted by this console
    QString limitMode;
    qint64 lastUpdateMs = 0;
    bool isTransponderOnline = false;
    qint64 limitCommandedMs = -1;  // when the limit it has not taken yet was commanded; -1: none is pending
};

// The transponders heard recently, one row each, aged out when they fall silent; also the limit control:
// the global limit mode, per-transponder modes, and the application commands that keep consoles in step.
class TranspondersListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QString limitMode READ limitMode WRITE setLimitMode NOTIFY limitModeChanged)
    Q_PROPERTY(QJsonObject rpmLimits READ rpmLimits NOTIFY rpmLimitsChanged)
    // The transponders that have not taken a chosen limit 3 s after it was commanded: {"<id>": true, ...}.
    Q_PROPERTY(QJsonObject limitsNotTaken READ limitsNotTaken NOTIFY limitsNotTakenChanged)

public:
    enum Role {
        NumRole = Qt::UserRole + 1,
        RpmValueRole,
        LimitValueRole,
        TargetLimitValueRole,
        LimitModeRole,
        TransponderIdRole,
        LimitOkRole,
        IsTransponderOnlineRole,
        RssiValueRole,
    };
    Q_ENUM(Role)

    // Milliseconds since the Unix epoch.
    using WallClock = std::function<qint64()>;

    TranspondersListModel();
    explicit TranspondersListModel(WallClock clock);
    ~TranspondersListModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    QHash<int, QByteArray> roleNames() const override;

    QString limitMode() const { return m_limitMode; }
    QJsonObject rpmLimits() const;
    QJsonObject limitsNotTaken() const { return m_limitsNotTaken; }

    // Takes the stored RPM of "p25" and "p50" once at start-up; values that are not whole numbers fall back.
    void loadRpmSettings(QJsonObject rpmSettings);

signals:
    void limitModeChanged(QString limitMode);
    void updateTranspondersLimit(int globalLimit, bool updateController);
    void setTransponderLimit(int transponderId, int limitVal);
    void rpmLimitsChanged(QJsonObject json);
    void resendCommandToApps(QJsonObject json);

    // What happened, for the event record and the incident recorder.
    void transponderReported(DataExchange::TransponderState ts);
    void globalLimitApplied(QString mode, int rpm, LimitSource source);
    void transponderLimitApplied(int transponderId, QString mode, int rpm, LimitSource source);
    void limitTaken(int transponderId, QString mode, int rpm, qint64 afterMs);
    void limitNotTaken(int transponderId, QString mode, int rpm);
    void limitsNotTakenChanged(QJsonObject limitsNotTaken);
    void transponderOnAir(int transponderId);
    void transponderSilent(int transponderId);
    void transponderBack(int transponderId);
    void transponderRemoved(int transponderId);

public slots:
    void updateTransponderState(DataExchange::TransponderState ts);
    void resetData();
    // Every global limit takes this way: chosen here by a click, a key or the timing feed, it commands the
    // retranslator and the other consoles; received from another console (or come back), it is only applied. The
    // global buttons follow every choice but a click, which has checked its button already.
    void chooseGlobalLimit(const QString &mode, const LimitSource &source);
    // The property's write: a click (updateController), or another console's choice.
    void setLimitMode(QString val, bool updateController = true);
    void remoteAppCommand(QJsonObject json, const QString &senderAddress = {}, bool ownCommand = false);
    void updateSettings(QString settingsId, QJsonObject json);

private slots:
    void refreshList();
    void checkLimitsTaken();

private:
    void appendRow(const DataExchange::TransponderState &ts);
    void rebuildIndex();
    void limitCommanded(TransponderRow &row);
    void noteLimitReported(TransponderRow &row);
    void forgetLimitNotTaken(qint32 transponderId);

    QVector<TransponderRow> m_rows;
    QHash<qint32, int> m_rowById;  // transponder id -> row; ids are unique in the list
    QString m_limitMode;
    QTimer m_refreshTimer;
    QTimer m_limitCheckTimer;  // single shot, at the next moment a pending limit turns 3 s old
    QJsonObject m_limitsNotTaken;
    WallClock m_clock;
};
