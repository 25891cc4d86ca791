#include "base/binary_architecture_detector.h"

#include "support/test_platform.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

namespace cordavelle {

void PrintTo(const BinaryArchitecture &a, std::ostream *os) { *os << a.description().toStdString(); }

namespace {

using Arch = BinaryArchitecture;
using Detector = BinaryArchitectureDetector;

void appendBE(QByteArray &out, uint32_t v)
{
    out.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
}

void appendLE(QByteArray &out, uint32_t v)
{
    out.append(char(v)).append(char(v >> 8)).append(char(v >> 16)).append(char(v >> 24));
}

// A thin little-endian 64-bit header as compilers for Intel and Apple silicon write it.
QByteArray thin64LE(uint32_t cpuType)
{
    QByteArray out("\xCF\xFA\xED\xFE", 4);
    appendLE(out, cpuType);
    appendLE(out, 3); // subtype
    appendLE(out, 2); // MH_EXECUTE
    out.append(QByteArray(24, '\0'));
    return out;
}

// A fat header with one entry per CPU type; `wide` writes the 64-bit table form.
QByteArray fat(const std::vector<uint32_t> &cpuTypes, bool wide = false, uint32_t declared = 0)
{
    QByteArray out;
    appendBE(out, wide ? 0xCAFEBABF : 0xCAFEBABE);
    appendBE(out, declared ? declared : uint32_t(cpuTypes.size()));
    for (uint32_t cpu : cpuTypes) {
        appendBE(out, cpu);
        appendBE(out, 0); // subtype
        if (wide) {
            out.append(QByteArray(24, '\x11')); // 64-bit offset, size, align, reserved
        } else {
            out.append(QByteArray(12, '\x11')); // offset, size, align
        }
    }
    return out;
}

constexpr uint32_t kX86 = Arch::kCpuTypeX86_64;
constexpr uint32_t kArm = Arch::kCpuTypeArm64;

TEST(BinaryArchitectureParse, ThinHeadersOfBothByteOrders)
{
    EXPECT_EQ(Detector::parse(thin64LE(kArm)), std::vector{Arch::arm64()});
    EXPECT_EQ(Detector::parse(thin64LE(kX86)), std::vector{Arch::x86_64()});

    QByteArray thin32BE;
    appendBE(thin32BE, 0xFEEDFACE);
    appendBE(thin32BE, 18); // PowerPC
    EXPECT_EQ(Detector::parse(thin32BE), std::vector{Arch::other(18)});

    QByteArray thin64BE;
    appendBE(thin64BE, 0xFEEDFACF);
    appendBE(thin64BE, kArm);
    EXPECT_EQ(Detector::parse(thin64BE), std::vector{Arch::arm64()});

    QByteArray thin32LE("\xCE\xFA\xED\xFE", 4);
    appendLE(thin32LE, 7); // 32-bit Intel
    EXPECT_EQ(Detector::parse(thin32LE), std::vector{Arch::other(7)});
    EXPECT_NE(Arch::other(7), Arch::other(12));
    EXPECT_NE(Arch::other(int32_t(kX86)), Arch::other(7));
}

TEST(BinaryArchitectureParse, FatTablesInTableOrder)
{
    EXPECT_EQ(Detector::parse(fat({kX86, kArm})), (std::vector{Arch::x86_64(), Arch::arm64()}));
    EXPECT_EQ(Detector::parse(fat({kArm, kX86}, true)), (std::vector{Arch::arm64(), Arch::x86_64()}));
    EXPECT_EQ(Detector::parse(fat({kX86})), std::vector{Arch::x86_64()});

    // The byte-swapped magics still read their tables big-endian.
    QByteArray swapped = fat({kX86, 7});
    swapped.replace(0, 4, QByteArray("\xBE\xBA\xFE\xCA", 4));
    EXPECT_EQ(Detector::parse(swapped), (std::vector{Arch::x86_64(), Arch::other(7)}));
    QByteArray swappedWide = fat({kArm}, true);
    swappedWide.replace(0, 4, QByteArray("\xBF\xBA\xFE\xCA", 4));
    EXPECT_EQ(Detector::parse(swappedWide), std::vector{Arch::arm64()});
}

TEST(BinaryArchitectureParse, FatEntryCountLimits)
{
    EXPECT_TRUE(Detector::parse(fat({}, false, 0)).empty());
    EXPECT_TRUE(Detector::parse(fat(std::vector<uint32_t>(100, kArm))).empty());
    EXPECT_EQ(Detector::parse(fat(std::vector<uint32_t>(99, kArm))).size(), 99u);
    // A count far beyond the buffer: never read past the end.
    EXPECT_TRUE(Detector::parse(fat({kArm}, false, 0xFFFFFFFF)).empty());
}

TEST(BinaryArchitectureParse, TruncatedTableKeepsWhatWasRead)
{
    QByteArray three = fat({kX86, kArm, 7});
    // Cut inside the third entry's CPU type: 8 + 2*20 + 3 bytes.
    EXPECT_EQ(Detector::parse(three.left(51)), (std::vector{Arch::x86_64(), Arch::arm64()}));
    // Exactly the third CPU type and nothing after it is enough.
    EXPECT_EQ(Detector::parse(three.left(52)).size(), 3u);
    // Declared two, only the header present.
    EXPECT_TRUE(Detector::parse(three.left(8)).empty());
}

TEST(BinaryArchitectureParse, ShortOrForeignDataHasNoArchitecture)
{
    EXPECT_TRUE(Detector::parse({}).empty());
    EXPECT_TRUE(Detector::parse(thin64LE(kArm).left(7)).empty());
    EXPECT_TRUE(Detector::parse("#!/bin/sh\necho hi\n").empty());
    EXPECT_TRUE(Detector::parse(QByteArray("\x7F" "ELF\x02\x01\x01\x00", 8)).empty());
}

class BinaryArchitectureFiles : public ::testing::Test {
protected:
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }
    test::TestPlatform env;
};

TEST_F(BinaryArchitectureFiles, ReadsFilesOfAnySize)
{
    // The largest table allowed fits in the head that is read; the rest of the file is not read.
    const QString big = write("big", fat(std::vector<uint32_t>(99, kX86), true) + QByteArray(1 << 16, 'x'));
    EXPECT_EQ(Detector::architectures(big).size(), 99u);
    EXPECT_TRUE(Detector::isX86_64Only(big));

    EXPECT_TRUE(Detector::architectures(write("empty", {})).empty());
    EXPECT_TRUE(Detector::architectures(write("seven", thin64LE(kX86).left(7))).empty());
    EXPECT_TRUE(Detector::architectures(env.root() + "/missing").empty());
    EXPECT_TRUE(Detector::architectures(env.root()).empty()); // a folder
}

TEST_F(BinaryArchitectureFiles, RealElfExecutableIsNeverIntelOnly)
{
    const QString self = QCoreApplication::applicationFilePath();
    EXPECT_TRUE(Detector::architectures(self).empty());
    env.systemInfo().architecture = QStringLiteral("arm64");
    EXPECT_FALSE(Detector::cannotLaunchOnHost(self));
}

TEST_F(BinaryArchitectureFiles, IntelOnlyCountsOnlyOnAppleSilicon)
{
    const QString intel = write("intel", fat({kX86}));
    const QString universal = write("universal", fat({kX86, kArm}));
    const QString i386 = write("i386", [] {
        QByteArray b("\xCE\xFA\xED\xFE", 4);
        appendLE(b, 7);
        return b;
    }());
    const QString script = write("script", "#!/bin/sh\nexit 0\n");

    EXPECT_TRUE(Detector::isX86_64Only(intel));
    EXPECT_TRUE(Detector::isX86_64Only(write("thin-intel", thin64LE(kX86))));
    EXPECT_FALSE(Detector::isX86_64Only(universal));
    EXPECT_FALSE(Detector::isX86_64Only(i386));
    EXPECT_FALSE(Detector::isX86_64Only(script));

    // This machine (and the default test double) is not Apple silicon.
    EXPECT_FALSE(Detector::isRunningOnAppleSilicon());
    EXPECT_FALSE(Detector::cannotLaunchOnHost(intel));

    // Linux on ARM reports "aarch64", which is not the Mac's answer.
    env.systemInfo().architecture = QStringLiteral("aarch64");
    EXPECT_FALSE(Detector::isRunningOnAppleSilicon());

    env.systemInfo().architecture = QStringLiteral("arm64");
    EXPECT_TRUE(Detector::isRunningOnAppleSilicon());
    EXPECT_TRUE(Detector::cannotLaunchOnHost(intel));
    EXPECT_FALSE(Detector::cannotLaunchOnHost(universal));
    EXPECT_FALSE(Detector::cannotLaunchOnHost(i386));
    EXPECT_FALSE(Detector::cannotLaunchOnHost(script));
    EXPECT_FALSE(Detector::cannotLaunchOnHost(env.root() + "/missing"));
}

} // namespace
} // namespace cordavelle
