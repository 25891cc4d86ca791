#pragma once

#include "manual_clock.h"
#include "recording_log_sink.h"

#include "platform/platform.h"

#include <QTemporaryDir>

#include <memory>

namespace cordavelle::test {

class FixedSystemInfo final : public SystemInfo {
public:
    QString machineArchitecture() const override { return architecture; }
    QString hostName() const override { return host; }
    QString architecture = QStringLiteral("x86_64");
    QString host = QStringLiteral("testhost");
};

// A private platform context for one test: a temporary root for every folder, a manual clock,
// a recording log, fixed machine facts, and property-list defaults inside the root.
class TestPlatform {
public:
    TestPlatform();
    ~TestPlatform();

    Platform &platform() { return m_scope->context(); }
    ManualClock &clock() { return *m_clock; }
    RecordingLogSink &log() { return *m_log; }
    FixedSystemInfo &systemInfo() { return *m_systemInfo; }
    QString root() const { return m_dir.path(); }
    UserDefaults &defaults() { return platform().standardDefaults(); }

    // Uses the real steady and wall clocks instead of the manual one.
    void useSystemClock();

private:
    QTemporaryDir m_dir;
    std::shared_ptr<ManualClock> m_clock;
    std::shared_ptr<RecordingLogSink> m_log;
    std::shared_ptr<FixedSystemInfo> m_systemInfo;
    std::unique_ptr<Platform::Scope> m_scope;
};

} // namespace cordavelle::test
