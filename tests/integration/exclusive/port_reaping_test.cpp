#include "core/port_reaper.h"
#include "support/child_processes.h"
#include "support/test_platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// A child process that listens on a free loopback port until it is signalled: the test binary
// itself, or, given a program, that program run as a Python interpreter (a copy named as the
// service's program stands for it). The forked child only makes async-signal-safe calls before
// exec, so forking this multi-threaded test process is sound.
struct Listener {
    pid_t pid = -1;
    int port = 0;

    Listener() = default;
    Listener(Listener &&other) noexcept : pid(std::exchange(other.pid, -1)), port(other.port) {}
    Listener &operator=(Listener &&) = delete;

    static Listener start(bool ignoreTerm, const QByteArray &program = {})
    {
        static const char script[] = "import socket, signal\n"
                                     "s = socket.socket()\n"
                                     "s.bind(('127.0.0.1', 0))\n"
                                     "s.listen(1)\n"
                                     "print(s.getsockname()[1], flush=True)\n"
                                     "while True: signal.pause()\n";
        int report[2];
        if (::pipe(report) != 0) {
            return {};
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            if (ignoreTerm) {
                ::signal(SIGTERM, SIG_IGN);
            }
            if (!program.isEmpty()) {
                ::dup2(report[1], STDOUT_FILENO);
                ::execl(program.constData(), program.constData(), "-c", script, static_cast<char *>(nullptr));
                ::_exit(4);
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
                || ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
                ::_exit(2);
            }
            char text[16];
            const int size = std::snprintf(text, sizeof text, "%d\n", ntohs(address.sin_port));
            if (::write(report[1], text, size) != size) {
                ::_exit(3);
            }
            for (;;) {
                ::pause();
            }
        }
        ::close(report[1]);
        Listener listener;
        listener.pid = pid;
        QByteArray line;
        char c = 0;
        while (pid > 0 && ::read(report[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        listener.port = line.toInt();
        ::close(report[0]);
        return listener;
    }

    // Whether the child still runs.
    bool alive() const { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }

    // The signal that ended the child, or 0 when it has not ended by signal.
    int waitForEnd()
    {
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
            return 0;
        }
        pid = -1;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    ~Listener()
    {
        // A look at whether it still runs reaps it when it has ended.
        if (test::signalChild(pid, SIGKILL)) {
            ::waitpid(pid, nullptr, 0);
        }
    }
};

class PortReapingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo::exists("/usr/sbin/lsof") && !QFileInfo::exists("/usr/bin/lsof")) {
            GTEST_SKIP() << "lsof is not installed (scripts/deps installs it)";
        }
        env.useSystemTools();
    }

    // Reaps rigctld's port on virtual time while the real children run.
    bool reapRigctld(int port, std::optional<QString> *held = nullptr)
    {
        RigctldConfig config;
        config.tcpPort = port;
        bool done = false;
        auto task = [](PortReaper &reaper, bool &done, std::optional<QString> *held,
                       RigctldConfig config) -> QCoro::Task<void> {
            const auto reason = co_await reaper.reapStaleProcessesHoldingPorts(ServiceID::rigctld, config, {});
            if (held) {
                *held = reason;
            }
            done = true;
        }(reaper, done, held, config);
        return env.clock().runUntil([&] { return done; }, 10s, 20s);
    }

    // A Python interpreter under the name of the service's program.
    QByteArray serviceProgram(const QString &name)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        if (!QFile::exists(path) && !QFile::copy(QStringLiteral("/usr/bin/python3"), path)) {
            return {};
        }
        return QFile::encodeName(path);
    }

    test::TestPlatform env;
    PortReaper reaper{env.currentCommands(), env.clock()};
};

TEST_F(PortReapingTest, AStaleListenerIsAskedToLeave)
{
    Listener listener = Listener::start(/*ignoreTerm=*/false, serviceProgram("rigctld"));
    ASSERT_GT(listener.port, 0);
    const pid_t pid = listener.pid;
    EXPECT_EQ(reaper.pidsListeningOn(listener.port), std::vector<int32_t>{pid});

    ASSERT_TRUE(reapRigctld(listener.port));
    EXPECT_EQ(listener.waitForEnd(), SIGTERM);
    EXPECT_TRUE(env.log().contains(
        QStringLiteral("Reaping stale process pid %1 holding rigctld port %2 before spawn").arg(pid).arg(listener.port)));
    EXPECT_TRUE(env.log().contains(QStringLiteral("Ports [%1] clear after SIGTERM reap").arg(listener.port)));
    EXPECT_TRUE(reaper.pidsListeningOn(listener.port).empty());
}

TEST_F(PortReapingTest, AListenerThatIgnoresTermIsKilled)
{
    Listener listener = Listener::start(/*ignoreTerm=*/true, serviceProgram("rigctld"));
    ASSERT_GT(listener.port, 0);
    const pid_t pid = listener.pid;
    ASSERT_TRUE(reapRigctld(listener.port));
    EXPECT_EQ(listener.waitForEnd(), SIGKILL);
    EXPECT_TRUE(env.log().contains(QStringLiteral("SIGKILL'ing pid %1 still holding port %2").arg(pid).arg(listener.port)));
}

TEST_F(PortReapingTest, AnotherProgramOnThePortSurvivesAndTheStartIsRefused)
{
    // Another program of the user, and a program named like the service's under another name.
    Listener other = Listener::start(/*ignoreTerm=*/false);
    Listener python = Listener::start(/*ignoreTerm=*/false, serviceProgram("rigctld.py"));
    ASSERT_GT(other.port, 0);
    ASSERT_GT(python.port, 0);
    const std::pair<const Listener *, QString> cases[] = {
        {&other, QFileInfo(QCoreApplication::applicationFilePath()).fileName()}, {&python, "rigctld.py"}};
    for (const auto &[listener, program] : cases) {
        std::optional<QString> held;
        ASSERT_TRUE(reapRigctld(listener->port, &held));
        EXPECT_TRUE(listener->alive());
        EXPECT_EQ(held, QString::fromUtf8("rigctld's port %1 is in use by another of your programs (%2, pid %3) \u2014 "
                                          "stop it or choose another port")
                            .arg(QString::number(listener->port), program, QString::number(listener->pid)));
        EXPECT_TRUE(env.log().contains(QStringLiteral("rigctld port %1 is held by %2 (pid %3), which is not rigctld: "
                                                      "leaving it running")
                                           .arg(QString::number(listener->port), program,
                                                QString::number(listener->pid))));
    }

    // Nor is the helper itself ever signalled.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    ASSERT_TRUE(reapRigctld(server.serverPort()));
    EXPECT_TRUE(server.isListening());
    EXPECT_FALSE(env.log().contains("Reaping stale process"));
}

} // namespace
} // namespace cordavelle
