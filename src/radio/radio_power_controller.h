#pragma once

#include <QCoroTask>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;

// Switches the radio on after rigctld has started, when the user lets the helper manage radio
// power, and off again before rigctld stops, but only when the helper was the one that switched
// it on. A radio that was already on is never switched off.
class RadioPowerController final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool powerWasManagedByHelper READ powerWasManagedByHelper NOTIFY powerWasManagedByHelperChanged)
    Q_PROPERTY(std::optional<bool> radioPowerSupported READ radioPowerSupported NOTIFY radioPowerSupportedChanged)
public:
    static constexpr int kMaxPowerStateQueries = 3;
    static constexpr std::chrono::milliseconds kPauseBetweenQueries{500};
    static constexpr std::chrono::milliseconds kWaitAfterPowerOn{3000};
    static constexpr std::chrono::milliseconds kWaitAfterPowerOff{500};

    // How the controller reaches rigctld; RigctldPowerClient unless a test gives its own.
    struct PowerClient {
        std::function<QCoro::Task<std::optional<bool>>(int port)> getPowerState;
        std::function<QCoro::Task<bool>(bool on, int port)> setPowerState;
    };

    explicit RadioPowerController(Clock &clock, QObject *parent = nullptr);
    RadioPowerController(Clock &clock, PowerClient client, QObject *parent = nullptr);

    // True only after this controller switched the radio on in the current rigctld run.
    bool powerWasManagedByHelper() const { return m_powerWasManagedByHelper; }
    // Absent while unknown; true when the radio answered a power-state query; false when three
    // queries brought no usable answer.
    std::optional<bool> radioPowerSupported() const { return m_radioPowerSupported; }

    // After rigctld started: with management on, reads the power state (up to three tries) and
    // switches an off radio on, then gives it 3 s to come up. Never fails. A stop request only
    // shortens the pauses.
    QCoro::Task<void> handlePostStart(int rigctldPort, bool manageRadioPower, std::stop_token stop = {});
    // Before rigctld stops: switches the radio off if this controller switched it on, then forgets
    // what it knew about the radio.
    QCoro::Task<void> handlePreStop(int rigctldPort, std::stop_token stop = {});

Q_SIGNALS:
    void powerWasManagedByHelperChanged(bool managed);
    void radioPowerSupportedChanged(std::optional<bool> supported);

private:
    void setPowerWasManagedByHelper(bool managed);
    void setRadioPowerSupported(std::optional<bool> supported);
    Clock &m_clock;
    PowerClient m_client;
    bool m_powerWasManagedByHelper = false;
    std::optional<bool> m_radioPowerSupported;
};

} // namespace cordavelle
