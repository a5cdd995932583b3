#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcIncident)  // "zadar.incident": the flight recorder and its incident reports
