#include "user_defaults.h"

#include <cmath>

namespace cordavelle {

namespace defaults_reading {

namespace {
bool isIntegral(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}
} // namespace

bool boolValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (isIntegral(value)) {
        return value.toLongLong() != 0;
    }
    if (value.typeId() == QMetaType::Double) {
        return value.toDouble() != 0.0;
    }
    if (value.typeId() == QMetaType::QString) {
        const QString s = value.toString().trimmed();
        if (s.isEmpty()) {
            return false;
        }
        const QChar c = s.front();
        return c == u'Y' || c == u'y' || c == u'T' || c == u't' || (c >= u'1' && c <= u'9');
    }
    return false;
}

std::optional<QString> stringValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QString) {
        return value.toString();
    }
    if (isIntegral(value)) {
        return QString::number(value.toLongLong());
    }
    if (value.typeId() == QMetaType::Double) {
        return QString::number(value.toDouble(), 'g', 17);
    }
    return std::nullopt;
}

std::optional<qint64> integerValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool() ? 1 : 0;
    }
    if (isIntegral(value)) {
        return value.toLongLong();
    }
    if (value.typeId() == QMetaType::Double) {
        const double d = value.toDouble();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) {
            return static_cast<qint64>(d);
        }
    }
    return std::nullopt;
}

std::optional<bool> boolObjectValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    if (isIntegral(value)) {
        const qint64 n = value.toLongLong();
        if (n == 0 || n == 1) {
            return n == 1;
        }
    }
    return std::nullopt;
}

} // namespace defaults_reading

bool UserDefaults::boolForKey(const QString &key) const { return defaults_reading::boolValue(object(key)); }

std::optional<QString> UserDefaults::stringForKey(const QString &key) const
{
    return defaults_reading::stringValue(object(key));
}

std::optional<qint64> UserDefaults::integerForKey(const QString &key) const
{
    return defaults_reading::integerValue(object(key));
}

std::optional<bool> UserDefaults::boolObjectForKey(const QString &key) const
{
    return defaults_reading::boolObjectValue(object(key));
}

std::optional<QByteArray> UserDefaults::dataForKey(const QString &key) const
{
    const QVariant v = object(key);
    if (v.typeId() == QMetaType::QByteArray) {
        return v.toByteArray();
    }
    return std::nullopt;
}

MemoryUserDefaults::MemoryUserDefaults(QString domain, QVariantMap values)
    : m_domain(std::move(domain)), m_values(std::move(values))
{
}

std::optional<QString> MemoryUserDefaults::setObject(const QString &key, const QVariant &value)
{
    ++m_writes;
    if (!value.isValid()) {
        m_values.remove(key);
    } else {
        m_values.insert(key, value);
    }
    return std::nullopt;
}

} // namespace cordavelle
