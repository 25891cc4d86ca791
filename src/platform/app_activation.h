#pragma once

namespace cordavelle {

// Whether the application shows itself like a regular windowed application (with a taskbar or
// Dock presence) or only as an accessory (a tray icon).
class AppActivation {
public:
    enum class Policy { regular, accessory, prohibited };

    virtual ~AppActivation() = default;

    // True when the platform accepted the policy.
    virtual bool setActivationPolicy(Policy policy) = 0;
    virtual Policy activationPolicy() const = 0;
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
