#include "binary_architecture_detector.h"

#include "platform/platform.h"

#include <QFile>

#include <algorithm>
#include <optional>

namespace cordavelle {

namespace {

std::optional<uint32_t> readUInt32BE(const QByteArray &data, qsizetype offset)
{
    if (offset < 0 || data.size() - offset < 4) {
        return std::nullopt;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData() + offset);
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

std::optional<uint32_t> readUInt32LE(const QByteArray &data, qsizetype offset)
{
    if (offset < 0 || data.size() - offset < 4) {
        return std::nullopt;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData() + offset);
    return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | uint32_t(p[0]);
}

std::optional<QByteArray> readHead(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QByteArray head(maxBytes, Qt::Uninitialized);
    qint64 total = 0;
    // A pipe or special file may hand out fewer bytes per read than it has.
    while (total < maxBytes) {
        const qint64 got = file.read(head.data() + total, maxBytes - total);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    head.truncate(total);
    return head;
}

} // namespace

BinaryArchitecture BinaryArchitecture::classify(uint32_t cpuType)
{
    switch (cpuType) {
    case kCpuTypeArm64: return arm64();
    case kCpuTypeX86_64: return x86_64();
    default: return other(int32_t(cpuType));
    }
}

QString BinaryArchitecture::description() const
{
    switch (m_kind) {
    case Kind::arm64: return QStringLiteral("arm64");
    case Kind::x86_64: return QStringLiteral("x86_64");
    case Kind::other: break;
    }
    return QStringLiteral("other(%1)").arg(m_cpuType);
}

QString BinaryArchitectureDetector::hostArchitecture()
{
    // Asked each time rather than kept: uname is cheap, and tests install their own machine.
    return Platform::current().systemInfo().machineArchitecture();
}

bool BinaryArchitectureDetector::isRunningOnAppleSilicon() { return hostArchitecture() == QLatin1String("arm64"); }

std::vector<BinaryArchitecture> BinaryArchitectureDetector::architectures(const QString &path)
{
    const std::optional<QByteArray> head = readHead(path, kHeadBytes);
    if (!head || head->size() < 8) {
        return {};
    }
    return parse(*head);
}

std::vector<BinaryArchitecture> BinaryArchitectureDetector::parse(const QByteArray &header)
{
    if (header.size() < 8) {
        return {};
    }
    const uint32_t magic = *readUInt32BE(header, 0);
    switch (magic) {
    case 0xFEEDFACE:
    case 0xFEEDFACF:
        return {BinaryArchitecture::classify(*readUInt32BE(header, 4))};
    case 0xCEFAEDFE:
    case 0xCFFAEDFE:
        return {BinaryArchitecture::classify(*readUInt32LE(header, 4))};
    default:
        break;
    }

    qsizetype stride = 0;
    switch (magic) {
    case 0xCAFEBABE:
    case 0xBEBAFECA:
        stride = 20;
        break;
    case 0xCAFEBABF:
    case 0xBFBAFECA:
        stride = 32;
        break;
    default:
        return {};
    }
    // Fat headers are big-endian whichever way the magic reads.
    const uint32_t count = *readUInt32BE(header, 4);
    if (count == 0 || count > kMaxFatEntries) {
        return {};
    }
    std::vector<BinaryArchitecture> found;
    for (uint32_t i = 0; i < count; ++i) {
        const std::optional<uint32_t> cpuType = readUInt32BE(header, 8 + qsizetype(i) * stride);
        if (!cpuType) {
            break;
        }
        found.push_back(BinaryArchitecture::classify(*cpuType));
    }
    return found;
}

bool BinaryArchitectureDetector::isX86_64Only(const QString &path)
{
    const std::vector<BinaryArchitecture> found = architectures(path);
    return !found.empty() && std::all_of(found.begin(), found.end(), [](const BinaryArchitecture &a) {
        return a.kind() == BinaryArchitecture::Kind::x86_64;
    });
}

bool BinaryArchitectureDetector::cannotLaunchOnHost(const QString &path)
{
    return isRunningOnAppleSilicon() && isX86_64Only(path);
}

} // namespace cordavelle
