#include "valueconversion.h"

#include <cmath>
#include <limits>

namespace {

bool roundsIntoIntRange(double number) {
    return std::isfinite(number) && number > double(std::numeric_limits<int>::min()) - 0.5 &&
           number < double(std::numeric_limits<int>::max()) + 0.5;
}

}  // namespace

std::optional<int> variantToInt(const QVariant &value) {
    const int type = value.userType();
    if ((type == QMetaType::Double || type == QMetaType::Float) && !roundsIntoIntRange(value.toDouble()))
        return std::nullopt;
    bool ok = false;
    const int result = value.toInt(&ok);
    if (!ok)
        return std::nullopt;
    return result;
}

std::optional<int> wholeJsonNumber(const QJsonValue &value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < double(std::numeric_limits<int>::min()) ||
        number > double(std::numeric_limits<int>::max()) || std::trunc(number) != number)
        return std::nullopt;
    return int(number);
}
