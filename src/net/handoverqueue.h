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

// Hand-overs waiting in the worker, oldest first, in storage allocated once. The exchange stops reading before it
// is full; should a hand-over come all the same (a link-state update while reading waits), the storage grows.
class HandOverQueue {
public:
    explicit HandOverQueue(int capacity) : m_items(size_t(capacity)) {}

    int size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    void push(HandOver item) {
        if (m_size == int(m_items.size()))
            grow();
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
    void grow() {
        std::vector<HandOver> items(m_items.size() * 2);
        for (int i = 0; i < m_size; ++i)
            items[size_t(i)] = std::move(m_items[(m_head + size_t(i)) % m_items.size()]);
        m_items.swap(items);
        m_head = 0;
    }

    std::vector<HandOver> m_items;
    size_t m_head = 0;
    int m_size = 0;
};
