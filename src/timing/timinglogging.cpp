#include "timinglogging.h"

Q_LOGGING_CATEGORY(lcTiming, "zadar.timing")
