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
    // The lowest TCP port this process may listen on: 1 where it may bind any port (root, or
    // the capability to bind a privileged port), else the first port the kernel leaves to
    // every user.
    virtual int lowestBindablePort() const = 0;
};

// The user this process runs as (its real user id): the owner of the processes it may sweep.
unsigned currentUserId();

// uname(2), and the pretty host name that the desktop's settings (and hostnamectl) show.
class UnameSystemInfo final : public SystemInfo {
public:
    explicit UnameSystemInfo(
        QString machineInfoFile = QStringLiteral("/etc/machine-info"),
        QString unprivilegedPortFile = QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    QString machineArchitecture() const override;
    // The pretty host name of the machine-info file when one is set, else the host name.
    QString hostName() const override;
    int lowestBindablePort() const override;
    // The kernel's net.ipv4.ip_unprivileged_port_start (at least 1), read anew each time; 1024,
    // the kernel's default, where it can't be read.
    int unprivilegedPortStart() const;

private:
    QString m_machineInfoFile;
    QString m_unprivilegedPortFile;
};

} // namespace cordavelle
