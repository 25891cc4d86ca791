#pragma once

#include "platform/user_defaults.h"

namespace cordavelle::test {

// Settings in memory that refuse every write while `refusal` holds a reason, as a full disk does.
class RefusingDefaults final : public MemoryUserDefaults {
public:
    RefusingDefaults() : MemoryUserDefaults(QStringLiteral("test")) {}
    std::optional<QString> setObject(const QString &key, const QVariant &value) override
    {
        return refusal ? refusal : MemoryUserDefaults::setObject(key, value);
    }
    std::optional<QString> refusal;
};

} // namespace cordavelle::test
