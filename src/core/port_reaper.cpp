#include "port_reaper.h"

#include "base/helper_error.h"
#include "base/helper_logger.h"

#include "platform/clock.h"
#include "platform/command_runner.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringDecoder>

#include <csignal>

namespace cordavelle {

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeToExit = 3000ms;
constexpr auto kRecheckInterval = 100ms;
constexpr auto kPauseWhenClear = 200ms;
constexpr auto kPauseAfterKill = 500ms;

// What may be reaped on a service's ports: its own program, known by the program file's name or
// as the file the service is configured to run.
struct ServiceProgram {
    QString name;
    QString configuredPath;

    bool matches(const std::optional<QString> &executable) const
    {
        if (!executable) {
            return false;
        }
        return QFileInfo(*executable).fileName() == name
               || (!configuredPath.isEmpty() && QFileInfo(configuredPath).canonicalFilePath() == *executable);
    }
};

ServiceProgram programOf(ServiceID id, const RigctldConfig &rigctld, const DirewolfConfig &direwolf)
{
    if (id == ServiceID::direwolf) {
        return {QStringLiteral("direwolf"), direwolf.direwolfPath};
    }
    return {QStringLiteral("rigctld"), rigctld.rigctldPath};
}

struct Listener {
    int32_t pid;
    std::optional<QString> executable;
};

// The listeners on a port, split into those that may be signalled (the service's own program)
// and every other program, the helper itself included. Identifiers that kill(2) reads as a group
// are dropped.
struct Listeners {
    std::vector<int32_t> reapable;
    std::vector<Listener> foreign;
};

Listeners sortListeners(const std::vector<int32_t> &pids, const ServiceProgram &program, CommandRunner &runner)
{
    const int64_t self = QCoreApplication::applicationPid();
    Listeners out;
    for (const int32_t pid : pids) {
        if (pid < 1) {
            continue;
        }
        Listener listener{pid, runner.executableOf(pid)};
        if (pid != self && program.matches(listener.executable)) {
            out.reapable.push_back(pid);
        } else {
            out.foreign.push_back(std::move(listener));
        }
    }
    return out;
}

QString programText(const Listener &listener)
{
    return listener.executable ? QFileInfo(*listener.executable).fileName() : QStringLiteral("an unknown program");
}

// Why the service can't have `port`: a start looks for other users' listeners before it reaps,
// so that what is left is one of the user's own programs.
QString heldBy(ServiceID id, int port, const DirewolfConfig &direwolf, const Listener &listener)
{
    const QString name = id == ServiceID::direwolf ? (port == direwolf.kissPort ? QStringLiteral("Direwolf's KISS port")
                                                                                : QStringLiteral("Direwolf's AGW port"))
                                                   : QStringLiteral("rigctld's port");
    const PortHolder holder = listener.executable
                                  ? PortHolder{PortHolder::Kind::thisUser, {listener.pid, programText(listener)}}
                                  : PortHolder{};
    return HelperError::portInUse(name, port, true, holder).description();
}

QString portList(const std::vector<int> &ports)
{
    QStringList texts;
    for (const int port : ports) {
        texts << QString::number(port);
    }
    return QLatin1Char('[') + texts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

} // namespace

std::vector<int> PortReaper::portsToReap(ServiceID id, const RigctldConfig &rigctld, const DirewolfConfig &direwolf)
{
    std::vector<int> candidates;
    switch (id) {
    case ServiceID::varaHF:
    case ServiceID::varaFM: break;
    case ServiceID::rigctld: candidates = {rigctld.tcpPort}; break;
    case ServiceID::direwolf: candidates = {direwolf.kissPort, direwolf.agwPort}; break;
    }
    std::vector<int> ports;
    for (const int port : candidates) {
        if (port >= 1) {
            ports.push_back(port);
        }
    }
    return ports;
}

std::vector<int32_t> PortReaper::pidsListeningOn(int port) const
{
    Command command;
    command.program = QStringLiteral("/usr/sbin/lsof");
    command.arguments = {QStringLiteral("-t"), QStringLiteral("-iTCP:%1").arg(port), QStringLiteral("-sTCP:LISTEN")};
    command.captureOutput = true;
    const CommandResult result = m_runner.runAndWait(command);
    if (!result.started) {
        return {};
    }

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(result.standardOutput);
    if (decoder.hasError()) {
        return {};
    }
    std::vector<int32_t> pids;
    for (const QString &piece : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        qsizetype begin = 0;
        qsizetype end = piece.size();
        while (begin < end && (piece[begin] == QLatin1Char(' ') || piece[begin] == QLatin1Char('\t'))) {
            ++begin;
        }
        while (end > begin && (piece[end - 1] == QLatin1Char(' ') || piece[end - 1] == QLatin1Char('\t'))) {
            --end;
        }
        bool ok = false;
        const int pid = piece.mid(begin, end - begin).toInt(&ok, 10);
        if (ok) {
            pids.push_back(pid);
        }
    }
    return pids;
}

QCoro::Task<std::optional<QString>> PortReaper::reapStaleProcessesHoldingPorts(ServiceID id, RigctldConfig rigctld,
                                                                               DirewolfConfig direwolf,
                                                                               std::stop_token cancel) const
{
    const std::vector<int> ports = portsToReap(id, rigctld, direwolf);
    if (ports.empty() || cancel.stop_requested()) {
        co_return std::nullopt;
    }
    const QString service = toRaw(id);
    const ServiceProgram program = programOf(id, rigctld, direwolf);
    const auto listenersOn = [&](int port) { return sortListeners(pidsListeningOn(port), program, m_runner); };

    bool foundAny = false;
    std::optional<QString> held;
    for (const int port : ports) {
        const Listeners listeners = listenersOn(port);
        for (const int32_t pid : listeners.reapable) {
            foundAny = true;
            HelperLogger::error(QStringLiteral("[ServiceOrchestrator] Reaping stale process pid %1 holding %2 port %3 "
                                               "before spawn")
                                    .arg(QString::number(pid), service, QString::number(port)),
                                HelperLogger::Category::services);
            m_runner.signalProcess(pid, SIGTERM);
        }
        for (const Listener &other : listeners.foreign) {
            HelperLogger::warning(QStringLiteral("[ServiceOrchestrator] %1 port %2 is held by %3 (pid %4), which is not "
                                                 "%1: leaving it running")
                                      .arg(service, QString::number(port), programText(other),
                                           QString::number(other.pid)),
                                  HelperLogger::Category::services);
            if (!held) {
                held = heldBy(id, port, direwolf, other);
            }
        }
    }
    if (!foundAny) {
        co_return held;
    }

    const auto deadline = m_clock.wallNow() + kTimeToExit;
    while (m_clock.wallNow() < deadline) {
        if (cancel.stop_requested()) {
            co_return held;
        }
        bool stillThere = false;
        for (const int port : ports) {
            if (!listenersOn(port).reapable.empty()) {
                stillThere = true;
                break;
            }
        }
        if (!stillThere) {
            HelperLogger::info(QStringLiteral("[ServiceOrchestrator] Ports %1 clear after SIGTERM reap").arg(portList(ports)),
                               HelperLogger::Category::services);
            co_await m_clock.sleep(kPauseWhenClear, cancel);
            co_return held;
        }
        co_await m_clock.sleep(kRecheckInterval, cancel);
    }
    if (cancel.stop_requested()) {
        co_return held;
    }

    for (const int port : ports) {
        for (const int32_t pid : listenersOn(port).reapable) {
            HelperLogger::error(QStringLiteral("[ServiceOrchestrator] SIGKILL'ing pid %1 still holding port %2").arg(pid).arg(port),
                                HelperLogger::Category::services);
            m_runner.signalProcess(pid, SIGKILL);
        }
    }
    co_await m_clock.sleep(kPauseAfterKill, cancel);
    co_return held;
}

} // namespace cordavelle
