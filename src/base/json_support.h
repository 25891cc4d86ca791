#pragma once

// Strict JSON reading for the system's records. Everything the helper stores or sends is an
// `ordered_json`, so members come out in the order they were written.
//
// Decoding is deliberately narrower than nlohmann's own conversions: nlohmann turns `true` into 1
// and 4532.9 into 4532, and a stored setting or an API body must never be silently reinterpreted
// like that. Every failure here is a `JsonDecodeError`.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <nlohmann/json.hpp>

#include <cmath>
#include <concepts>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace cordavelle {

using Json = nlohmann::ordered_json;

// Why a JSON value could not become the value asked for. `path()` names the member that failed,
// outermost first ("pttMethod.serial.portPath"), and is empty when the value itself was wrong.
class JsonDecodeError : public std::runtime_error {
public:
    explicit JsonDecodeError(const QString &reason, const QString &path = {});

    const QString &reason() const { return m_reason; }
    const QString &path() const { return m_path; }
    // The text for logs and error replies: the reason, led by the failing member when there is one.
    QString description() const { return QString::fromUtf8(what()); }

    // The same failure seen from the object that holds `member`.
    JsonDecodeError inMember(const QString &member) const;

private:
    QString m_reason;
    QString m_path;
};

// A JSON number without a fraction that fits in T: 4532 and 4532.0 give 4532. A fraction, a
// value out of T's range, a boolean or any other JSON type gives no value.
template <std::integral T>
    requires(!std::same_as<T, bool>)
std::optional<T> jsonInteger(const Json &value)
{
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (std::in_range<T>(v)) {
            return static_cast<T>(v);
        }
        return std::nullopt;
    }
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (std::in_range<T>(v)) {
            return static_cast<T>(v);
        }
        return std::nullopt;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d) {
            return std::nullopt;
        }
        // 2^digits is exact in a double, unlike T's maximum for 64-bit types.
        const double limit = std::ldexp(1.0, std::numeric_limits<T>::digits);
        const double lowest = std::numeric_limits<T>::is_signed ? -limit : 0.0;
        if (d < lowest || d >= limit) {
            return std::nullopt;
        }
        return static_cast<T>(d);
    }
    return std::nullopt;
}

namespace detail {
[[noreturn]] void throwTypeMismatch(const char *expected, const Json &found);
}

// The value as T, or a JsonDecodeError. Integers follow `jsonInteger`; `bool` takes only true and
// false; `double` takes any number but no boolean; `QString` takes only a string; `QStringList`
// only an array of strings. Every other T goes through its own `from_json`.
template <class T>
T decodeJsonValue(const Json &value)
{
    if constexpr (std::same_as<T, bool>) {
        if (!value.is_boolean()) {
            detail::throwTypeMismatch("a boolean", value);
        }
        return value.get<bool>();
    } else if constexpr (std::integral<T>) {
        if (auto v = jsonInteger<T>(value)) {
            return *v;
        }
        if (value.is_number()) {
            throw JsonDecodeError(QStringLiteral("Expected an integer, found %1")
                                      .arg(QString::fromStdString(value.dump())));
        }
        detail::throwTypeMismatch("an integer", value);
    } else if constexpr (std::floating_point<T>) {
        if (!value.is_number()) {
            detail::throwTypeMismatch("a number", value);
        }
        return static_cast<T>(value.get<double>());
    } else if constexpr (std::same_as<T, QStringList>) {
        if (!value.is_array()) {
            detail::throwTypeMismatch("an array", value);
        }
        QStringList list;
        list.reserve(static_cast<qsizetype>(value.size()));
        for (std::size_t i = 0; i < value.size(); ++i) {
            try {
                list.append(decodeJsonValue<QString>(value[i]));
            } catch (const JsonDecodeError &e) {
                throw e.inMember(QStringLiteral("[%1]").arg(i));
            }
        }
        return list;
    } else {
        return value.get<T>();
    }
}

// Reads the members of one JSON object, naming the member in every failure.
class JsonObjectReader {
public:
    // Throws when `value` is not an object.
    explicit JsonObjectReader(const Json &value);

    // True when the member exists and is not null.
    bool has(const char *key) const;

    // A missing or null member leaves `field` as it is (its default); any other value must decode.
    template <class T>
    void readIfPresent(const char *key, T &field) const
    {
        if (auto v = optional<T>(key)) {
            field = std::move(*v);
        }
    }

    // A missing or null member gives no value; any other value must decode.
    template <class T>
    std::optional<T> optional(const char *key) const
    {
        const auto it = m_object.find(key);
        if (it == m_object.end() || it->is_null()) {
            return std::nullopt;
        }
        return decodeMember<T>(key, *it);
    }

    // The member must be there, not null, and decode.
    template <class T>
    T required(const char *key) const
    {
        const auto it = m_object.find(key);
        if (it == m_object.end()) {
            throw JsonDecodeError(QStringLiteral("Missing member"), QString::fromUtf8(key));
        }
        if (it->is_null()) {
            throw JsonDecodeError(QStringLiteral("Expected a value, found null"), QString::fromUtf8(key));
        }
        return decodeMember<T>(key, *it);
    }

private:
    template <class T>
    static T decodeMember(const char *key, const Json &value)
    {
        try {
            return decodeJsonValue<T>(value);
        } catch (const JsonDecodeError &e) {
            throw e.inMember(QString::fromUtf8(key));
        }
    }

    const Json &m_object;
};

// Parses `data` and decodes it as T. Data that is not JSON fails like any other decode.
Json parseJson(const QByteArray &data);

template <class T>
T decodeJson(const QByteArray &data)
{
    return decodeJsonValue<T>(parseJson(data));
}

// Compact UTF-8 JSON text of `value` (no spaces, no line breaks).
QByteArray dumpJson(const Json &value);

template <class T>
QByteArray encodeJson(const T &value)
{
    return dumpJson(Json(value));
}

} // namespace cordavelle

// QString is written and read as a JSON string; reading anything else is a JsonDecodeError.
template <>
struct nlohmann::adl_serializer<QString> {
    static void to_json(cordavelle::Json &j, const QString &s) { j = s.toStdString(); }
    static void to_json(nlohmann::json &j, const QString &s) { j = s.toStdString(); }
    template <class BasicJson>
    static void from_json(const BasicJson &j, QString &s)
    {
        if (!j.is_string()) {
            throw cordavelle::JsonDecodeError(
                QStringLiteral("Expected a string, found %1").arg(QString::fromUtf8(j.type_name())));
        }
        s = QString::fromStdString(j.template get_ref<const std::string &>());
    }
};
