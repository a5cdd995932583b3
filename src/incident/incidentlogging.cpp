#include "incidentlogging.h"

Q_LOGGING_CATEGORY(lcIncident, "zadar.incident")
