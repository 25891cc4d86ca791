#include "base/helper_error.h"
#include "base/launch_outcome.h"
#include "base/helper_logger.h"

#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(HelperError, EveryTextAsTheUserSeesIt)
{
    EXPECT_EQ(HelperError::portNotListening(8300).description(), "Port 8300 not listening after timeout");
    EXPECT_EQ(HelperError::serviceNotConfigured("vara-hf").description(), "Service 'vara-hf' not configured");
    EXPECT_EQ(HelperError::direwolfConfigWriteFailed("disk full").description(),
              "Could not write Direwolf config: disk full");
    EXPECT_EQ(HelperError::wineNotFound().description(), "Wine not found");
    EXPECT_EQ(HelperError::varaNotInstalled().description(), "VARA HF not installed");
    EXPECT_EQ(HelperError::rigctldNotFound().description(), "rigctld not found");
    EXPECT_EQ(HelperError::direwolfNotFound().description(),
              QString::fromUtf8("Direwolf not found \u2014 install it from the Helper's Direwolf page first"));
    EXPECT_EQ(HelperError::direwolfNoCallsign().description(), "Callsign is required to start Direwolf");
    EXPECT_EQ(HelperError::processAlreadyRunning().description(), "Process already running");

    const QString intel = HelperError::binaryIntelOnAppleSilicon("rigctld", "/usr/local/bin/rigctld").description();
    EXPECT_TRUE(intel.startsWith("rigctld at /usr/local/bin/rigctld "));

    // what() carries the same text, so it survives being caught as std::exception.
    try {
        throw HelperError::direwolfNoCallsign();
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "Callsign is required to start Direwolf");
    }
}

TEST(LaunchOutcome, LabelsAndTerminationMapping)
{
    EXPECT_EQ(LaunchOutcome::fromTermination(15, true).displayLabel(), "killed sig=15");
    EXPECT_EQ(LaunchOutcome::fromTermination(1, false).displayLabel(), "exit=1");
    EXPECT_EQ(LaunchOutcome::fromTermination(0, false).displayLabel(), "exited cleanly");
    EXPECT_EQ(LaunchOutcome::neverStarted().displayLabel(), "never started");
    EXPECT_EQ(LaunchOutcome::running().displayLabel(), "OK");
    EXPECT_EQ(LaunchOutcome::fromTermination(9, true), LaunchOutcome::killedBySignal(9));
    EXPECT_NE(LaunchOutcome::exitedWithCode(9), LaunchOutcome::killedBySignal(9));

    // The header's error says how the process ended, as its launch row does.
    EXPECT_EQ(LaunchOutcome::killedBySignal(9).failureText(), "Process was killed by signal 9 (SIGKILL)");
    EXPECT_EQ(LaunchOutcome::killedBySignal(15).failureText(), "Process was killed by signal 15 (SIGTERM)");
    EXPECT_EQ(LaunchOutcome::killedBySignal(200).failureText(), "Process was killed by signal 200");
    EXPECT_EQ(LaunchOutcome::exitedWithCode(9).failureText(), "Process exited with code 9");
    EXPECT_EQ(LaunchOutcome::exitedCleanly().failureText(), "");
    EXPECT_EQ(LaunchOutcome::stopped(15).failureText(), "");
    EXPECT_EQ(LaunchOutcome::stopped(15).displayLabel(), "stopped");
}

TEST(HelperLogger, WritesTheCallersTextWithLevelAndCategory)
{
    test::TestPlatform env;
    HelperLogger::info("[ConfigStore] 100% done", HelperLogger::Category::services);
    HelperLogger::warning("[Direwolf] careful", HelperLogger::Category::install);
    HelperLogger::error("[X] failed");
    ASSERT_EQ(env.log().entries.size(), 3u);
    EXPECT_EQ(env.log().entries[0].message, "[ConfigStore] 100% done");
    EXPECT_EQ(env.log().entries[0].category, "services");
    EXPECT_EQ(env.log().entries[0].subsystem, "com.cordavelle.helper");
    EXPECT_EQ(env.log().entries[0].level, LogLevel::Info);
    EXPECT_EQ(env.log().entries[1].level, LogLevel::Error);
    EXPECT_EQ(env.log().entries[1].category, "install");
    EXPECT_EQ(env.log().entries[2].level, LogLevel::Error);
    EXPECT_EQ(env.log().entries[2].category, "general");
}

} // namespace
} // namespace cordavelle
