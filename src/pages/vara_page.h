#pragma once

#include "base/service_config.h"
#include "pages/service_page_frame.h"
#include "pages/vara_page_model.h"

#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace cordavelle {

class Clock;
class CoalescedRefresh;
class ConfigStore;
class CopyableCommand;
class LifecyclePicker;
class LogViewer;
class ServiceOrchestrator;
class VARAInstaller;

// The management window's page for one VARA modem: header, lifecycle mode, the
// Wine and version it runs with and the update check, where its audio and radio are set up, the
// audio debug switch and the log. It installs, starts and stops nothing itself (the header's
// button does), and each control writes one field of this modem's record alone.
class VARAPage final : public QWidget {
    Q_OBJECT
public:
    // `installer` is the modem's installer, which the update check asks.
    VARAPage(ServiceOrchestrator &orchestrator, ConfigStore &config, Clock &clock, VARAVariant variant,
             VARAInstaller &installer, QWidget *parent = nullptr);
    ~VARAPage() override;

    VARAVariant variant() const { return m_variant; }
    const vara_page::VARAPageState &state() const { return *m_state; }

    // Compares the newest published version with the recorded one.
    void checkForUpdate();

    // The parts tests and pictures look at.
    LifecyclePicker *lifecyclePicker() const { return m_frame.lifecycle(); }
    QLabel *winePathLabel() const { return m_winePath; }
    // Why the Wine a start would run, or the one passed over, can't be used; hidden otherwise.
    QLabel *wineProblemLabel() const { return m_wineProblem; }
    // The command that completes a Wine that can't run VARA, where there is one; hidden otherwise.
    CopyableCommand *wineCommand() const { return m_wineCommand; }
    QLabel *versionLabel() const { return m_version; }
    QPushButton *checkButton() const { return m_check; }
    QLabel *resultLabel() const { return m_result; }
    QCheckBox *audioDebugSwitch() const { return m_audioDebug; }
    LogViewer *logViewer() const { return m_frame.log(); }

private:
    VARAConfigFields record() const;
    // Stores the record as `change` leaves it; returns why the store refused it, or nothing.
    StoreAnswer edit(const std::function<void(VARAConfigFields &)> &change);
    void refresh();
    QWidget *buildInstallation();
    QWidget *buildConfiguration();
    QWidget *buildDiagnostics();

    ServiceOrchestrator &m_orchestrator;
    ConfigStore &m_config;
    const VARAVariant m_variant;
    VARAInstaller &m_installer;
    std::shared_ptr<vara_page::VARAPageState> m_state;
    CoalescedRefresh *m_refresh;
    ServicePageFrame m_frame;

    QLabel *m_versionTitle = nullptr;
    QLabel *m_winePath = nullptr;
    QLabel *m_wineProblem = nullptr;
    CopyableCommand *m_wineCommand = nullptr;
    QLabel *m_version = nullptr;
    QProgressBar *m_checking = nullptr;
    QPushButton *m_check = nullptr;
    QLabel *m_result = nullptr;
    QCheckBox *m_audioDebug = nullptr;
};

} // namespace cordavelle
