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
    // Converted at full width and range-checked: whole JSON numbers arrive as 64-bit integers and integer
    // text parses as one, and a plain toInt() would keep only the low 32 bits of either.
    bool ok = false;
    if (type == QMetaType::ULongLong) {
        const qulonglong result = value.toULongLong(&ok);
        if (!ok || result > qulonglong(std::numeric_limits<int>::max()))
            return std::nullopt;
        return int(result);
    }
    const qlonglong result = value.toLongLong(&ok);
    if (!ok || result < std::numeric_limits<int>::min() || result > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(result);
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
