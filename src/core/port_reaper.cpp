#include "port_reaper.h"

#include "base/helper_logger.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include <csignal>

namespace cordavelle {

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeToExit = 3000ms;
constexpr auto kRecheckInterval = 100ms;
constexpr auto kPauseWhenClear = 200ms;
constexpr auto kPauseAfterKill = 500ms;

// The listeners that may be signalled: never the helper itself (a service port set to the API's
// port would otherwise make it kill itself), never an identifier that kill(2) reads as a group.
std::vector<int32_t> signallableListeners(int port)
{
    const int64_t self = QCoreApplication::applicationPid();
    std::vector<int32_t> out;
    for (const int32_t pid : PortReaper::pidsListeningOn(port)) {
        if (pid > 0 && pid != self) {
            out.push_back(pid);
        }
    }
    return out;
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

std::vector<int32_t> PortReaper::pidsListeningOn(int port)
{
    Command command;
    command.program = QStringLiteral("/usr/sbin/lsof");
    command.arguments = {QStringLiteral("-t"), QStringLiteral("-iTCP:%1").arg(port), QStringLiteral("-sTCP:LISTEN")};
    command.captureOutput = true;
    const CommandResult result = Platform::current().commandRunner().runAndWait(command);
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

QCoro::Task<void> PortReaper::reapStaleProcessesHoldingPorts(ServiceID id, RigctldConfig rigctld,
                                                            DirewolfConfig direwolf)
{
    const std::vector<int> ports = portsToReap(id, rigctld, direwolf);
    if (ports.empty()) {
        co_return;
    }
    const QString service = toRaw(id);

    bool foundAny = false;
    for (const int port : ports) {
        for (const int32_t pid : signallableListeners(port)) {
            foundAny = true;
            HelperLogger::error(QStringLiteral("[ServiceOrchestrator] Reaping stale process pid %1 holding %2 port %3 "
                                               "before spawn")
                                    .arg(pid)
                                    .arg(service)
                                    .arg(port),
                                HelperLogger::Category::services);
            Platform::current().commandRunner().signalProcess(pid, SIGTERM);
        }
    }
    if (!foundAny) {
        co_return;
    }

    // The waits ignore cancellation: a cancelled start still finishes its reaping, and a sleep
    // that returned at once would turn the 3 s wait into a busy loop of lsof runs.
    const auto deadline = Platform::current().clock().wallNow() + kTimeToExit;
    while (Platform::current().clock().wallNow() < deadline) {
        bool held = false;
        for (const int port : ports) {
            if (!signallableListeners(port).empty()) {
                held = true;
                break;
            }
        }
        if (!held) {
            HelperLogger::info(QStringLiteral("[ServiceOrchestrator] Ports %1 clear after SIGTERM reap").arg(portList(ports)),
                               HelperLogger::Category::services);
            co_await Platform::current().clock().sleep(kPauseWhenClear);
            co_return;
        }
        co_await Platform::current().clock().sleep(kRecheckInterval);
    }

    for (const int port : ports) {
        for (const int32_t pid : signallableListeners(port)) {
            HelperLogger::error(QStringLiteral("[ServiceOrchestrator] SIGKILL'ing pid %1 still holding port %2").arg(pid).arg(port),
                                HelperLogger::Category::services);
            Platform::current().commandRunner().signalProcess(pid, SIGKILL);
        }
    }
    co_await Platform::current().clock().sleep(kPauseAfterKill);
}

} // namespace cordavelle
