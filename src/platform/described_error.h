#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <utility>

namespace cordavelle {

// An error that carries its user-facing text: `description()` for the interface, the same text
// as UTF-8 from `what()` for logs and for code that sees only a std::exception.
class DescribedError : public std::exception {
public:
    explicit DescribedError(QString description)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8())
    {
    }

    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

} // namespace cordavelle
