#include "controllogging.h"

Q_LOGGING_CATEGORY(lcRecord, "zadar.record")
Q_LOGGING_CATEGORY(lcHotkeys, "zadar.keys")
Q_LOGGING_CATEGORY(lcAwake, "zadar.awake")
