#include "platform/bonjour.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(BonjourTxtRecord, EncodesAndDecodesTheWireForm)
{
    BonjourTxtRecord record{{QStringLiteral("radio"), QStringLiteral("IC-7300")}, {QStringLiteral("port"), QStringLiteral("4533")}};
    record.insert(QStringLiteral("flag"), QByteArray());
    const auto wire = record.encode();
    ASSERT_TRUE(wire);
    EXPECT_EQ(*wire, QByteArray("\x0dradio=IC-7300\x09port=4533\x05""flag=", 30));
    EXPECT_EQ(BonjourTxtRecord::decode(*wire), record);

    // An empty record still goes out as one empty string, and reads back empty.
    EXPECT_EQ(BonjourTxtRecord().encode(), QByteArray(1, '\0'));
    EXPECT_TRUE(BonjourTxtRecord::decode(QByteArray(1, '\0')).isEmpty());
}

TEST(BonjourTxtRecord, LooksKeysUpWithoutCaseAndKeepsTheFirstOfRepeatedKeys)
{
    const auto record = BonjourTxtRecord::decode(QByteArray("\x08Radio=A1\x08radio=B2\x04" "bare\x06=value", 30));
    EXPECT_EQ(record.text(QStringLiteral("RADIO")), QStringLiteral("A1"));
    EXPECT_EQ(record.entries().size(), 2u);
    // A bare key is present but has no value; a string without a key is dropped.
    EXPECT_TRUE(record.contains(QStringLiteral("bare")));
    EXPECT_EQ(record.value(QStringLiteral("bare")), std::nullopt);
    EXPECT_FALSE(record.contains(QString()));
    EXPECT_EQ(record.text(QStringLiteral("missing")), std::nullopt);

    BonjourTxtRecord replaced;
    replaced.insert(QStringLiteral("radio"), QStringLiteral("old"));
    replaced.insert(QStringLiteral("RADIO"), QStringLiteral("new"));
    EXPECT_EQ(replaced.entries().size(), 1u);
    EXPECT_EQ(replaced.text(QStringLiteral("radio")), QStringLiteral("new"));
}

TEST(BonjourTxtRecord, RefusesWhatTheWireCannotCarryAndSurvivesTruncatedInput)
{
    BonjourTxtRecord tooLong;
    tooLong.insert(QStringLiteral("radio"), QByteArray(250, 'x'));
    EXPECT_EQ(tooLong.encode(), std::nullopt);
    BonjourTxtRecord badKey;
    badKey.insert(QStringLiteral("a=b"), QByteArray("c"));
    EXPECT_EQ(badKey.encode(), std::nullopt);

    // A length byte that promises more than is there.
    const auto cut = BonjourTxtRecord::decode(QByteArray("\x20radio=IC", 9));
    EXPECT_EQ(cut.value(QStringLiteral("radio")), QByteArray("IC"));
    // Values that are not UTF-8 are kept as bytes but give no text.
    const auto binary = BonjourTxtRecord::decode(QByteArray("\x07radio=\xff", 8));
    EXPECT_EQ(binary.value(QStringLiteral("radio")), QByteArray("\xff"));
    EXPECT_EQ(binary.text(QStringLiteral("radio")), std::nullopt);
}

TEST(BonjourServiceName, CountsOnTheWayBonjourRenamesAfterAConflict)
{
    EXPECT_EQ(nextBonjourServiceName(QStringLiteral("Helper")), QStringLiteral("Helper (2)"));
    EXPECT_EQ(nextBonjourServiceName(QStringLiteral("Helper (2)")), QStringLiteral("Helper (3)"));
    EXPECT_EQ(nextBonjourServiceName(QStringLiteral("Helper (9)")), QStringLiteral("Helper (10)"));
    EXPECT_EQ(nextBonjourServiceName(QStringLiteral("Cordavelle Keepalive (IC-7300)")),
              QStringLiteral("Cordavelle Keepalive (IC-7300) (2)"));
    // "(1)" and "(0)" are part of the name, not a count.
    EXPECT_EQ(nextBonjourServiceName(QStringLiteral("Rig (1)")), QStringLiteral("Rig (1) (2)"));

    // The result fits one DNS label, shortened at a character boundary.
    const QString longName = QString(30, QChar(0x00E9)) + QStringLiteral("abc"); // 63 bytes
    const QString next = nextBonjourServiceName(longName);
    EXPECT_LE(next.toUtf8().size(), 63);
    EXPECT_TRUE(next.endsWith(QStringLiteral(" (2)")));
    EXPECT_EQ(next, QString(29, QChar(0x00E9)) + QStringLiteral(" (2)"));
}

} // namespace
} // namespace cordavelle
