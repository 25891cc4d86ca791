#include "termination_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cordavelle {

namespace {

// The write end is the only thing the handler touches: write(2) is safe in a signal handler.
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[2];
constexpr int kSignals[2] = {SIGINT, SIGTERM};

void forward(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[0], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    Q_ASSERT(g_pipe[0] < 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0) {
        qWarning("TerminationSignals: socketpair failed: %s", strerror(errno));
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    // A burst of signals must never block the handler.
    ::fcntl(g_pipe[0], F_SETFL, ::fcntl(g_pipe[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);

    struct sigaction action = {};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i) {
        ::sigaction(kSignals[i], &action, &g_previous[i]);
    }
}

TerminationSignals::~TerminationSignals()
{
    if (g_pipe[0] < 0) {
        return;
    }
    for (int i = 0; i < 2; ++i) {
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void TerminationSignals::readPending()
{
    unsigned char byte = 0;
    if (::read(g_pipe[1], &byte, 1) == 1) {
        Q_EMIT received(byte);
    }
}

} // namespace cordavelle
