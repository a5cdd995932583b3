#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <memory>
#include <mutex>

#include "net/exchangeenvironment.h"

struct SentDatagram {
    QHostAddress destination;
    QByteArray payload;
};

// Scripted local networks and clock for an exchange, recording what it hands its socket instead of
// sending it. The test keeps the shared state; the exchange owns the environment.
class FakeExchangeEnvironment final : public ExchangeEnvironment {
public:
    struct State {
        // A standard mutex rather than QMutex: ThreadSanitizer sees it (Qt's futex-based lock is not instrumented).
        std::mutex mutex;
        QList<QNetworkAddressEntry> entries;
        qint64 nowMs = 1'700'000'000'000;
        QList<SentDatagram> sent;

        void setEntries(const QList<QNetworkAddressEntry> &newEntries) {
            std::lock_guard<std::mutex> lock(mutex);
            entries = newEntries;
        }
        void setNowMs(qint64 ms) {
            std::lock_guard<std::mutex> lock(mutex);
            nowMs = ms;
        }
        QList<SentDatagram> takeSent() {
            std::lock_guard<std::mutex> lock(mutex);
            return std::exchange(sent, {});
        }
    };

    explicit FakeExchangeEnvironment(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    QList<QNetworkAddressEntry> qualifyingAddressEntries() const override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->entries;
    }
    qint64 currentMSecsSinceEpoch() const override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->nowMs;
    }
    void sendDatagram(QUdpSocket &, const char *data, qint64 size, const QHostAddress &destination) override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->sent.append({destination, QByteArray(data, int(size))});
    }

    static QNetworkAddressEntry entry(const QString &ip, const QString &netmask, const QString &broadcast) {
        QNetworkAddressEntry result;
        result.setIp(QHostAddress(ip));
        result.setNetmask(QHostAddress(netmask));
        result.setBroadcast(QHostAddress(broadcast));
        return result;
    }

private:
    std::shared_ptr<State> m_state;
};
