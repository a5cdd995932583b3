#include "limitmodes.h"

#include "net/protocol.h"

QMap<QString, int> rpmByLimitMode{
    {QStringLiteral("p0"), 0},
    {QStringLiteral("p25"), LimitModes::defaultP25Rpm},
    {QStringLiteral("p50"), LimitModes::defaultP50Rpm},
    {QStringLiteral("p100"), Protocol::unlimitedRpm},
};
