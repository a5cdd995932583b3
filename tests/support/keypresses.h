#pragma once

#include <QStringList>

#include "control/globalhotkeys.h"

// The presses that GlobalHotkeys gives, in order: "p25 F9" for a limit, "incident F8" for the incident key.
class KeyPresses : public QObject {
public:
    explicit KeyPresses(GlobalHotkeys *keys) {
        connect(keys, &GlobalHotkeys::limitKeyPressed, this,
                [this](const QString &mode, const QString &key) { m_presses << mode + ' ' + key; });
        connect(keys, &GlobalHotkeys::incidentKeyPressed, this,
                [this](const QString &key) { m_presses << QStringLiteral("incident ") + key; });
    }
    int count() const { return m_presses.size(); }
    // The presses so far, which are then forgotten.
    QStringList take() { return std::exchange(m_presses, {}); }

private:
    QStringList m_presses;
};
