#pragma once

#include <QString>

namespace cordavelle {

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // The machine name as uname reports it ("x86_64", "arm64", "aarch64").
    virtual QString machineArchitecture() const = 0;
    virtual QString hostName() const = 0;
};

class UnameSystemInfo final : public SystemInfo {
public:
    QString machineArchitecture() const override;
    QString hostName() const override;
};

} // namespace cordavelle
