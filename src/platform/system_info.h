#pragma once

#include <QString>

namespace cordavelle {

class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // The machine name as uname reports it ("x86_64", "arm64", "aarch64").
    virtual QString machineArchitecture() const = 0;
    // The computer's name as the user sees it.
    virtual QString hostName() const = 0;
};

// The user this process runs as (its real user id): the owner of the processes it may sweep.
unsigned currentUserId();

// uname(2), and the pretty host name that the desktop's settings (and hostnamectl) show.
class UnameSystemInfo final : public SystemInfo {
public:
    explicit UnameSystemInfo(QString machineInfoFile = QStringLiteral("/etc/machine-info"));
    QString machineArchitecture() const override;
    // The pretty host name of the machine-info file when one is set, else the host name.
    QString hostName() const override;

private:
    QString m_machineInfoFile;
};

} // namespace cordavelle
