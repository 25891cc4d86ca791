#pragma once

#include "widgets/status_look.h"
#include "base/service_config.h"
#include "install/installer.h"
#include "platform/program_search.h"
#include "radio/serial_port_manager.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace cordavelle {
class Clock;
class CommandRunner;
} // namespace cordavelle

// The decisions of the rigctld page, apart from its widgets: the rig catalogue that rigctld
// lists, the pickers' rows, the host check, the connection test and the Hamlib section.
namespace cordavelle::rigctld_page {

// --- Rig models ---
struct RigModel {
    int id = 0;
    QString name;
    bool operator==(const RigModel &) const = default;
};

// The models of a `rigctld -l` table: maker and model column joined by one space, sorted by
// name without regard to case, rows of equal names in the order listed. Nothing for output that
// is not UTF-8 or has no model row.
std::vector<RigModel> parseRigctldList(const QByteArray &output);
// Runs `executable -l` without blocking the event loop and parses what it printed, whatever
// its exit status; nothing when it cannot be started.
QCoro::Task<std::vector<RigModel>> readRigctldList(CommandRunner &runner, QString executable);
// The picker's rows: the listed models in their order with two relabelled, and the saved model
// put first as "Unknown (<id>)" when the list lacks it (never for model 0).
std::vector<RigModel> availableRigModels(const std::vector<RigModel> &listed, int saved);

// --- Radio connection ---
const std::vector<int> &baudRates();
// Letters, marks and numbers of any script and ".-[]_". A bracketed IPv6 literal such as
// "[::1]" passes as a whole.
bool isValidHost(const QString &host);
// The sentence under the TCP port: where rigctld listens, from its bind address.
QString listenCaption(const QString &bindAddress);
// While rigctld runs on another listen address than the stored settings give it: "rigctld
// listens on 127.0.0.1 until it restarts; every interface takes effect when rigctld next
// starts." Empty when nothing runs or the addresses agree.
QString addressWaitingForNextStart(const std::optional<QString> &running, const QString &stored);

// --- Connection test ---
// A whole decimal number of hertz above zero ("14074000", "7.1e6"); "inf", "nan" and hex
// numbers are no frequency.
std::optional<double> frequencyHertz(const QString &line);
// The result line of a reply that arrived, decoded or not.
QString classifyReply(const QByteArray &reply);
// Asks the rigctld on 127.0.0.1:`port` for the frequency ("f"), waiting at most 5 s to connect
// and 5 s for the reply, and says what came back. A result that reports success begins with "OK".
QCoro::Task<QString> queryRigctld(int port, Clock &clock);

// --- Page state ---
// What the page shows of its background work. The work holds this object, not the page, so a
// result that comes after the page has gone lands here and goes nowhere else.
class RigctldPageState final : public QObject {
    Q_OBJECT
public:
    const std::vector<RigModel> &rigModels() const { return m_rigModels; }
    const std::optional<QString> &testResult() const { return m_testResult; }
    bool isTesting() const { return m_isTesting; }

    // Reads the catalogue of `executable` (nothing without one); a non-empty list replaces the
    // models when it comes, an empty one leaves them.
    static void loadRigModels(std::shared_ptr<RigctldPageState> state, CommandRunner &runner,
                              std::optional<QString> executable);
    // Runs one connection test against `port`; a test under way is not started twice.
    static void testConnection(std::shared_ptr<RigctldPageState> state, int port, Clock &clock);
    // rigctld has left the run that was tested: its result no longer holds, and a test of that
    // run still under way keeps its result to itself.
    void forgetResult();

Q_SIGNALS:
    void changed();

private:
    static QCoro::Task<void> load(std::shared_ptr<RigctldPageState> state, CommandRunner &runner, QString executable);
    static QCoro::Task<void> test(std::shared_ptr<RigctldPageState> state, int port, Clock &clock);

    std::vector<RigModel> m_rigModels;
    std::optional<QString> m_testResult;
    bool m_isTesting = false;
    // Counts forgetResult(), so that a test knows whether its run is still the one shown.
    std::uint64_t m_run = 0;
};

// The test row: the button, the busy indicator, the result and the hint, from the state alone.
struct TestRow {
    bool buttonEnabled = false;
    bool busy = false;
    std::optional<QString> result;
    Tone resultTone = Tone::secondary;
    bool hint = false;
    bool operator==(const TestRow &) const = default;
};
TestRow testRow(bool isTesting, const std::optional<QString> &result, bool running);

// --- Hamlib section ---
// What the section is drawn from: the installer's progress and the places it knows.
struct HamlibFacts {
    InstallProgress progress;
    // The helper's own copy: there and executable, and its version.
    InstalledCopy managed;
    QString customPath;
    std::optional<QString> effectivePath;
    // Why a start would refuse the custom path.
    std::optional<QString> customRefusal;
    // Without a custom path or a usable copy: the copy the look-up passed over because another
    // user could change it, and why, as a start says it.
    std::optional<PassedOver> passedOver;
};

struct HamlibSection {
    enum class View { idle, downloading, extracting, complete, error };
    enum class Action { install, cancel, retry, chooseCustom, resetToAuto };
    struct Button {
        QString label;
        Action action = Action::install;
        bool primary = false;
        QString help;
        bool operator==(const Button &) const = default;
    };

    View view = View::idle;
    // idle: the location row; `path` empty means rigctld was not found.
    QString status;
    Tone statusTone = Tone::secondary;
    bool statusAccent = false;
    bool filledSymbol = false;
    // The status is a warning: the custom path would not be launched.
    bool warning = false;
    QString path;
    // downloading: the bar's value out of 1.0; complete and error: the line shown.
    double progress = 0.0;
    QString line;
    std::vector<Button> buttons;
};
HamlibSection hamlibSection(const HamlibFacts &facts);
// Where the file picker opens.
QString binaryPickerFolder(const std::optional<QString> &effectivePath);

} // namespace cordavelle::rigctld_page
