#include "scoped_environment.h"

#include <QtGlobal>

#include <algorithm>

namespace cordavelle::test {

ScopedEnvironment::~ScopedEnvironment()
{
    for (auto saved = m_saved.rbegin(); saved != m_saved.rend(); ++saved) {
        const auto &[name, value] = *saved;
        if (value) {
            qputenv(name.constData(), *value);
        } else {
            qunsetenv(name.constData());
        }
    }
}

void ScopedEnvironment::set(const char *name, const QByteArray &value)
{
    remember(name);
    qputenv(name, value);
}

void ScopedEnvironment::unset(const char *name)
{
    remember(name);
    qunsetenv(name);
}

void ScopedEnvironment::remember(const char *name)
{
    if (std::ranges::any_of(m_saved, [&](const auto &saved) { return saved.first == name; })) {
        return;
    }
    m_saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
}

} // namespace cordavelle::test
