#include "config_limits.h"

#include "base/helper_places.h"
#include "base/tcp_port.h"
#include "platform/program_file.h"

namespace cordavelle::config_limits {

namespace {

// Collects the first problem of a record, field by field.
class Check {
public:
    Check &range(const char *key, int value, int lowest, int highest, const QString &why = {})
    {
        return require(value >= lowest && value <= highest, [&] {
            return QStringLiteral("%1 must be between %2 and %3").arg(QLatin1String(key)).arg(lowest).arg(highest) + why;
        });
    }
    Check &port(const char *key, int value) { return range(key, value, kLowestPort, kHighestPort); }
    Check &direwolfPort(const char *key, int value)
    {
        return range(key, value, kMinDirewolfPort, kMaxDirewolfPort,
                     QStringLiteral(", the ports Direwolf accepts (it listens on another port instead)"));
    }
    // Two listeners of one program can't share a port: the second fails to bind and the program
    // doesn't start.
    Check &distinctPorts(const char *key, int value, const char *otherKey, int other)
    {
        return require(value != other, [&] {
            return QStringLiteral("%1 must differ from %2; both can't listen on port %3")
                .arg(QLatin1String(key), QLatin1String(otherKey))
                .arg(value);
        });
    }
    Check &notNegative(const char *key, int value)
    {
        return require(value >= 0, [&] { return QStringLiteral("%1 may not be negative").arg(QLatin1String(key)); });
    }
    Check &path(const char *key, const QString &value) { return text(key, value, kMaxPathBytes); }
    Check &name(const char *key, const QString &value) { return text(key, value, kMaxNameBytes); }
    // A program the helper will run as this user: checked when it differs from the stored one.
    Check &program(const char *key, const QString &value, const QString &stored, ProgramUse use = ProgramUse::run,
                   const QString &workingFolder = {})
    {
        path(key, value);
        if (m_problem || value.isEmpty() || value == stored) {
            return *this;
        }
        const ProgramFile file = inspectProgramFile(value, use, places::winePrefix(), {}, workingFolder);
        return require(!file.changeable && !file.unusable, [&] {
            return file.changeable ? QStringLiteral("%1 must name a program that only you or root can change: %2")
                                         .arg(QLatin1String(key), *file.changeable)
                                   : QStringLiteral("%1 names no usable program: %2").arg(QLatin1String(key), *file.unusable);
        });
    }
    std::optional<QString> result() const { return m_problem; }

private:
    Check &text(const char *key, const QString &value, qsizetype maxBytes)
    {
        return require(value.toUtf8().size() <= maxBytes, [&] {
            return QStringLiteral("%1 is longer than %2 bytes").arg(QLatin1String(key)).arg(maxBytes);
        });
    }
    // Keeps the first problem only: `describe` runs when `ok` fails and none was found before.
    template <typename Describe>
    Check &require(bool ok, Describe describe)
    {
        if (!m_problem && !ok) {
            m_problem = describe();
        }
        return *this;
    }

    std::optional<QString> m_problem;
};

} // namespace

std::optional<QString> problem(const VARAConfigFields &record, const VARAConfigFields &stored)
{
    return Check()
        .program("winePath", record.winePath, stored.winePath)
        .program("varaPath", record.varaPath, stored.varaPath, ProgramUse::wine)
        .name("installedVersion", record.installedVersion)
        .result();
}

std::optional<QString> problem(const RigctldConfig &record, const RigctldConfig &stored)
{
    return Check()
        .port("tcpPort", record.tcpPort)
        .notNegative("rigModel", record.rigModel)
        .path("serialPort", record.serialPort)
        .notNegative("baudRate", record.baudRate)
        .name("networkHost", record.networkHost)
        .port("networkPort", record.networkPort)
        .program("rigctldPath", record.rigctldPath, stored.rigctldPath)
        .result();
}

std::optional<QString> problem(const DirewolfConfig &record, const DirewolfConfig &stored)
{
    return Check()
        .name("callsign", record.callsign)
        .range("ssid", record.ssid, 0, kMaxSsid)
        .name("customAudioDeviceUID", record.customAudioDeviceUID)
        .name("customAudioDeviceName", record.customAudioDeviceName)
        .name("customAudioOutputUID", record.customAudioOutputUID)
        .direwolfPort("kissPort", record.kissPort)
        .direwolfPort("agwPort", record.agwPort)
        .distinctPorts("agwPort", record.agwPort, "kissPort", record.kissPort)
        .path("pttPort", record.pttPort)
        .path("pttMethod", record.pttMethod ? record.pttMethod->portPath() : QString())
        .name("nativeRigControlRadioName", record.nativeRigControlRadioName)
        .program("direwolfPath", record.direwolfPath, stored.direwolfPath, ProgramUse::run, places::direwolfRunFolder())
        .name("installedVersion", record.installedVersion)
        .result();
}

std::optional<QString> nameProblem(const char *key, const QString &value)
{
    return Check().name(key, value).result();
}

} // namespace cordavelle::config_limits
