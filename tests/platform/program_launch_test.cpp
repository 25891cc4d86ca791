#include "platform/child_exec.h"
#include "platform/command_runner.h"
#include "platform/program_file.h"

#include "support/child_processes.h"
#include "support/fixed_accounts.h"
#include "support/needs_root.h"
#include "support/qt_printers.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cordavelle {
namespace {

// A uid and gid that own nothing on the machine.
constexpr uid_t kStrangerUid = 54321;

class ProgramLaunch : public ::testing::Test {
protected:
    ProgramLaunch() { env.useSystemTools(); }

    QString at(const QString &name) const { return base + QLatin1Char('/') + name; }

    QString program(const QString &name, const QByteArray &text, mode_t mode = 0755)
    {
        const QString path = at(name);
        EXPECT_TRUE(test::writeProgramWithMode(path, text, mode));
        return path;
    }

    QString folder(const QString &name, mode_t mode)
    {
        const QString path = at(name);
        EXPECT_TRUE(test::makeFolderWithMode(path, mode));
        return path;
    }

    CommandResult run(const QString &program)
    {
        Command command;
        command.program = program;
        command.captureOutput = true;
        return env.platform().commandRunner().runAndWait(command);
    }

    test::TestPlatform env;
    QTemporaryDir root;
    const QString base = QFileInfo(root.path()).canonicalFilePath();
};

// The system runs a script through the program on its first line, as this user: that program,
// and for env the one env finds, must be as safe as the script.
TEST_F(ProgramLaunch, AScriptIsOnlyAsSafeAsWhatRunsIt)
{
    ASSERT_TRUE(root.isValid());
    const QString open = folder(QStringLiteral("open"), 0777);
    const QString interp = program(QStringLiteral("open/interp"), "#!/bin/sh\n");
    program(QStringLiteral("open/tool"), "#!/bin/sh\n");
    const QString clean = folder(QStringLiteral("clean"), 0755);
    program(QStringLiteral("clean/tool"), "#!/bin/sh\n");
    folder(QStringLiteral("bin"), 0755);
    const auto script = [&](const char *name, const QByteArray &line) {
        return program(QString::fromLatin1(name), line + "\nexit 0\n");
    };
    const QString direct = script("bin/direct", "#!" + interp.toUtf8());
    const QString withArgument = script("bin/with-argument", "#! \t" + interp.toUtf8() + " -x  y ");
    // The test's own programs, which the system's search path doesn't hold.
    const QByteArray envLine = "#!/usr/bin/env ";
    const QString throughEnv = script("bin/env", envLine + "tool");
    const QString split = script("bin/split", envLine + "-S -i A=1 tool -u");
    const QString envByPath = script("bin/env-path", envLine + at(QStringLiteral("open/tool")).toUtf8());
    const QString nested = script("bin/nested", "#!" + direct.toUtf8());
    const QString sh = script("bin/sh", "#!/bin/sh -e");
    const QString nothing = script("bin/nothing", "#!");
    const QString missingEnv = script("bin/missing-env", envLine + "no-such-tool");
    const QString envOnly = script("bin/env-only", envLine + "A=1");
    const QString wrapped = program(QStringLiteral("clean/wrapped"), "#!" + interp.toUtf8() + "\n");
    const QString envWrapped = script("bin/env-wrapped", envLine + "wrapped");
    const auto runs = [](const QString &scriptPath, const QString &runner, const QString &part) {
        return QStringLiteral("the script %1 runs %2, which can be changed by another user (%3)").arg(scriptPath, runner, part);
    };
    const QString openFolder = QStringLiteral("the folder %1 is writable by others").arg(open);

    struct Row {
        QString path;
        QStringList searchPath;
        std::optional<QString> changeable;
        std::optional<QString> unusable;
    };
    std::vector<Row> rows{
        {direct, {}, runs(direct, interp, openFolder), {}},
        {withArgument, {}, runs(withArgument, interp, openFolder), {}},
        {throughEnv, {open, clean}, runs(throughEnv, at(QStringLiteral("open/tool")), openFolder), {}},
        {throughEnv, {clean, open}, {}, {}},
        {split, {open}, runs(split, at(QStringLiteral("open/tool")), openFolder), {}},
        {envByPath, {clean}, runs(envByPath, at(QStringLiteral("open/tool")), openFolder), {}},
        {nested, {}, runs(nested, direct, runs(direct, interp, openFolder)), {}},
        {envWrapped, {clean}, runs(envWrapped, wrapped, runs(wrapped, interp, openFolder)), {}},
        {sh, {}, {}, {}},
        {envOnly, {open}, {}, {}},
        {nothing, {}, {}, nothing + " names no program on its first line"},
        {missingEnv, {clean}, {}, missingEnv + " runs no-such-tool, which is in no folder of its search path"},
    };
    if (test::runsAsRoot()) {
        // Another user's interpreter in a folder of root's, seen through the real user database.
        env.platform().setAccounts(std::make_shared<SystemAccounts>());
        const QString theirs = program(QStringLiteral("clean/theirs"), "#!/bin/sh\n");
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kStrangerUid, kStrangerUid), 0);
        const QString byTheirs = script("bin/by-theirs", "#!" + theirs.toUtf8());
        const QString envTheirs = script("bin/env-theirs", envLine + "theirs");
        const QString belongs = QStringLiteral("the file %1 belongs to another user").arg(theirs);
        rows.push_back({byTheirs, {}, runs(byTheirs, theirs, belongs), {}});
        rows.push_back({envTheirs, {clean}, runs(envTheirs, theirs, belongs), {}});
    }
    for (const Row &row : rows) {
        SCOPED_TRACE((row.path + QLatin1Char(' ') + row.searchPath.join(QLatin1Char(':'))).toStdString());
        const ProgramFile file = inspectProgramFile(row.path, ProgramUse::run, {}, row.searchPath);
        EXPECT_EQ(file.changeable, row.changeable);
        EXPECT_EQ(file.unusable, row.unusable);
        EXPECT_EQ(file.identity.has_value(), !row.changeable && !row.unusable);
    }
    // A launch looks on the child's own search path, and runs nothing it refuses.
    Command command;
    command.program = throughEnv;
    command.environment.insert(QStringLiteral("PATH"), open + QStringLiteral(":/usr/bin:/bin"));
    const CommandResult refused = env.platform().commandRunner().runAndWait(command);
    EXPECT_FALSE(refused.started);
    EXPECT_TRUE(refused.launchError.contains(runs(throughEnv, at(QStringLiteral("open/tool")), openFolder)))
        << refused.launchError.toStdString();
    SKIP_UNLESS_ROOT("the rows with another user's interpreter");
}

// env looks its program up again when the child runs: every folder it searches before the one
// holding the program must be as safe as that one, or another user's program of the same name
// may be there by then.
TEST_F(ProgramLaunch, EnvIsOnlyAsSafeAsEveryFolderItSearchesFirst)
{
    ASSERT_TRUE(root.isValid());
    const QString open = folder(QStringLiteral("open"), 0777);
    const QString clean = folder(QStringLiteral("clean"), 0755);
    const QString empty = folder(QStringLiteral("empty"), 0755);
    program(QStringLiteral("clean/tool"), "#!/bin/sh\nexit 0\n");
    // The test's own program, which the system's search path doesn't hold.
    const QByteArray envLine = "#!/usr/bin/env ";
    const QString script = program(QStringLiteral("bin/script"), envLine + "tool\n");
    // A safe entry of the name that can't be run is passed by env; one of another user is not.
    program(QStringLiteral("empty/tool"), "#!/bin/sh\n", 0644);
    const auto through = [&](const QString &folderPath) {
        return QStringLiteral("the script %1 runs tool through a search path whose folder %2 can be changed by another "
                              "user (%3)")
            .arg(script, folderPath);
    };
    const QString openWriters = QStringLiteral("the folder %1 is writable by others").arg(open);
    struct Row {
        const char *searchPath;
        QStringList folders;
        // The working folder, which an empty entry stands for.
        QString working;
        std::optional<QString> changeable;
    };
    const std::vector<Row> rows{
        {"clean path", {empty, clean}, base, {}},
        {"writable folder before the found one", {empty, open, clean}, base, through(open).arg(openWriters)},
        {"missing folder inside a writable one", {open + QStringLiteral("/bin"), clean}, base,
         through(open + QStringLiteral("/bin")).arg(openWriters)},
        {"writable folder after the found one", {clean, open}, base, {}},
        {"empty entry in a safe working folder", {QString(), clean}, empty, {}},
        {"empty entry in a writable working folder", {QString(), clean}, open, through(open).arg(openWriters)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.searchPath);
        const ProgramFile file = inspectProgramFile(script, ProgramUse::run, {}, row.folders, row.working);
        EXPECT_EQ(file.changeable, row.changeable);
        EXPECT_EQ(file.unusable, std::nullopt);
    }

    // Another user puts her program of the name into the writable folder and takes it out as
    // fast as she can while the script is started: it runs the user's program or nothing.
    const QString theirs = program(QStringLiteral("stash/tool"), "#!/bin/sh\nexit 42\n");
    const QByteArray planted = QFile::encodeName(open + QStringLiteral("/tool"));
    std::atomic<bool> stop{false};
    std::thread planter([&] {
        while (!stop) {
            ::link(QFile::encodeName(theirs).constData(), planted.constData());
            ::usleep(200);
            ::unlink(planted.constData());
            ::usleep(200);
        }
    });
    Command command;
    command.program = script;
    command.environment.insert(QStringLiteral("PATH"), open + QLatin1Char(':') + clean + QStringLiteral(":/usr/bin:/bin"));
    int foreign = 0;
    int refused = 0;
    for (int i = 0; i < 100; ++i) {
        const CommandResult result = env.platform().commandRunner().runAndWait(command);
        foreign += result.started && result.exitStatus == 42 ? 1 : 0;
        refused += result.started ? 0 : 1;
    }
    stop = true;
    planter.join();
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(refused, 100);
    command.environment.insert(QStringLiteral("PATH"), clean + QStringLiteral(":/usr/bin:/bin"));
    const CommandResult cleanRun = env.platform().commandRunner().runAndWait(command);
    EXPECT_TRUE(cleanRun.started) << cleanRun.launchError.toStdString();
    EXPECT_EQ(cleanRun.exitStatus, 0);
}

// The system takes a relative program on a script's line, and a relative folder that env searches,
// from the folder the child runs in, and a ".." there from wherever a link led: that is where the
// check looks, whatever the helper's own folder, and nowhere when the child's folder is unknown.
TEST_F(ProgramLaunch, AScriptsRelativePathsAreLookedAtFromTheFolderTheChildRunsIn)
{
    ASSERT_TRUE(root.isValid());
    // "clean" holds safe programs; in "open" another user may replace them.
    for (const char *place : {"clean", "open"}) {
        const QString name = QString::fromLatin1(place);
        folder(name, 0755);
        folder(name + "/deep", 0755);
        folder(name + "/bin", name == "open" ? 0777 : 0755);
        program(name + "/bin/x", "#!/bin/sh\n");
        program(name + "/bin/tool", "#!/bin/sh\nexit 0\n");
    }
    const QString clean = at("clean");
    const QString open = at("open");
    // Text would take "clean/to-open/.." as "clean"; the system takes it as "open".
    ASSERT_TRUE(QFile::link(open + "/deep", clean + "/to-open"));
    const QString relative = program("relative", "#!bin/x\nexit 0\n");
    const QString upward = program("upward", "#!../bin/x\nexit 0\n");
    // The test's own program, which the system's search path doesn't hold.
    const QByteArray envLine = "#!/usr/bin/env ";
    const QString envRelative = program("env-relative", envLine + "tool\nexit 0\n");
    const auto runs = [](const QString &script, const QString &runner, const QString &part) {
        return QStringLiteral("the script %1 runs %2, which can be changed by another user (%3)").arg(script, runner, part);
    };
    const QString openBin = QStringLiteral("the folder %1/bin is writable by others").arg(open);
    const auto unknown = [](const QString &script, const QString &named) {
        return QStringLiteral("%1 runs %2, which is taken from the folder the program runs in, and that folder is not "
                              "known here")
            .arg(script, named);
    };
    struct Row {
        const char *name;
        QString script;
        QString working;
        QStringList searchPath;
        std::optional<QString> changeable;
        std::optional<QString> unusable;
    };
    const std::vector<Row> rows{
        {"relative program, child in the clean folder", relative, clean, {}, {}, {}},
        {"relative program, child in the open one", relative, open, {}, runs(relative, "bin/x", openBin), {}},
        {"relative program, the child's folder unknown", relative, {}, {}, {}, unknown(relative, "bin/x")},
        {"relative program, child in a folder named through a link and \"..\"", relative, clean + "/to-open/..", {},
         runs(relative, "bin/x", openBin), {}},
        {"\"..\" in the clean folder", upward, clean + "/deep", {}, {}, {}},
        {"\"..\" after a link into the open folder", upward, clean + "/to-open", {},
         runs(upward, "../bin/x", openBin), {}},
        {"relative search-path folder, child in the clean folder", envRelative, clean, {"bin"}, {}, {}},
        {"relative search-path folder, child in the open one", envRelative, open, {"bin"},
         runs(envRelative, open + "/bin/tool", openBin), {}},
        {"relative search-path folder after a link", envRelative, clean + "/to-open", {"../bin"},
         runs(envRelative, clean + "/to-open/../bin/tool", openBin), {}},
        {"relative search-path folder, the child's folder unknown", envRelative, {}, {"bin"}, {},
         unknown(envRelative, "tool through the search path folder \u201Cbin\u201D")},
    };
    // The helper's own folder is the clean one throughout, and counts for nothing.
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(clean));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const ProgramFile file = inspectProgramFile(row.script, ProgramUse::run, {}, row.searchPath, row.working);
        EXPECT_EQ(file.changeable, row.changeable) << file.changeable.value_or("-").toStdString();
        EXPECT_EQ(file.unusable, row.unusable) << file.unusable.value_or("-").toStdString();
        if (!row.working.isEmpty()) {
            // A launch into that folder looks where the check did.
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("PATH"), row.searchPath.isEmpty() ? QStringLiteral("/usr/bin:/bin")
                                                                                 : row.searchPath.join(u':'));
            const ChildExec exec(row.script, {}, environment, row.working);
            EXPECT_EQ(exec.refusal().has_value(), row.changeable.has_value());
        }
    }
    ASSERT_TRUE(QDir::setCurrent(before));
}

// The system runs a script that this user may execute but not read, through whatever its first
// line names: such a file is not run, since what would run it can't be checked.
TEST_F(ProgramLaunch, AScriptThatCantBeReadIsNotRun)
{
    SKIP_AS_ROOT("root reads every file: a script only a user can't read needs a user");
    ASSERT_TRUE(root.isValid());
    folder(QStringLiteral("open"), 0777);
    const QString ran = at(QStringLiteral("ran"));
    const QString interp = program(QStringLiteral("open/interp"), "#!/bin/sh\ntouch " + QFile::encodeName(ran) + "\n");
    const QString script = program(QStringLiteral("bin/script"), "#!" + interp.toUtf8() + "\n", 0111);
    const QString reason = script + QStringLiteral(" can't be read, so what runs it can't be checked (Permission denied)");
    EXPECT_EQ(inspectProgramFile(script).unusable, reason);
    const CommandResult result = run(script);
    EXPECT_FALSE(result.started);
    EXPECT_EQ(result.launchError, reason);
    EXPECT_FALSE(QFileInfo::exists(ran));
}

// A file put in the program's place between its check and its opening is not opened, whatever
// the timing: the opening compares the file with the one the check ended at.
TEST_F(ProgramLaunch, TheOpeningTakesOnlyTheFileTheCheckLookedAt)
{
    ASSERT_TRUE(root.isValid());
    const QString mine = program(QStringLiteral("bin/tool"), "#!/bin/sh\n");
    const QString other = program(QStringLiteral("bin/other"), "#!/bin/sh\n");
    const QString link = at(QStringLiteral("bin/link"));
    ASSERT_EQ(::symlink(QFile::encodeName(other).constData(), QFile::encodeName(link).constData()), 0);
    // What takes the program's place: nothing, another file, a link.
    for (const QString &swapped : {QString(), other, link}) {
        SCOPED_TRACE(swapped.toStdString());
        const ProgramFile file = inspectProgramFile(mine);
        ASSERT_TRUE(file.identity.has_value());
        if (!swapped.isEmpty()) {
            ASSERT_EQ(::renameat2(AT_FDCWD, QFile::encodeName(mine).constData(), AT_FDCWD,
                                  QFile::encodeName(swapped).constData(), RENAME_EXCHANGE),
                      0);
        }
        const int fd = openLookedAt(file);
        EXPECT_EQ(fd >= 0, swapped.isEmpty());
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// A link is followed once, by the check: the file that runs is the one it led to then, and a
// script knows itself by that file's path.
TEST_F(ProgramLaunch, TheFileFoundThroughALinkIsTheOneThatRuns)
{
    ASSERT_TRUE(root.isValid());
    const QString real = program(QStringLiteral("real/tool"), "#!/bin/sh\necho \"$0\"\n");
    ASSERT_EQ(::symlink("real", QFile::encodeName(at(QStringLiteral("folder-link"))).constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(at(QStringLiteral("folder-link/tool"))).constData(),
                        QFile::encodeName(at(QStringLiteral("link"))).constData()),
              0);
    for (const QString &given : {at(QStringLiteral("link")), at(QStringLiteral("folder-link/tool"))}) {
        const CommandResult result = run(given);
        EXPECT_TRUE(result.started) << result.launchError.toStdString();
        EXPECT_EQ(result.standardOutput, real.toUtf8() + '\n') << given.toStdString();
    }
}

// The stale-process sweep and the desktop's process list know a program by the name the system
// gives its process, which running the checked file must not turn into a number.
TEST_F(ProgramLaunch, AProgramRunsUnderItsOwnName)
{
    Command command;
    command.program = QStringLiteral("/bin/sh");
    command.arguments = {QStringLiteral("-c"), QStringLiteral("read name < /proc/$$/comm; echo \"$name\"")};
    command.captureOutput = true;
    const CommandResult result = env.platform().commandRunner().runAndWait(command);
    EXPECT_TRUE(result.started) << result.launchError.toStdString();
    // The file the link leads to is the one that runs, and names the process.
    const QString shell = QFileInfo(QFileInfo(command.program).canonicalFilePath()).fileName();
    EXPECT_EQ(result.standardOutput, shell.toUtf8() + '\n');
}

// A folder that the check takes for the user's alone while another user can write to it: that
// user swaps their program in and out as fast as they can while the user starts the program. Each
// start runs the file its check looked at or nothing, never theirs.
TEST_F(ProgramLaunch, ASwapBetweenCheckAndLaunchRunsNothingForeign)
{
    SKIP_UNLESS_ROOT("swapping files as another user");
    ASSERT_TRUE(root.isValid());
    // The group of the folder reads as root's private group, but the stranger is in it.
    auto accounts = std::make_shared<test::FixedAccounts>();
    accounts->users[0] = {QStringLiteral("root"), kStrangerUid};
    accounts->groups[kStrangerUid] = {QStringLiteral("root"), {}};
    env.platform().setAccounts(accounts);
    const QString shared = folder(QStringLiteral("shared"), 0775);
    ASSERT_EQ(::chown(QFile::encodeName(shared).constData(), 0, kStrangerUid), 0);
    const QString mine = at(QStringLiteral("shared/tool"));
    const QString theirs = at(QStringLiteral("shared/theirs"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/true"), mine));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/false"), theirs));
    ASSERT_EQ(::chmod(QFile::encodeName(mine).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(theirs).constData(), 0755), 0);
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kStrangerUid, kStrangerUid), 0);
    ASSERT_EQ(inspectProgramFile(mine).changeable, std::nullopt);

    // Opened before the swapper becomes the stranger, who can't reach the test's folder.
    const int dir = ::open(QFile::encodeName(shared).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kStrangerUid) != 0 || ::setuid(kStrangerUid) != 0) {
            ::_exit(2);
        }
        for (;;) {
            if (::renameat2(dir, "tool", dir, "theirs", RENAME_EXCHANGE) != 0) {
                ::_exit(3);
            }
            // Slow enough for many starts to get through, fast enough to fall between the steps
            // of many.
            ::usleep(300);
        }
    }
    int ours = 0;
    int foreign = 0;
    int refused = 0;
    for (int i = 0; i < 300; ++i) {
        const CommandResult result = run(mine);
        if (!result.started) {
            ++refused;
        } else if (result.exitStatus == 0) {
            ++ours;
        } else {
            ++foreign;
        }
    }
    ::close(dir);
    int status = 0;
    const bool swapping = ::waitpid(swapper, &status, WNOHANG) == 0;
    // Reaped by the look above when it ended early.
    if (test::signalChild(swapper, SIGKILL)) {
        ::waitpid(swapper, &status, 0);
    }
    EXPECT_TRUE(swapping) << "the swapper ended early";
    EXPECT_EQ(foreign, 0);
    EXPECT_GT(ours, 0);
    EXPECT_GT(refused, 0);
    std::printf("300 starts during swaps: %d ran the user's program, %d were refused, %d ran the other user's\n", ours,
                refused, foreign);
}

} // namespace
} // namespace cordavelle
