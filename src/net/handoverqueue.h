#pragma once

#include <QJsonObject>
#include <QtGlobal>
#include <utility>
#include <vector>

#include "transponderstate.h"

// What the exchange's worker hands to the thread that created the exchange: a transponder report, an application
// command or an update of the link state.
struct HandOver {
    enum Kind { Report, ApplicationCommand, LinkState };
    Kind kind = Report;
    TransponderState report{};
    QJsonObject json;  // the command or the update
};

// Hand-overs waiting in the worker, oldest first, in storage allocated once.
class HandOverQueue {
public:
    explicit HandOverQueue(int capacity) : m_items(size_t(capacity)) {}

    int size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    void push(HandOver item) {
        Q_ASSERT(m_size < int(m_items.size()));
        m_items[(m_head + size_t(m_size)) % m_items.size()] = std::move(item);
        ++m_size;
    }
    HandOver take() {
        HandOver item = std::move(m_items[m_head]);
        m_head = (m_head + 1) % m_items.size();
        --m_size;
        return item;
    }

private:
    std::vector<HandOver> m_items;
    size_t m_head = 0;
    int m_size = 0;
};
