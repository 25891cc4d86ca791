#pragma once

#include "widgets/alert_presenter.h"
#include "app/setup_installers.h"
#include "app/sidebar_model.h"

#include <QCoroTask>
#include <QStringList>
#include <QWidget>

#include <array>
#include <functional>

class QLabel;
class QVBoxLayout;
class QPushButton;

namespace cordavelle {

class CoalescedRefresh;
class ConfigStore;
class Installer;
class InstallerRow;
class LogViewer;
enum class RowCommand;

// The destructive actions the checklist asks about first.
enum class ResetTarget { winePrefix, varaHF, varaFM };
// Its question, with the destructive button first and "Cancel" second.
Alert resetConfirmation(ResetTarget target);
// Said where the desktop has nothing to open the install log with: where it is, and an offer to
// copy that.
Alert noLogOpenerAlert(const QString &path);

// The five installers' log lines as one list, in the order they were shown.
QStringList combinedInstallLog(const SetupInstallers &installers);

struct SetupChecklistContext {
    SetupInstallers installers;
    ConfigStore &config;
    AlertPresenter &alerts;
    // Sends the management window to another section.
    std::function<void(SidebarSection)> select;
    // Opens a file with the desktop's handler for it; false when there is none.
    std::function<bool(const QString &path)> openFile;
};

// The management window's Setup page: Wine, winetricks and the Wine prefix, both VARA modems and
// Hamlib, each line following its installer live and offering the action that fits; the update
// check; where the install log is; and every installer's log lines in one viewer. It installs
// nothing itself: the shared installers do, so work started in the wizard shows here too.
class SetupChecklistPage final : public QWidget {
    Q_OBJECT
public:
    explicit SetupChecklistPage(SetupChecklistContext context, QWidget *parent = nullptr);

    enum class Line { wine, winetricks, prefix, varaHF, varaFM, hamlib };
    InstallerRow *row(Line line) const { return m_rows[std::size_t(line)]; }
    LogViewer *logViewer() const { return m_log; }
    QLabel *logFilePath() const { return m_logPath; }
    QPushButton *openLogButton() const { return m_openLog; }

    // Asks about `target` and, when confirmed, carries it out.
    void confirmReset(ResetTarget target);

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // The installers outlive the page: the removal and what follows it end even when the page
    // has gone.
    static QCoro::Task<void> deletePrefix(SetupInstallers installers);
    QWidget *buildLogFileLine();
    void addLine(Line line, QVBoxLayout *column);
    // Each line's installer, none for winetricks.
    std::array<Installer *, 6> lineInstallers() const;
    void act(Line line, RowCommand command);
    void refresh();
    void clearLogs();

    SetupChecklistContext m_context;
    CoalescedRefresh *m_refresh;
    std::array<InstallerRow *, 6> m_rows{};
    QLabel *m_logPath = nullptr;
    QPushButton *m_openLog = nullptr;
    LogViewer *m_log = nullptr;
};

} // namespace cordavelle
