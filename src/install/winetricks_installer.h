#pragma once

#include "install/installer.h"

#include <QCoroTask>
#include <QPointer>

#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

// Fetches the helper's own winetricks script on its own, for a Wine that came without one: the
// same fetch as the Wine install's. Main thread only.
class WinetricksInstaller final : public Installer {
    Q_OBJECT
public:
    using Fetch = std::function<QCoro::Task<void>(std::stop_token)>;
    using Log = std::function<void(const QString &)>;

    // `fetch` writes the script or throws; `log` takes the lines to show and keep.
    WinetricksInstaller(Fetch fetch, Log log, QObject *parent = nullptr);
    // A fetch still running is stopped and waited for.
    ~WinetricksInstaller() override;

    InstallProgress progress() const override { return m_progress; }
    InstalledCopy installedCopy() const override;
    void start() override;
    void cancel() override;

private:
    static QCoro::Task<void> run(QPointer<WinetricksInstaller> self, std::stop_token stop);
    void setProgress(InstallProgress progress);

    Fetch m_fetch;
    Log m_log;
    InstallProgress m_progress;
    std::optional<std::stop_source> m_stop;
};

} // namespace cordavelle
