#pragma once

#include "platform/login_item.h"

#include <QStringList>

#include <optional>

namespace cordavelle::test {

// A login item whose status and failures the test sets; it records every call.
class FakeLoginItem final : public LoginItem {
public:
    Status status() const override { return currentStatus; }
    std::optional<QString> registerItem() override
    {
        calls << QStringLiteral("register");
        if (registerError) {
            return registerError;
        }
        currentStatus = Status::enabled;
        return std::nullopt;
    }
    std::optional<QString> unregisterItem() override
    {
        calls << QStringLiteral("unregister");
        if (unregisterError) {
            return unregisterError;
        }
        currentStatus = Status::notRegistered;
        return std::nullopt;
    }

    Status currentStatus = Status::notRegistered;
    std::optional<QString> registerError;
    std::optional<QString> unregisterError;
    QStringList calls;
};

} // namespace cordavelle::test
