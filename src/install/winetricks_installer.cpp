#include "winetricks_installer.h"

#include "own_file_modes.h"

#include "base/helper_places.h"
#include "base/task_drain.h"
#include "base/tool_lookup.h"
#include "platform/cancellation.h"
#include "platform/files.h"
#include "platform/tool_locator.h"

namespace cordavelle {

WinetricksInstaller::WinetricksInstaller(Fetch fetch, Log log, QObject *parent)
    : Installer(parent), m_fetch(std::move(fetch)), m_log(std::move(log))
{
}

WinetricksInstaller::~WinetricksInstaller()
{
    if (m_stop) {
        m_stop->request_stop();
        drainTask([this] { return m_progress.busy; });
    }
}

InstalledCopy WinetricksInstaller::installedCopy() const
{
    return {isRunnableOwnCopy(places::ownWinetricks()), {}};
}

void WinetricksInstaller::start()
{
    if (m_stop) {
        return;
    }
    m_stop.emplace();
    run(this, m_stop->get_token());
}

void WinetricksInstaller::cancel()
{
    if (m_stop) {
        m_stop->request_stop();
        return;
    }
    setProgress({});
}

QCoro::Task<void> WinetricksInstaller::run(QPointer<WinetricksInstaller> self, std::stop_token stop)
{
    using Phase = InstallProgress::Phase;
    self->setProgress({Phase::downloading, 0.0, {}, {}, true});
    self->m_log(QStringLiteral("Downloading winetricks..."));
    InstallProgress end;
    try {
        // Before anything is fetched: an install goes only where nobody else may lead it.
        usersOwnFolder(places::supportFolder());
        co_await self->m_fetch(stop);
        throwIfStopped(stop);
        end.phase = Phase::complete;
    } catch (const OperationCancelled &) {
        end.phase = Phase::idle;
    } catch (const std::exception &error) {
        const QString text = QString::fromUtf8(error.what());
        const QString what = QStringLiteral("Could not install winetricks: ");
        end.phase = Phase::failed;
        end.error = tools::withAptAdvice(text.startsWith(what) ? text : what + text, QStringLiteral("winetricks"));
    }
    if (!self) {
        co_return;
    }
    self->m_log(end.phase == Phase::complete ? QStringLiteral("winetricks installed")
                : end.phase == Phase::idle   ? QStringLiteral("winetricks installation cancelled")
                                             : QStringLiteral("ERROR: ") + end.error);
    self->m_stop.reset();
    self->setProgress(end);
}

void WinetricksInstaller::setProgress(InstallProgress progress)
{
    if (progress != m_progress) {
        m_progress = std::move(progress);
        Q_EMIT changed();
    }
}

} // namespace cordavelle
