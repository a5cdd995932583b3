#pragma once

#include <QJsonObject>
#include <QObject>

// What the console knows of its link to the retranslator ("isOnline", "ipAddress", "globalRPMLimit"),
// published to QML. Lives in the main thread; the exchange merges updates into it through queued calls.
class RetranslatorState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QJsonObject state READ state NOTIFY stateChanged)

public:
    explicit RetranslatorState(QObject *parent = nullptr);

    QJsonObject state() const { return m_state; }

    // Sets every key of `update` in the state, keeps the others, and always notifies.
    void updateState(const QJsonObject &update);

signals:
    void stateChanged(QJsonObject state);

private:
    QJsonObject m_state;
};
