#pragma once

#include <QMetaType>
#include <QtGlobal>

// One decoded transponder report, copied by value from the network thread to the live list.
struct TransponderState {
    qint32 transponderId;
    qint32 rpmValue;
    qint32 limitValue;  // the RPM limit in force on the transponder
    qint32 rssiValue;   // dBm
};

Q_DECLARE_METATYPE(TransponderState)
