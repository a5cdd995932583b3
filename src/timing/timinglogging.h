#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcTiming)  // "zadar.timing": the timing system's feed (race flags)
