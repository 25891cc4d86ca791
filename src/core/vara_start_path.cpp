#include "vara_start_path.h"

#include "async/event.h"
#include "async/first_of.h"
#include "async/off_thread.h"
#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/launch_verdict.h"
#include "core/managed_process.h"
#include "core/orphan_reaper.h"
#include "core/port_probe.h"
#include "base/tool_lookup.h"
#include "core/wine_prefix_hold.h"
#include "platform/clock.h"
#include "radio/vara_launch_configurator.h"
#include "radio/vara_probe.h"

#include <QPointer>

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

constexpr auto kPauseAfterSilentProbe = 1000ms;
constexpr auto kPauseAfterAnswer = 750ms;

bool hasLeftItsStart(const ManagedProcess &process)
{
    const ServiceRunState state = process.state();
    return state != ServiceRunState::starting && state != ServiceRunState::running;
}

// "[VARA] <tag>: <text>", the form of every line after the first ones.
QString line(const VARALaunchPlan &plan, const QString &text)
{
    return QStringLiteral("[VARA] ") + plan.tag() + QStringLiteral(": ") + text;
}

QString ofAttempts(int number)
{
    return QStringLiteral("(attempt %1/%2)").arg(number).arg(VARALaunchPlan::kLaunchAttempts);
}

} // namespace

VARAStartPath::VARAStartPath(VARAVariant variant, ConfigStore &config, Clock &clock, ManagedProcess &process,
                             const OrphanReaper &reaper, const WineDrivers &wineDrivers,
                             const WinePrefixHold &prefixHold)
    : m_variant(variant), m_config(config), m_clock(clock), m_process(process), m_reaper(reaper),
      m_wineDrivers(wineDrivers), m_prefixHold(prefixHold)
{
}

VARALaunchPlan VARAStartPath::plan() const
{
    const ProgramSearch search = tools::lookUpWine();
    const std::optional<QString> &wine = search.found;
    try {
        return VARALaunchPlan::make(m_variant, m_config.varaConfig(), m_config.varaFMConfig(), places::winePrefix(),
                                    wine);
    } catch (const HelperError &error) {
        if (error.code() == HelperError::Code::wineNotFound && !wine) {
            // Of the Wines there are, the one that would have been taken is named.
            if (search.passedOver) {
                throw HelperError::wineNotFound(*search.passedOver);
            }
            if (const std::optional<QString> only64Bit = tools::findWineWithout32Bit()) {
                throw HelperError::wineNotFound(*only64Bit);
            }
        }
        throw;
    }
}

QCoro::Task<void> VARAStartPath::start(std::stop_token cancel)
{
    // Before the plan, which reads the record a removal clears, and the ini's repair, which would
    // write into what is going.
    if (refusedForRemoval()) {
        co_return;
    }
    const VARALaunchPlan plan = this->plan();
    for (const QString &text : plan.startLines) {
        servicesLog::info(text);
    }
    repairIni(plan);

    QPointer<VARAStartPath> self(this);
    int number = 1;
    for (; number <= VARALaunchPlan::kLaunchAttempts; ++number) {
        const Attempt outcome = co_await attempt(plan, number, cancel);
        if (!self || outcome == Attempt::ready || outcome == Attempt::abandoned) {
            co_return;
        }
        if (outcome == Attempt::silent && number == VARALaunchPlan::kLaunchAttempts) {
            // An installer that took the prefix meanwhile runs its Wine programs on that server.
            if (!m_prefixHold.holder()) {
                m_reaper.killWineserver();
            }
            // A modem of another user's that took the port meanwhile is why none of the attempts
            // could listen there.
            const QString failure =
                portOfAnotherUser({displayName(m_variant), QStringLiteral("command port"), plan.port, false})
                    .value_or(plan.failureMessage);
            m_process.setLastError(failure);
            servicesLog::error(line(plan, QString::fromUtf8("FAILED \u2014 ") + failure));
            // A modem that never answered is a failed start, as a rigctld or Direwolf whose child
            // died is: once the last attempt's child is gone, the state says so, not "stopped".
            co_await readAsFailed(failure, cancel);
        }
    }
}

QCoro::Task<void> VARAStartPath::readAsFailed(QString reason, std::stop_token cancel)
{
    QPointer<ManagedProcess> process(&m_process);
    if (process->state() == ServiceRunState::stopping) {
        // The stop ends for sure: SIGKILL follows SIGTERM after its grace period.
        async::Event gone;
        const QMetaObject::Connection watch = QObject::connect(process, &ManagedProcess::stateChanged, process, [process, gone] {
            if (process->state() != ServiceRunState::stopping) {
                gone.set();
            }
        });
        const bool ended = co_await gone.wait(cancel);
        QObject::disconnect(watch);
        if (!ended) {
            co_return;
        }
    }
    // A stop asked for meanwhile leaves the service stopped.
    if (process && !cancel.stop_requested() && process->state() == ServiceRunState::stopped) {
        process->failStart(reason);
    }
}

void VARAStartPath::repairIni(const VARALaunchPlan &plan)
{
    try {
        const auto outcome = VARALaunchConfigurator::selfHeal(m_variant, m_config.rigctldConfig().rigModel, m_wineDrivers);
        if (outcome.kind() == VARALaunchConfigurator::Outcome::Kind::healed) {
            servicesLog::info(line(plan, QString::fromUtf8("ini self-heal \u2014 ") + outcome.summary()));
        }
    } catch (const std::exception &error) {
        servicesLog::warning(line(plan, QString::fromUtf8("ini self-heal skipped \u2014 ") + QString::fromUtf8(error.what())));
    }
}

QCoro::Task<VARAStartPath::Attempt> VARAStartPath::attempt(const VARALaunchPlan &plan, int number, std::stop_token cancel)
{
    QPointer<VARAStartPath> self(this);
    QPointer<ManagedProcess> process(&m_process);
    Clock &clock = m_clock;
    // Ending the Wine server would end an installer's Wine programs too.
    const bool prefixFree = co_await waitForPrefix(plan, cancel);
    if (!prefixFree || !self) {
        co_return Attempt::abandoned;
    }
    // An installer may have just put the modem's program there.
    const auto [program, arguments] = checkedPrograms(plan);
    m_reaper.killWineserver();
    if (number > 1) {
        servicesLog::info(line(plan, QStringLiteral("retry attempt %1/%2, waiting %3s...")
                                         .arg(number)
                                         .arg(VARALaunchPlan::kLaunchAttempts)
                                         .arg(VARALaunchPlan::kRetryPauseSeconds)));
        const bool paused = co_await clock.sleep(VARALaunchPlan::kRetryPause, cancel);
        if (!paused || !self) {
            co_return Attempt::abandoned;
        }
    }

    try {
        co_await process->start(program, arguments, plan.environment, plan.port, cancel);
    } catch (const std::exception &error) {
        if (!self) {
            co_return Attempt::abandoned;
        }
        const QString description = QString::fromUtf8(error.what());
        servicesLog::error(line(plan, QStringLiteral("process launch failed: ") + description));
        process->setLastError(QStringLiteral("Failed to launch: ") + description);
        co_return Attempt::launchFailed;
    }
    if (!self || cancel.stop_requested()) {
        co_return Attempt::abandoned;
    }
    servicesLog::info(line(plan, QStringLiteral("process launched, pid=%1, state=%2")
                                     .arg(QString::number(process->pid().value_or(-1)), toRaw(process->state()))));
    servicesLog::info(line(plan, QStringLiteral("waiting up to %1s for TCP response on port %2...")
                                     .arg(VARALaunchPlan::kReadyTimeoutSeconds)
                                     .arg(plan.port)));

    const bool ready = co_await waitForReady(plan.port, VARALaunchPlan::kReadyTimeout, cancel);
    if (!self || cancel.stop_requested()) {
        co_return Attempt::abandoned;
    }
    if (ready && !hasLeftItsStart(*process)) {
        process->markRunning();
        servicesLog::info(line(plan, QStringLiteral("READY after attempt %1, state=%2").arg(number).arg(toRaw(process->state()))));
        co_return Attempt::ready;
    }
    if (hasLeftItsStart(*process)) {
        // Whatever answered, it was not this launch: Wine ended before the modem was ready.
        const auto error = process->lastError();
        servicesLog::warning(line(plan, QStringLiteral("process ended while waiting for port %1 ").arg(plan.port) +
                                            ofAttempts(number) + (error ? QStringLiteral(": ") + *error : QString())));
    } else {
        servicesLog::warning(line(plan, QStringLiteral("not responding after %1s ").arg(VARALaunchPlan::kReadyTimeoutSeconds) +
                                            ofAttempts(number)));
    }
    process->stop();
    co_return Attempt::silent;
}

std::pair<QString, QStringList> VARAStartPath::checkedPrograms(const VARALaunchPlan &plan) const
{
    const QString modemName = displayName(m_variant);
    const ProgramFile wine = checkProgramForLaunch(QStringLiteral("Wine for ") + modemName, plan.program);
    const ProgramFile modem = checkProgramForLaunch(modemName, plan.arguments.value(0), ProgramUse::wine, places::winePrefix());
    if (modem.unusable) {
        // Not launched: Wine would go on looking where this check did not (through the short
        // names of other entries, for one).
        servicesLog::error(line(plan, *modem.unusable));
        throw HelperError::varaNotInstalled();
    }
    return {wine.toLaunch(), QStringList{modem.resolved}};
}

QCoro::Task<bool> VARAStartPath::waitForPrefix(const VARALaunchPlan &plan, std::stop_token cancel)
{
    const std::optional<QString> holder = m_prefixHold.holder();
    if (!holder) {
        co_return true;
    }
    if (refusedForRemoval()) {
        co_return false;
    }
    servicesLog::info(line(plan, QStringLiteral("waiting for %1 to finish with the Wine prefix...").arg(*holder)));
    QPointer<VARAStartPath> self(this);
    const WinePrefixHold &hold = m_prefixHold;
    Clock &clock = m_clock;
    std::vector<std::function<QCoro::Task<void>(std::stop_token)>> waits;
    waits.push_back([&hold](std::stop_token stop) -> QCoro::Task<void> { co_await hold.waitUntilFree(stop); });
    waits.push_back([&clock](std::stop_token stop) -> QCoro::Task<void> { co_await clock.sleep(kPrefixWait, stop); });
    co_await async::firstOf<void>(std::move(waits), cancel);
    if (!self || cancel.stop_requested()) {
        co_return false;
    }
    const std::optional<QString> stillHeld = hold.holder();
    if (!stillHeld) {
        co_return true;
    }
    // A removal may have taken the hold while the start waited for another.
    if (refusedForRemoval()) {
        co_return false;
    }
    const QString message = QStringLiteral("The Wine prefix is in use by %1; start %2 again once it has finished.")
                                .arg(*stillHeld, displayName(m_variant));
    servicesLog::error(line(plan, QString::fromUtf8("FAILED \u2014 ") + message));
    // After an earlier attempt the process is still stopping, which a failed start leaves as it is.
    m_process.failStart(message);
    m_process.setLastError(message);
    co_return false;
}

bool VARAStartPath::refusedForRemoval()
{
    // What is being removed is not waited for: the start would run from what is left of it.
    const std::optional<QString> &removal = m_prefixHold.removal();
    if (!removal) {
        return false;
    }
    const QString message = WinePrefixHold::removalRefusal(*removal);
    servicesLog::error(QStringLiteral("[VARA] %1: FAILED \u2014 %2").arg(displayName(m_variant), message));
    m_process.failStart(message);
    m_process.setLastError(message);
    return true;
}

QCoro::Task<bool> VARAStartPath::waitForReady(int port, std::chrono::milliseconds timeout, std::stop_token cancel)
{
    QPointer<ManagedProcess> process(&m_process);
    Clock &clock = m_clock;
    const auto deadline = clock.now() + timeout;
    while (clock.now() < deadline) {
        if (cancel.stop_requested() || !process || hasLeftItsStart(*process)) {
            co_return false;
        }
        // The probe blocks, so it runs on a thread of its own.
        std::function<bool()> probe = [port] { return VARAProbe::probe(port); };
        const std::optional<bool> answered = co_await async::OffThread<bool>(std::move(probe));
        if (!process) {
            co_return false;
        }
        // A modem of someone else's on the port answers as well as this launch's would.
        if (answered == true && listensOnPort(port, ProcessTree{process->pid().value_or(0), places::winePrefix()})) {
            co_await clock.sleep(kPauseAfterAnswer, cancel);
            co_return true;
        }
        co_await clock.sleep(kPauseAfterSilentProbe, cancel);
    }
    co_return false;
}

} // namespace cordavelle
