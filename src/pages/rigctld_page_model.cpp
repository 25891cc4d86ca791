#include "pages/rigctld_page_model.h"

#include "base/helper_error.h"

#include <QFileInfo>
#include <QHostAddress>

namespace cordavelle::rigctld_page {

const std::vector<int> &baudRates()
{
    static const std::vector<int> rates{1200, 4800, 9600, 19200, 38400, 57600, 115200};
    return rates;
}

bool isValidHost(const QString &host)
{
    if (host.isEmpty()) {
        return false;
    }
    if (host.startsWith(u'[') && host.endsWith(u']') && host.size() > 2) {
        const QHostAddress address(host.mid(1, host.size() - 2));
        if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            return true;
        }
    }
    for (const char32_t scalar : host.toUcs4()) {
        switch (QChar::category(scalar)) {
        case QChar::Letter_Uppercase:
        case QChar::Letter_Lowercase:
        case QChar::Letter_Titlecase:
        case QChar::Letter_Modifier:
        case QChar::Letter_Other:
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
        case QChar::Number_DecimalDigit:
        case QChar::Number_Letter:
        case QChar::Number_Other: continue;
        default: break;
        }
        if (scalar != U'.' && scalar != U'-' && scalar != U'[' && scalar != U']' && scalar != U'_') {
            return false;
        }
    }
    return true;
}

QString listenCaption(const QString &bindAddress)
{
    if (bindAddress == QStringLiteral("::")) {
        return QStringLiteral(
            "rigctld listens on all interfaces, IPv4 and IPv6 (::), for Cordavelle client connections.");
    }
    if (bindAddress == QStringLiteral("0.0.0.0")) {
        return QStringLiteral("rigctld listens on all interfaces (0.0.0.0) for Cordavelle client connections.");
    }
    return QStringLiteral("rigctld listens on this computer only (%1) for Cordavelle client connections.").arg(bindAddress);
}

QString addressWaitingForNextStart(const std::optional<QString> &running, const QString &stored)
{
    const auto named = [](const QString &address) {
        return address == QStringLiteral("::") || address == QStringLiteral("0.0.0.0") ? QStringLiteral("every interface")
                                                                                        : address;
    };
    if (!running || named(*running) == named(stored)) {
        return {};
    }
    return QStringLiteral("rigctld listens on %1 until it restarts; %2 takes effect when rigctld next starts.")
        .arg(named(*running), named(stored));
}

void RigctldPageState::loadRigModels(std::shared_ptr<RigctldPageState> state, CommandRunner &runner,
                                     std::optional<QString> executable)
{
    if (executable) {
        load(std::move(state), runner, std::move(*executable));
    }
}

QCoro::Task<void> RigctldPageState::load(std::shared_ptr<RigctldPageState> state, CommandRunner &runner,
                                         QString executable)
{
    std::vector<RigModel> models = co_await readRigctldList(runner, std::move(executable));
    if (!models.empty()) {
        state->m_rigModels = std::move(models);
        Q_EMIT state->changed();
    }
}

void RigctldPageState::testConnection(std::shared_ptr<RigctldPageState> state, int port, Clock &clock)
{
    if (state->m_isTesting) {
        return;
    }
    state->m_isTesting = true;
    state->m_testResult.reset();
    Q_EMIT state->changed();
    test(std::move(state), port, clock);
}

QCoro::Task<void> RigctldPageState::test(std::shared_ptr<RigctldPageState> state, int port, Clock &clock)
{
    const std::uint64_t run = state->m_run;
    QString result = co_await queryRigctld(port, clock);
    if (state->m_run == run) {
        state->m_testResult = std::move(result);
    }
    state->m_isTesting = false;
    Q_EMIT state->changed();
}

void RigctldPageState::forgetResult()
{
    ++m_run;
    if (m_testResult) {
        m_testResult.reset();
        Q_EMIT changed();
    }
}

TestRow testRow(bool isTesting, const std::optional<QString> &result, bool running)
{
    TestRow row;
    row.buttonEnabled = !isTesting && running;
    row.busy = isTesting;
    if (result && !isTesting) {
        row.result = result;
        row.resultTone = result->startsWith(QStringLiteral("OK")) ? Tone::green : Tone::red;
    }
    row.hint = !running && !isTesting && !result;
    return row;
}

HamlibSection hamlibSection(const HamlibFacts &facts)
{
    using Action = HamlibSection::Action;
    HamlibSection out;
    using Phase = InstallProgress::Phase;
    const InstallProgress &progress = facts.progress;
    if (progress.working()) {
        // Everything after the downloads is the extracting view.
        const bool downloading = progress.phase == Phase::downloading;
        out.view = downloading ? HamlibSection::View::downloading : HamlibSection::View::extracting;
        out.progress = downloading ? progress.fraction : 0.0;
        out.buttons = {{QStringLiteral("Cancel"), Action::cancel, false, {}}};
        return out;
    }
    if (progress.phase == Phase::complete) {
        out.view = HamlibSection::View::complete;
        out.line = QStringLiteral("Hamlib %1 installed").arg(facts.managed.version);
        return out;
    }
    if (progress.phase == Phase::failed) {
        out.view = HamlibSection::View::error;
        out.line = progress.error;
        out.buttons = {{QStringLiteral("Retry"), Action::retry, false, {}}};
        return out;
    }

    const bool custom = !facts.customPath.isEmpty();
    if (facts.effectivePath) {
        out.path = *facts.effectivePath;
        out.filledSymbol = custom && !facts.customRefusal;
        if (facts.managed.present && !custom) {
            out.status = QStringLiteral("rigctld %1 installed (Helper-managed)").arg(facts.managed.version);
            out.statusTone = Tone::green;
        } else if (custom && facts.customRefusal) {
            out.status = *facts.customRefusal;
            out.statusTone = Tone::red;
            out.warning = true;
        } else if (custom) {
            out.status = QStringLiteral("rigctld overridden — custom path");
            out.statusAccent = true;
        } else {
            out.status = QStringLiteral("rigctld found at system path");
        }
    } else if (facts.passedOver) {
        out.path = facts.passedOver->path;
        out.status = HelperError::rigctldNotFound(facts.passedOver).description();
        out.statusTone = Tone::red;
        out.warning = true;
    } else {
        out.status = QStringLiteral("rigctld is not installed. Install it to use CAT rig control.");
    }
    if (facts.managed.present) {
        out.buttons.push_back({QStringLiteral("Reinstall"), Action::install, false, {}});
    } else if (facts.effectivePath) {
        out.buttons.push_back({QStringLiteral("Install Managed Copy"), Action::install, false, {}});
    } else {
        out.buttons.push_back({QStringLiteral("Install Hamlib"), Action::install, true, {}});
    }
    out.buttons.push_back({QStringLiteral("Choose Custom…"), Action::chooseCustom, false,
                           QStringLiteral("Point the Helper at a specific rigctld binary — e.g. one you compiled "
                                          "yourself, or one installed in a folder the Helper doesn't search.")});
    if (custom) {
        out.buttons.push_back({QStringLiteral("Reset to Auto"), Action::resetToAuto, false,
                               QStringLiteral("Clear the custom path and let the Helper auto-discover rigctld again.")});
    }
    return out;
}

QString binaryPickerFolder(const std::optional<QString> &effectivePath)
{
    return effectivePath ? QFileInfo(*effectivePath).absolutePath() : QStringLiteral("/usr/bin");
}

} // namespace cordavelle::rigctld_page
