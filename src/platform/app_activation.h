#pragma once

#include <QObject>

namespace cordavelle {

// Whether the application shows itself like a regular windowed application (with a taskbar or
// Dock presence) or only as an accessory (a tray icon), and the moments it becomes the active
// application again (the user comes back from a terminal, say).
class AppActivation : public QObject {
    Q_OBJECT
public:
    enum class Policy { regular, accessory, prohibited };

    virtual ~AppActivation() = default;

    // True when the platform accepted the policy.
    virtual bool setActivationPolicy(Policy policy) = 0;
    virtual Policy activationPolicy() const = 0;

    // The application shell calls this whenever the desktop makes the application active.
    void reportBecameActive() { Q_EMIT becameActive(); }

Q_SIGNALS:
    void becameActive();
};

// Keeps the policy until the application shell installs a backend that acts on it.
class RecordedAppActivation final : public AppActivation {
public:
    bool setActivationPolicy(Policy policy) override
    {
        m_policy = policy;
        return true;
    }
    Policy activationPolicy() const override { return m_policy; }

private:
    Policy m_policy = Policy::regular;
};

} // namespace cordavelle
