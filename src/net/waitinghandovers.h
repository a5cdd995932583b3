#pragma once

#include <QHash>
#include <QJsonObject>
#include <deque>

#include "transponderstate.h"

// What the exchange's worker hands to the main thread: a transponder report, an application command or an update of
// the link state.
struct HandOver {
    enum Kind { Report, ApplicationCommand, LinkState };
    Kind kind = Report;
    TransponderState report{};
    QJsonObject json;        // the command or the update
    quint32 senderIPv4 = 0;  // who sent the command
};

// Hand-overs that wait in the worker while the main thread is behind, oldest first. Only the latest report of each
// transponder waits: a newer one takes the place of the one waiting. Link-state updates merge into the one waiting.
// Application commands wait one by one.
class WaitingHandOvers {
public:
    bool isEmpty() const { return m_items.empty(); }
    int applicationCommands() const { return m_applicationCommands; }

    // Adds `item`; returns true when it was a report that replaced one of the same transponder.
    bool add(HandOver item);
    HandOver takeFirst();

private:
    // Item number n (counted since the first ever added) is m_items[n - m_taken].
    HandOver &item(qint64 number) { return m_items[size_t(number - m_taken)]; }

    std::deque<HandOver> m_items;
    qint64 m_taken = 0;
    QHash<qint32, qint64> m_reportOf;  // transponder -> number of its waiting report
    qint64 m_linkState = -1;           // number of the waiting link-state update, or -1
    int m_applicationCommands = 0;
};
