#include "retranslatorstate.h"

RetranslatorState::RetranslatorState(QObject *parent) : QObject(parent) {}

void RetranslatorState::updateState(const QJsonObject &update) {
    for (auto it = update.begin(); it != update.end(); ++it)
        m_state.insert(it.key(), it.value());
    emit stateChanged(m_state);
}
