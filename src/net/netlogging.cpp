#include "netlogging.h"

Q_LOGGING_CATEGORY(lcNet, "zadar.net")
