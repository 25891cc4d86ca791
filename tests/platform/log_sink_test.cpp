#include "platform/log_sink.h"

#include "support/scoped_environment.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

namespace cordavelle {
namespace {

// What `sink` wrote to its temporary file.
QByteArray written(std::FILE *file)
{
    std::fflush(file);
    std::rewind(file);
    QByteArray out;
    char buffer[512];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, file)) {
        out.append(buffer, static_cast<qsizetype>(n));
    }
    return out;
}

TEST(StderrLogSink, MinimumLevelComesFromTheEnvironment)
{
    struct Case {
        const char *value;
        LogLevel expected;
        bool complaint;
    };
    const Case cases[] = {
        {nullptr, LogLevel::Info, false},  {"", LogLevel::Info, false},     {"debug", LogLevel::Debug, false},
        {" Error ", LogLevel::Error, false}, {"verbose", LogLevel::Info, true}, {"3", LogLevel::Info, true},
    };
    test::ScopedEnvironment environment;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "<unset>");
        if (c.value) {
            environment.set(StderrLogSink::kLevelVariable, c.value);
        } else {
            environment.unset(StderrLogSink::kLevelVariable);
        }
        std::FILE *file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        const auto sink = StderrLogSink::fromEnvironment(file);
        EXPECT_EQ(sink->minimumLevel(), c.expected);
        EXPECT_EQ(written(file).contains("is not one of debug, info, notice, error, fault"), c.complaint);
        std::fclose(file);
    }
}

TEST(StderrLogSink, WritesOneLineAtOrAboveItsLevel)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    StderrLogSink sink(file, LogLevel::Info);
    sink.write(LogLevel::Debug, "com.cordavelle.helper", "HTTPServer", "Connection from 127.0.0.1:1");
    sink.write(LogLevel::Info, "com.cordavelle.helper", "services", "100% [x]");
    sink.write(LogLevel::Fault, "com.cordavelle.helper", "general", "down");
    EXPECT_EQ(written(file), "info com.cordavelle.helper[services] 100% [x]\n"
                             "fault com.cordavelle.helper[general] down\n");
    std::fclose(file);
}

TEST(StderrLogSink, HeldLinesGoOutOncePerEventLoopTurnAndAtOnceWithAnError)
{
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        StderrLogSink sink(file, LogLevel::Info);
        sink.holdLinesUntilIdle();
        sink.write(LogLevel::Info, "s", "c", "one");
        sink.write(LogLevel::Info, "s", "c", "two");
        EXPECT_EQ(written(file), "");
        QCoreApplication::processEvents();
        EXPECT_EQ(written(file), "info s[c] one\ninfo s[c] two\n");

        sink.write(LogLevel::Notice, "s", "c", "three");
        std::thread([&sink] { sink.write(LogLevel::Info, "s", "c", "from a worker"); }).join();
        sink.write(LogLevel::Info, "s", "c", "four");
        sink.write(LogLevel::Error, "s", "c", "five");
        EXPECT_EQ(written(file).split('\n').mid(2).join('|'), "notice s[c] three|info s[c] from a worker|"
                                                               "info s[c] four|error s[c] five|");
        sink.write(LogLevel::Info, "s", "c", "six");
    }
    EXPECT_TRUE(written(file).endsWith("error s[c] five\ninfo s[c] six\n")) << "the sink's end writes what it held";
    std::fclose(file);
}

TEST(StderrLogSink, HeldLinesGoOutWhenTheProcessEndsBeforeTheNextTurn)
{
    struct End {
        const char *name;
        void (*end)();
        bool aborts;
    };
    const End ends[] = {
        {"exit", [] { std::exit(0); }, false},
        // Where an exception nobody catches leads.
        {"terminate", [] { std::terminate(); }, true},
        {"qFatal", [] { qFatal("the end"); }, true},
    };
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    for (const End &end : ends) {
        SCOPED_TRACE(end.name);
        const QByteArray path = folder.filePath(QString::fromLatin1(end.name)).toLocal8Bit();
        const auto endHolding = [&] {
            std::FILE *file = std::fopen(path.constData(), "w");
            // Left to the process's end, as the program's own sink is.
            auto *sink = new StderrLogSink(file, LogLevel::Info);
            sink->holdLinesUntilIdle();
            sink->write(LogLevel::Info, "s", "c", "one");
            sink->write(LogLevel::Notice, "s", "c", "two");
            end.end();
        };
        EXPECT_EXIT(endHolding(),
                    [&end](int status) {
                        return end.aborts ? WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT
                                          : WIFEXITED(status) && WEXITSTATUS(status) == 0;
                    },
                    "");
        QFile file(QString::fromLocal8Bit(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), "info s[c] one\nnotice s[c] two\n");
    }
}

} // namespace
} // namespace cordavelle
