#include "radio_power_controller.h"

#include "base/helper_logger.h"
#include "platform/clock.h"
#include "platform/logger.h"
#include "radio/rigctld_power_client.h"

#include <QPointer>

namespace cordavelle {

RadioPowerController::RadioPowerController(Clock &clock, QObject *parent)
    : RadioPowerController(clock,
                           PowerClient{[rigctld = RigctldPowerClient(clock)](int port) { return rigctld.getPowerState(port); },
                                       [rigctld = RigctldPowerClient(clock)](bool on, int port) {
                                           return rigctld.setPowerState(on, port);
                                       }},
                           parent)
{
}

RadioPowerController::RadioPowerController(Clock &clock, PowerClient client, QObject *parent)
    : QObject(parent), m_clock(clock), m_client(std::move(client))
{
}

QCoro::Task<void> RadioPowerController::handlePostStart(int rigctldPort, bool manageRadioPower, std::stop_token stop)
{
    if (!manageRadioPower) {
        co_return;
    }
    QPointer<RadioPowerController> self = this;
    Clock &waitClock = m_clock;
    // A copy, so that the calls stay valid whatever happens to the controller meanwhile.
    const PowerClient client = m_client;
    setPowerWasManagedByHelper(false);
    setRadioPowerSupported(std::nullopt);

    std::optional<bool> state;
    int attempt = 1;
    for (; attempt <= kMaxPowerStateQueries; ++attempt) {
        state = co_await client.getPowerState(rigctldPort);
        if (state) {
            break;
        }
        if (attempt < kMaxPowerStateQueries) {
            co_await waitClock.sleep(kPauseBetweenQueries, stop);
        }
    }
    if (!self) {
        co_return;
    }
    if (!state) {
        setRadioPowerSupported(false);
        Logger(HelperLogger::subsystem(), QStringLiteral("RadioPower"))
            .info(QStringLiteral("Radio does not support power state commands"));
        co_return;
    }
    setRadioPowerSupported(true);
    if (*state) {
        co_return;
    }
    const bool switchedOn = co_await client.setPowerState(true, rigctldPort);
    if (!self || !switchedOn) {
        co_return;
    }
    setPowerWasManagedByHelper(true);
    // Gives the radio time to come up before the caller reports rigctld running.
    co_await waitClock.sleep(kWaitAfterPowerOn, stop);
}

QCoro::Task<void> RadioPowerController::handlePreStop(int rigctldPort, std::stop_token stop)
{
    QPointer<RadioPowerController> self = this;
    Clock &waitClock = m_clock;
    const PowerClient client = m_client;
    if (m_powerWasManagedByHelper) {
        co_await client.setPowerState(false, rigctldPort);
        if (!self) {
            co_return;
        }
        co_await waitClock.sleep(kWaitAfterPowerOff, stop);
        if (!self) {
            co_return;
        }
    }
    setPowerWasManagedByHelper(false);
    setRadioPowerSupported(std::nullopt);
}

void RadioPowerController::setPowerWasManagedByHelper(bool managed)
{
    if (managed == m_powerWasManagedByHelper) {
        return;
    }
    m_powerWasManagedByHelper = managed;
    Q_EMIT powerWasManagedByHelperChanged(managed);
}

void RadioPowerController::setRadioPowerSupported(std::optional<bool> supported)
{
    if (supported == m_radioPowerSupported) {
        return;
    }
    m_radioPowerSupported = supported;
    Q_EMIT radioPowerSupportedChanged(supported);
}

} // namespace cordavelle
