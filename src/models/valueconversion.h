#pragma once

#include <QJsonValue>
#include <QVariant>
#include <optional>

// The framework's conversion of a variant to an integer (numbers round, integer text parses), or nothing
// when it fails. Numbers outside the integer range fail instead of wrapping around.
std::optional<int> variantToInt(const QVariant &value);

// A JSON number with a whole value that fits an integer; nothing for any other value.
std::optional<int> wholeJsonNumber(const QJsonValue &value);
