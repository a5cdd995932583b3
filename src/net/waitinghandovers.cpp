#include "waitinghandovers.h"

bool WaitingHandOvers::add(HandOver added) {
    const qint64 number = m_taken + qint64(m_items.size());
    switch (added.kind) {
        case HandOver::Report: {
            const auto waiting = m_reportOf.constFind(added.report.transponderId);
            if (waiting != m_reportOf.constEnd()) {
                item(*waiting).report = added.report;
                return true;
            }
            m_reportOf.insert(added.report.transponderId, number);
            break;
        }
        case HandOver::LinkState:
            if (m_linkState >= 0) {
                QJsonObject &merged = item(m_linkState).json;
                for (auto it = added.json.constBegin(); it != added.json.constEnd(); ++it)
                    merged.insert(it.key(), it.value());
                return false;
            }
            m_linkState = number;
            break;
        case HandOver::ApplicationCommand: ++m_applicationCommands; break;
    }
    m_items.push_back(std::move(added));
    return false;
}

HandOver WaitingHandOvers::takeFirst() {
    HandOver first = std::move(m_items.front());
    m_items.pop_front();
    ++m_taken;
    switch (first.kind) {
        case HandOver::Report: m_reportOf.remove(first.report.transponderId); break;
        case HandOver::LinkState: m_linkState = -1; break;
        case HandOver::ApplicationCommand: --m_applicationCommands; break;
    }
    return first;
}
