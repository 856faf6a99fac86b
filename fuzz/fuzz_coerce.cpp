// The coercions every reader of a document member goes through. Properties:
// a text is taken as an integer exactly when it is an optional sign and
// decimal digits within 64 bits, as a number exactly when strtod reads all of
// it with no blank in front; a number shown as text reads back as the same
// number; stamp keeps the value and is an integer exactly when it can be.

#include <locale.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "Core/JSONFile.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

using fuzz::literal;

bool sameDouble(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

std::optional<std::int64_t> referenceInteger(const std::string& text) {
    std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (start == text.size()) return std::nullopt;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE) return std::nullopt;
    return value;
}

std::optional<double> referenceDouble(const std::string& text) {
    static locale_t posix = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (text.empty() || std::memchr(text.data(), '\0', text.size())) return std::nullopt;
    if (std::strchr(" \t\n\v\f\r", text[0])) return std::nullopt;
    char* end = nullptr;
    double value = strtod_l(text.c_str(), &end, posix);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

void checkText(const std::string& text) {
    const JSON value = text;
    auto integer = JSONCoerce::toInt(&value);
    FUZZ_CHECK(integer == referenceInteger(text), literal(text));
    FUZZ_CHECK(JSONCoerce::optionalPID(&value) == (integer && *integer > 0 ? integer : std::nullopt), literal(text));

    auto number = JSONCoerce::toDouble(&value);
    auto expected = referenceDouble(text);
    FUZZ_CHECK(number.has_value() == expected.has_value() && (!number || sameDouble(*number, *expected)),
               literal(text));
    if (integer) FUZZ_CHECK(number.has_value(), literal(text) + " is an integer but no number");

    FUZZ_CHECK(JSONCoerce::toString(&value) == text, literal(text));
    FUZZ_CHECK(JSONCoerce::toBool(&value) == !(text.empty() || text == "false" || text == "0"), literal(text));
}

void checkDouble(double d) {
    const JSON value = d;
    auto number = JSONCoerce::toDouble(&value);
    FUZZ_CHECK(number && sameDouble(*number, d), std::to_string(d));
    FUZZ_CHECK(JSONCoerce::toBool(&value) == (d != 0), std::to_string(d));

    // Shown as text, it reads back as the same number (-0 may come back as 0).
    auto text = JSONCoerce::toString(&value);
    FUZZ_CHECK(text.has_value(), std::to_string(d));
    const JSON shown = *text;
    auto back = JSONCoerce::toDouble(&shown);
    FUZZ_CHECK(back && (sameDouble(*back, d) || (d == 0 && *back == 0)), *text);

    auto integer = JSONCoerce::toInt(&value);
    if (std::isfinite(d) && std::trunc(d) >= -9223372036854775808.0 && std::trunc(d) < 9223372036854775808.0) {
        FUZZ_CHECK(integer && static_cast<double>(*integer) == std::trunc(d), std::to_string(d));
    } else {
        FUZZ_CHECK(!integer, std::to_string(d));
    }

    JSON stamped = JSONCoerce::stamp(d);
    bool whole = std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9007199254740992.0;
    FUZZ_CHECK(stamped.is_number_integer() == whole, std::to_string(d));
    if (whole) {
        FUZZ_CHECK(static_cast<double>(stamped.get<std::int64_t>()) == d, std::to_string(d));
    } else {
        FUZZ_CHECK(stamped.is_number_float() && sameDouble(stamped.get<double>(), d), std::to_string(d));
    }
}

void checkInteger(std::int64_t i, std::uint64_t u) {
    const JSON signedValue = i;
    FUZZ_CHECK(JSONCoerce::toInt(&signedValue) == i, std::to_string(i));
    FUZZ_CHECK(JSONCoerce::toString(&signedValue) == std::to_string(i), std::to_string(i));
    const JSON text = std::to_string(i);
    FUZZ_CHECK(JSONCoerce::toInt(&text) == i, std::to_string(i));
    FUZZ_CHECK(JSONCoerce::optionalPID(&signedValue) == (i > 0 ? std::optional<std::int64_t>(i) : std::nullopt),
               std::to_string(i));

    const JSON unsignedValue = u;
    auto asInteger = JSONCoerce::toInt(&unsignedValue);
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        FUZZ_CHECK(asInteger == static_cast<std::int64_t>(u), std::to_string(u));
    } else {
        FUZZ_CHECK(!asInteger, std::to_string(u));
    }
    FUZZ_CHECK(JSONCoerce::toString(&unsignedValue) == std::to_string(u), std::to_string(u));
}

void checkStructured(const std::string& bytes) {
    // Whatever the JSON value, no coercion throws; arrays, objects and null
    // give nothing, and bool false.
    auto value = JSONFile::parse(bytes);
    if (!value) return;
    (void)JSONCoerce::toInt(&*value);
    (void)JSONCoerce::toDouble(&*value);
    (void)JSONCoerce::toString(&*value);
    (void)JSONCoerce::optionalPID(&*value);
    bool truth = JSONCoerce::toBool(&*value);
    if (value->is_structured() || value->is_null()) {
        FUZZ_CHECK(
            !JSONCoerce::toInt(&*value) && !JSONCoerce::toDouble(&*value) && !JSONCoerce::toString(&*value) && !truth,
            literal(bytes));
    }
    FUZZ_CHECK(!JSONCoerce::toInt(nullptr) && !JSONCoerce::toDouble(nullptr) && !JSONCoerce::toString(nullptr) &&
                   !JSONCoerce::toBool(nullptr) && !JSONCoerce::optionalPID(nullptr),
               "absent member");
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            checkText(provider.ConsumeRemainingBytesAsString());
            break;
        case 1: {
            std::uint64_t bits = provider.ConsumeIntegral<std::uint64_t>();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            checkDouble(d);
            checkDouble(std::trunc(provider.ConsumeFloatingPoint<double>()));
            break;
        }
        case 2: {
            auto i = provider.ConsumeIntegral<std::int64_t>();
            checkInteger(i, provider.ConsumeIntegral<std::uint64_t>());
            break;
        }
        default:
            checkStructured(provider.ConsumeRemainingBytesAsString());
            break;
    }
    return 0;
}
