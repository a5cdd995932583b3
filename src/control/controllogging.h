#pragma once

#include <QLoggingCategory>

// One category per race-control component.
Q_DECLARE_LOGGING_CATEGORY(lcRecord)   // "zadar.record": the event record's files
Q_DECLARE_LOGGING_CATEGORY(lcHotkeys)  // "zadar.keys": the global limit keys and their system-wide grabs
Q_DECLARE_LOGGING_CATEGORY(lcAwake)    // "zadar.awake": keeping the PC and the screen awake
