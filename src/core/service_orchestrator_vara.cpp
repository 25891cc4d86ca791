// The VARA start path: the modem runs under Wine in the helper's prefix and counts as ready once
// it answers on its command port; a modem that stays silent is launched again, three times in all.

#include "service_orchestrator.h"

#include "base/async/off_thread.h"
#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/orphan_reaper.h"
#include "platform/clock.h"
#include "radio/vara_launch_configurator.h"
#include "radio/vara_probe.h"

#include <QFileInfo>

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

constexpr auto kServices = HelperLogger::Category::services;
constexpr auto kPauseAfterSilentProbe = 1000ms;
constexpr auto kPauseAfterAnswer = 750ms;

QString tag(VARAVariant variant) { return variant == VARAVariant::hf ? QStringLiteral("hf") : QStringLiteral("fm"); }

bool hasLeftItsStart(const ManagedProcess &process)
{
    const ServiceRunState state = process.state();
    return state != ServiceRunState::starting && state != ServiceRunState::running;
}

} // namespace

bool ServiceOrchestrator::isVARAInstalled(VARAVariant variant)
{
    return QFileInfo::exists(places::varaExecutable(variant));
}

QString ServiceOrchestrator::resolveWinePath(const QString &preferred, const QString &fallback)
{
    return preferred.isEmpty() ? fallback : preferred;
}

QCoro::Task<void> ServiceOrchestrator::startVARA(VARAVariant variant, std::stop_token cancel)
{
    const VARAConfig hf = m_config.varaConfig();
    const VARAFMConfig fm = m_config.varaFMConfig();
    const bool isHF = variant == VARAVariant::hf;
    const QString winePath = isHF ? resolveWinePath(hf.winePath, fm.winePath) : resolveWinePath(fm.winePath, hf.winePath);
    const QString varaPath = isHF ? hf.varaPath : fm.varaPath;
    const bool audioDebug = isHF ? hf.audioDebugEnabled : fm.audioDebugEnabled;
    if (winePath.isEmpty()) {
        throw HelperError::wineNotFound();
    }
    if (varaPath.isEmpty()) {
        throw HelperError::varaNotInstalled();
    }

    const QString t = tag(variant);
    const int port = commandPort(variant);
    const int timeoutSeconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(varaReadyTimeout).count());
    const int pauseSeconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(varaRetryPause).count());

    std::map<QString, QString> environment{{QStringLiteral("WINEPREFIX"), places::winePrefix()}};
    if (audioDebug) {
        environment[QStringLiteral("WINEDEBUG")] = QStringLiteral("+mmdevapi,+dsound,+wave");
        HelperLogger::info(QStringLiteral("[VARA] %1: audio debug mode ON \u2014 WINEDEBUG=+mmdevapi,+dsound,+wave").arg(t),
                           kServices);
    }
    HelperLogger::info(QStringLiteral("[VARA] Starting ") + t + QStringLiteral(": wine=") + winePath +
                           QStringLiteral(" vara=") + varaPath + QStringLiteral(" port=") + QString::number(port),
                       kServices);

    try {
        const auto outcome = VARALaunchConfigurator::selfHeal(variant, m_config.rigctldConfig().rigModel);
        if (outcome.kind() == VARALaunchConfigurator::Outcome::Kind::healed) {
            HelperLogger::info(QStringLiteral("[VARA] ") + t + QStringLiteral(": ini self-heal \u2014 ") + outcome.summary(),
                               kServices);
        }
    } catch (const std::exception &error) {
        HelperLogger::warning(QStringLiteral("[VARA] ") + t + QStringLiteral(": ini self-heal skipped \u2014 ") +
                                  QString::fromUtf8(error.what()),
                              kServices);
    }

    const QStringList arguments{varaPath};
    QPointer<ServiceOrchestrator> self(this);
    QPointer<ManagedProcess> process(&this->process(serviceID(variant)));
    Clock &clock = m_clock;
    for (int attempt = 1; attempt <= varaLaunchAttempts; ++attempt) {
        OrphanReaper::killWineserver();
        if (attempt > 1) {
            HelperLogger::info(QStringLiteral("[VARA] %1: retry attempt %2/%3, waiting %4s...")
                                   .arg(t, QString::number(attempt), QString::number(varaLaunchAttempts),
                                        QString::number(pauseSeconds)),
                               kServices);
            if (!co_await clock.sleep(varaRetryPause, cancel) || !self) {
                co_return;
            }
        }

        try {
            co_await process->start(winePath, arguments, environment, port, cancel);
        } catch (const std::exception &error) {
            if (!self) {
                co_return;
            }
            const QString description = QString::fromUtf8(error.what());
            HelperLogger::error(QStringLiteral("[VARA] ") + t + QStringLiteral(": process launch failed: ") + description,
                                kServices);
            process->setLastError(QStringLiteral("Failed to launch: ") + description);
            continue;
        }
        if (!self || cancel.stop_requested()) {
            co_return;
        }
        HelperLogger::info(QStringLiteral("[VARA] %1: process launched, pid=%2, state=%3")
                               .arg(t, QString::number(process->pid().value_or(-1)), toRaw(process->state())),
                           kServices);
        HelperLogger::info(QStringLiteral("[VARA] %1: waiting up to %2s for TCP response on port %3...")
                               .arg(t, QString::number(timeoutSeconds), QString::number(port)),
                           kServices);

        const bool ready = co_await waitForVARAReady(port, varaReadyTimeout, process, cancel);
        if (!self || cancel.stop_requested()) {
            co_return;
        }
        if (ready && !hasLeftItsStart(*process)) {
            process->markRunning();
            HelperLogger::info(QStringLiteral("[VARA] %1: READY after attempt %2, state=%3")
                                   .arg(t, QString::number(attempt), toRaw(process->state())),
                               kServices);
            co_return;
        }
        if (hasLeftItsStart(*process)) {
            // Whatever answered, it was not this launch: Wine ended before the modem was ready.
            HelperLogger::warning(QStringLiteral("[VARA] %1: process ended while waiting for port %2 (attempt %3/%4)%5")
                                      .arg(t, QString::number(port), QString::number(attempt),
                                           QString::number(varaLaunchAttempts),
                                           process->lastError() ? QStringLiteral(": ") + *process->lastError()
                                                                : QString()),
                                  kServices);
        } else {
            HelperLogger::warning(QStringLiteral("[VARA] %1: not responding after %2s (attempt %3/%4)")
                                      .arg(t, QString::number(timeoutSeconds), QString::number(attempt),
                                           QString::number(varaLaunchAttempts)),
                                  kServices);
        }
        process->stop();
        if (attempt == varaLaunchAttempts) {
            OrphanReaper::killWineserver();
            const QString message = QStringLiteral("VARA did not respond on port %1 after %2 attempts (%3s each). Check "
                                                   "Wine and VARA installation.")
                                        .arg(port)
                                        .arg(varaLaunchAttempts)
                                        .arg(timeoutSeconds);
            process->setLastError(message);
            HelperLogger::error(QStringLiteral("[VARA] ") + t + QString::fromUtf8(": FAILED \u2014 ") + message, kServices);
        }
    }
}

QCoro::Task<bool> ServiceOrchestrator::waitForVARAReady(int port, std::chrono::milliseconds timeout,
                                                        QPointer<ManagedProcess> process, std::stop_token cancel)
{
    Clock &clock = m_clock;
    const auto deadline = clock.now() + timeout;
    while (clock.now() < deadline) {
        if (cancel.stop_requested() || !process || hasLeftItsStart(*process)) {
            co_return false;
        }
        // The probe blocks, so it runs on a thread of its own.
        if (co_await async::OffThread<bool>([port] { return VARAProbe::probe(port); }) == true) {
            co_await clock.sleep(kPauseAfterAnswer, cancel);
            co_return true;
        }
        co_await clock.sleep(kPauseAfterSilentProbe, cancel);
    }
    co_return false;
}

} // namespace cordavelle
