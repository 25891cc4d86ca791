#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace cordavelle {

// One CPU architecture found in a Mach-O executable.
class BinaryArchitecture {
public:
    enum class Kind { arm64, x86_64, other };

    static constexpr uint32_t kCpuTypeArm64 = 0x0100000C;
    static constexpr uint32_t kCpuTypeX86_64 = 0x01000007;

    static BinaryArchitecture arm64() { return BinaryArchitecture(Kind::arm64, int32_t(kCpuTypeArm64)); }
    static BinaryArchitecture x86_64() { return BinaryArchitecture(Kind::x86_64, int32_t(kCpuTypeX86_64)); }
    static BinaryArchitecture other(int32_t cpuType) { return BinaryArchitecture(Kind::other, cpuType); }
    // arm64 and x86_64 by their CPU types; anything else is `other`.
    static BinaryArchitecture classify(uint32_t cpuType);

    Kind kind() const { return m_kind; }
    // The Mach-O CPU type, as a signed value (7 for 32-bit Intel, 12 for 32-bit ARM).
    int32_t cpuType() const { return m_cpuType; }

    // "arm64", "x86_64" or "other(<cpu type>)", for log lines and test output.
    QString description() const;

    bool operator==(const BinaryArchitecture &) const = default;

private:
    BinaryArchitecture(Kind kind, int32_t cpuType) : m_kind(kind), m_cpuType(cpuType) {}

    Kind m_kind;
    int32_t m_cpuType;
};

// Lists the architectures of an executable from its first bytes, so that an Intel-only tool is
// not launched as a child of a native Apple-silicon helper (such children often fail silently).
// Nothing here fails outward: an unreadable or foreign file has no architectures, which never
// counts against the tool.
class BinaryArchitectureDetector {
public:
    BinaryArchitectureDetector() = delete;

    static constexpr qint64 kHeadBytes = 4096;
    // A fat header announcing more entries than this is not believed.
    static constexpr uint32_t kMaxFatEntries = 99;

    // The machine's architecture as uname names it ("x86_64", "aarch64"), asked of the platform
    // in force.
    static QString hostArchitecture();
    // True when the machine reports itself as "arm64".
    static bool isRunningOnAppleSilicon();
    // The architectures of the file at `path`, from at most its first 4096 bytes; empty on any
    // failure.
    static std::vector<BinaryArchitecture> architectures(const QString &path);
    // The parser alone: thin Mach-O of either byte order, or fat tables with 32- or 64-bit entries.
    static std::vector<BinaryArchitecture> parse(const QByteArray &header);
    // True when the file has architectures and all of them are x86_64.
    static bool isX86_64Only(const QString &path);
    // Apple silicon and an Intel-only file; the file is read only on Apple silicon.
    static bool cannotLaunchOnHost(const QString &path);
};

} // namespace cordavelle
