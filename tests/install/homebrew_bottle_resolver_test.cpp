#include "base/json_support.h"
#include "install/bottle_program.h"
#include "install/homebrew_bottle_resolver.h"
#include "platform/cancellation.h"
#include "platform/http_status.h"
#include "support/child_processes.h"
#include "support/fixture_http_server.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

const QString kTag = QStringLiteral("x86_64_linux");

std::optional<BottleResolverError::Case> failureOf(const QByteArray &json)
{
    try {
        HomebrewBottleResolver::parse(json, kTag);
    } catch (const BottleResolverError &error) {
        return error.errorCase();
    }
    return std::nullopt;
}

TEST(HomebrewBottleResolver, TakesTheMachinesLinuxBottleAndTheStableVersion)
{
    const QByteArray formula = R"({"versions":{"stable":"1.11"},"bottle":{"stable":{"files":{
        "arm64_sequoia":{"url":"https://ghcr.io/v2/homebrew/core/cabextract/blobs/sha256:mac"},
        "arm64_linux":{"url":"https://ghcr.io/v2/homebrew/core/cabextract/blobs/sha256:arm"},
        "x86_64_linux":{"url":"https://ghcr.io/v2/homebrew/core/cabextract/blobs/sha256:x86","sha256":"AB12"}}}}})";
    EXPECT_EQ(HomebrewBottleResolver::parse(formula, kTag),
              (BottleInfo{QUrl("https://ghcr.io/v2/homebrew/core/cabextract/blobs/sha256:x86"), "1.11", "ab12"}));
    EXPECT_EQ(HomebrewBottleResolver::parse(formula, "arm64_linux").url.toString(),
              "https://ghcr.io/v2/homebrew/core/cabextract/blobs/sha256:arm");

    // A bad version never fails the parse.
    for (const QByteArray &versions : {QByteArray(""), QByteArray(R"("versions":{"stable":3},)")}) {
        const QByteArray json = "{" + versions + R"("bottle":{"stable":{"files":{"x86_64_linux":{"url":"https://b/x"}}}}})";
        EXPECT_EQ(HomebrewBottleResolver::parse(json, kTag).version, "unknown");
    }
    EXPECT_EQ(HomebrewBottleResolver::bottleTag("aarch64"), "arm64_linux");
}

TEST(HomebrewBottleResolver, RejectsEveryOtherShape)
{
    using Case = BottleResolverError::Case;
    const std::vector<std::pair<QByteArray, Case>> table = {
        {"[]", Case::malformedResponse},
        {R"({"bottle":{"stable":{}}})", Case::malformedResponse},
        {R"({"bottle":{"stable":{"files":[]}}})", Case::malformedResponse},
        {R"({"bottle":{"stable":{"files":{"x86_64_linux":{"sha256":"ab"}}}}})", Case::malformedResponse},
        {R"({"bottle":{"stable":{"files":{"x86_64_linux":{"url":"no url at all"}}}}})", Case::malformedResponse},
        // Only macOS bottles, or the tag's entry not an object: nothing runs here, even with broken URLs.
        {R"({"bottle":{"stable":{"files":{"x86_64_sonoma":{"url":3},"arm64_linux":{"url":"https://b/a"}}}}})",
         Case::noBottleForCurrentArchitecture},
        {R"({"bottle":{"stable":{"files":{"x86_64_linux":"https://b/x"}}}})", Case::noBottleForCurrentArchitecture},
    };
    for (const auto &[json, expected] : table) {
        EXPECT_EQ(failureOf(json), expected) << json.toStdString();
    }
    EXPECT_THROW(HomebrewBottleResolver::parse("", kTag), JsonDecodeError);
    EXPECT_EQ(BottleResolverError::noBottleForCurrentArchitecture(kTag).description(),
              "No bottle is available for x86_64 Linux in this formula");
}

TEST(HomebrewBottleResolver, FetchesTheFormulaAndTheBottleWithTheRegistryToken)
{
    test::TestPlatform env;
    test::FixtureHttpServer server;
    server.serve("/api/formula/cabextract.json",
                 test::bottleFormula("1.11", server.url("/v2/blobs/cabextract").toString(), "first"));
    server.redirect("/v2/blobs/cabextract", "/storage/cabextract.tar.gz", 307);
    server.serve("/storage/cabextract.tar.gz", "first");
    HttpClient &client = env.platform().httpClient();

    BottleInfo info = test::runToEnd(
        HomebrewBottleResolver::fetchBottleInfo(client, server.url("/api/formula/cabextract.json"),
                                                env.systemInfo().machineArchitecture()));
    EXPECT_EQ(info.version, "1.11");
    const QString destination = env.platform().paths().privateTemporary() + "/cabextract-bottle.tar.gz";
    test::runToEnd(HomebrewBottleResolver::downloadBottle(client, info, destination, "the cabextract bottle"));
    EXPECT_EQ(test::readBytes(destination), QByteArray("first"));
    for (const auto &request : server.requests()) {
        if (request.path != "/api/formula/cabextract.json") {
            EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer Tw==")) << request.path.constData();
        } else {
            EXPECT_TRUE(request.header("Authorization").isEmpty());
        }
    }

    // A second download replaces the first.
    server.serve("/storage/cabextract.tar.gz", "second");
    info.sha256 = test::sha256Hex("second");
    test::runToEnd(HomebrewBottleResolver::downloadBottle(client, info, destination, "the cabextract bottle"));
    EXPECT_EQ(test::readBytes(destination), QByteArray("second"));

    // Only the bottle the formula names is kept; without its SHA-256 none is fetched.
    server.serve("/storage/cabextract.tar.gz", "someone else's");
    try {
        test::runToEnd(HomebrewBottleResolver::downloadBottle(client, info, destination, "the cabextract bottle"));
        ADD_FAILURE() << "a bottle of another SHA-256 was taken";
    } catch (const BottleDigestError &error) {
        EXPECT_EQ(error.description(), "The SHA-256 of the cabextract bottle is not the one its release information gives: "
                                       "expected " + test::sha256Hex("second") + ", got " + test::sha256Hex("someone else's"));
    }
    EXPECT_FALSE(QFile::exists(destination));
    const auto bottleRequests = server.requestsFor("/storage/cabextract.tar.gz").size();
    info.sha256.clear();
    EXPECT_THROW(test::runToEnd(HomebrewBottleResolver::downloadBottle(client, info, destination, "the cabextract bottle")),
                 BottleDigestError);
    EXPECT_EQ(server.requestsFor("/storage/cabextract.tar.gz").size(), bottleRequests);
    EXPECT_FALSE(QFile::exists(destination));
    info.sha256 = test::sha256Hex("second");

    // A refused bottle leaves no error page behind to be unpacked.
    server.serveHtmlPage("/storage/cabextract.tar.gz", 401);
    try {
        test::runToEnd(HomebrewBottleResolver::downloadBottle(client, info, destination, "the cabextract bottle"));
        ADD_FAILURE() << "a refused bottle was taken";
    } catch (const HttpStatusError &error) {
        EXPECT_EQ(error.description(), "The server answered 401 Unauthorized for the cabextract bottle");
    }
    EXPECT_FALSE(QFile::exists(destination));
}

// A program as a Linux bottle ships it: a loader and a run path that this machine lacks.
QString buildBottleProgram(const QString &folder)
{
    const QString program = folder + "/bin/probe";
    QDir().mkpath(folder + "/bin");
    QProcess compiler;
    compiler.start("g++", {"-x", "c++", "-o", program, "-"});
    compiler.write("#include <cstdio>\nint main() { std::puts(\"probe 1.0\"); return 0; }\n");
    compiler.closeWriteChannel();
    EXPECT_TRUE(test::awaitEnd(compiler) && compiler.exitCode() == 0) << "the probe did not compile";
    QProcess::execute("patchelf", {"--set-interpreter", "/home/linuxbrew/.linuxbrew/lib/ld.so", "--set-rpath",
                                   "/home/linuxbrew/.linuxbrew/lib", program});
    QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
    return program;
}

QString patchelfPrints(const QString &what, const QString &program)
{
    QProcess patchelf;
    patchelf.start("patchelf", {what, program});
    test::awaitEnd(patchelf);
    return QString::fromUtf8(patchelf.readAllStandardOutput()).trimmed();
}

TEST(BottleProgram, PointsAProgramAtTheSystemsLoaderAndRunsIt)
{
    test::TestPlatform env;
    env.useSystemTools();
    const QString program = buildBottleProgram(env.root() + "/extract/cabextract/1.11");
    ASSERT_EQ(QProcess::execute(program, {}), -2) << "the bottle's program must not run as shipped";

    const QString loader = BottleProgram::systemLoader("x86_64");
    const QByteArray printed = test::runToEnd(
        BottleProgram::makeRunnable(env.platform().commandRunner(), program, loader, {"--version"}));
    EXPECT_EQ(printed, QByteArray("probe 1.0\n"));
    EXPECT_EQ(patchelfPrints("--print-interpreter", program), loader);
    EXPECT_EQ(patchelfPrints("--print-rpath", program), "$ORIGIN/../lib");

    // What is no program fails with the tool's own words.
    const QString script = env.root() + "/extract/notelf";
    ASSERT_TRUE(test::writeProgram(script, "#!/bin/sh\nexit 0\n"));
    try {
        test::runToEnd(BottleProgram::makeRunnable(env.platform().commandRunner(), script, loader, {"--version"}));
        ADD_FAILURE() << "a script was made runnable";
    } catch (const BottleProgramError &error) {
        EXPECT_EQ(error.description(), "notelf does not run: patchelf: missing ELF header");
    }
}

} // namespace
} // namespace cordavelle
