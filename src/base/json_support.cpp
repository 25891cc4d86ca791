#include "json_support.h"

namespace cordavelle {

namespace {

QString joinedText(const QString &reason, const QString &path)
{
    return path.isEmpty() ? reason : path + QStringLiteral(": ") + reason;
}

} // namespace

JsonDecodeError::JsonDecodeError(const QString &reason, const QString &path)
    : std::runtime_error(joinedText(reason, path).toStdString()), m_reason(reason), m_path(path)
{
}

JsonDecodeError JsonDecodeError::inMember(const QString &member) const
{
    if (m_path.isEmpty()) {
        return JsonDecodeError(m_reason, member);
    }
    // Array indices attach without a dot: "requestedServices[2]".
    const QString separator = m_path.startsWith(QLatin1Char('[')) ? QString() : QStringLiteral(".");
    return JsonDecodeError(m_reason, member + separator + m_path);
}

namespace detail {

void throwTypeMismatch(const char *expected, const Json &found)
{
    throw JsonDecodeError(
        QStringLiteral("Expected %1, found %2").arg(QString::fromUtf8(expected), QString::fromUtf8(found.type_name())));
}

} // namespace detail

JsonObjectReader::JsonObjectReader(const Json &value) : m_object(value)
{
    if (!value.is_object()) {
        detail::throwTypeMismatch("an object", value);
    }
}

bool JsonObjectReader::has(const char *key) const
{
    const auto it = m_object.find(key);
    return it != m_object.end() && !it->is_null();
}

Json parseJson(const QByteArray &data)
{
    try {
        return Json::parse(data.begin(), data.end());
    } catch (const Json::exception &) {
        // Besides syntax errors, the parser rejects numbers too large for a double (1e400).
        throw JsonDecodeError(QStringLiteral("The data is not valid JSON"));
    }
}

QByteArray dumpJson(const Json &value)
{
    // Strings reach us from QString and are valid UTF-8; replacing keeps a stray byte from
    // turning a reply into an exception.
    const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace cordavelle
