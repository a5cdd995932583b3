#pragma once

#include <QJsonValue>
#include <QString>
#include <cstdint>
#include <optional>

#include <fuzzer/FuzzedDataProvider.h>

namespace FuzzSupport {

// Prepares the process once: a core application (the models run timers), the settings store moved into a
// private temporary folder, and Qt's messages silenced except fatal ones. Safe to call more than once.
void initialize();

// Stops the run with a message when `condition` is false; libFuzzer then keeps the input as a crash.
void check(bool condition, const char *what);

// Makes QSettings objects created after the call use store number `slot` (0 or 1), holding `contents` as its
// file, and returns that file's path. The file gets a modification time that no earlier file had, so Qt's
// in-process cache of parsed files reads it afresh.
QString useSettingsStore(int slot, const QByteArray &contents);

// A number rounded to the nearest integer (halves upwards, as Qt's conversions do) when that fits an int.
std::optional<int> roundedInt(double number);

// Text that may hold any UTF-16 unit (lone surrogates and zero included), or plain limit-mode like text.
QString consumeText(FuzzedDataProvider &data, size_t maxUnits = 24);

// A JSON value of any type: numbers whole, fractional, huge, negative or not finite, text (numeric or not),
// booleans, null, the undefined value, and objects or arrays nested up to `depth` levels.
QJsonValue consumeJsonValue(FuzzedDataProvider &data, int depth = 2);

}  // namespace FuzzSupport

// Fails the input with the expression's text and the line when the expression is false.
#define FUZZ_CHECK(expr) FuzzSupport::check(bool(expr), #expr " at " __FILE__ ":" FUZZ_STRINGIFY(__LINE__))
#define FUZZ_STRINGIFY(x) FUZZ_STRINGIFY2(x)
#define FUZZ_STRINGIFY2(x) #x
