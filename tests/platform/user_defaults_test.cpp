#include "support/small_disk.h"
#include "support/python_plist.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace cordavelle {
namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    QString file(const QString &name = QStringLiteral("com.example.domain"))
    {
        return env.platform().preferencesFile(name);
    }
    test::TestPlatform env;
};

TEST_F(UserDefaultsTest, KeepsValueTypesAcrossAReload)
{
    const QDateTime when(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC);
    {
        PlistUserDefaults defaults(QStringLiteral("com.example.domain"), file());
        defaults.setObject("int", qlonglong(-1));
        defaults.setObject("big", qlonglong(1) << 40);
        defaults.setObject("real", 2.5);
        defaults.setObject("bool", true);
        defaults.setObject("text", QStringLiteral("häm 100%"));
        defaults.setObject("data", QByteArray("\x00\x01\xff", 3));
        defaults.setObject("date", when);
        defaults.setObject("array", QVariantList{1, QStringLiteral("two")});
        defaults.setObject("dict", QVariantMap{{"k", false}});
    }
    PlistUserDefaults reloaded(QStringLiteral("com.example.domain"), file());
    EXPECT_EQ(reloaded.object("int").typeId(), QMetaType::LongLong);
    EXPECT_EQ(reloaded.integerForKey("int"), -1);
    EXPECT_EQ(reloaded.integerForKey("big"), qlonglong(1) << 40);
    EXPECT_EQ(reloaded.object("real").typeId(), QMetaType::Double);
    EXPECT_DOUBLE_EQ(reloaded.object("real").toDouble(), 2.5);
    EXPECT_EQ(reloaded.object("bool").typeId(), QMetaType::Bool);
    EXPECT_EQ(reloaded.object("text").toString(), QStringLiteral("häm 100%"));
    EXPECT_EQ(reloaded.dataForKey("data"), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(reloaded.object("date").typeId(), QMetaType::QDateTime);
    EXPECT_EQ(reloaded.object("date").toDateTime(), when);
    EXPECT_EQ(reloaded.object("array").toList().size(), 2);
    EXPECT_EQ(reloaded.object("dict").toMap().value("k").typeId(), QMetaType::Bool);
}

TEST_F(UserDefaultsTest, NeverWritesAFileThatCouldNotBeReadBack)
{
    PlistUserDefaults defaults(QStringLiteral("com.example.domain"), file());
    const QString kept[] = {
        QStringLiteral("tab\tand\nline"), QString::fromUtf8("\xf0\x9f\x98\x80 <&> ]]> \xc2\x85 \xe2\x80\xa8"), QString(),
    };
    for (const QString &text : kept) {
        defaults.setObject("text", text);
        defaults.setObject(text.isEmpty() ? QStringLiteral("k") : text, QVariantList{text});
    }
    const QString refused[] = {
        QStringLiteral("a\u0001b"), QString::fromUtf8("A\0B", 3), QStringLiteral("a\rb"),
        QString(QChar(0xfffe)), QString(QChar(0xffff)), QString(QChar(0xd800)) + QStringLiteral("x"),
    };
    for (const QString &text : refused) {
        defaults.setObject("text", text);
        defaults.setObject(text, 1);
        defaults.setObject("nested", QVariantMap{{"list", QVariantList{text}}});
        defaults.setObject("nestedKey", QVariantMap{{text, 1}});
    }
    EXPECT_EQ(env.log().messages().filter("Did not store preference").size(), 4 * std::size(refused));
    EXPECT_EQ(defaults.object("text"), QString());
    EXPECT_FALSE(defaults.contains("nested"));
    EXPECT_FALSE(defaults.contains("nestedKey"));

    // The file reads back whole, in this program and in another reader of property lists.
    PlistUserDefaults reloaded(QStringLiteral("com.example.domain"), file());
    EXPECT_EQ(reloaded.dictionary(), defaults.dictionary());
    EXPECT_EQ(reloaded.dictionary().size(), 4);
    const auto python = test::readWithPlistlib(file());
    ASSERT_TRUE(python) << "plistlib refused the file";
    for (const QString &text : kept) {
        const std::string key = text.isEmpty() ? "k" : text.toStdString();
        EXPECT_EQ(python->at(key), Json::array({text.toStdString()}));
    }
}

TEST_F(UserDefaultsTest, ReadingRules)
{
    MemoryUserDefaults d(QStringLiteral("x"));
    d.setObject("port", QStringLiteral("4532"));
    EXPECT_FALSE(d.integerForKey("port")); // a string under a number key reads as the default
    EXPECT_EQ(d.stringForKey("port"), QStringLiteral("4532"));

    d.setObject("n", 4532.0);
    EXPECT_EQ(d.integerForKey("n"), 4532);
    EXPECT_EQ(d.stringForKey("n"), QStringLiteral("4532"));
    d.setObject("frac", 2.5);
    EXPECT_FALSE(d.integerForKey("frac"));
    d.setObject("flag", true);
    EXPECT_EQ(d.integerForKey("flag"), 1);

    for (const char *yes : {"YES", "yes", "true", "T", "7"}) {
        d.setObject("b", QString::fromLatin1(yes));
        EXPECT_TRUE(d.boolForKey("b")) << yes;
    }
    for (const char *no : {"NO", "false", "0", "", "maybe"}) {
        d.setObject("b", QString::fromLatin1(no));
        EXPECT_FALSE(d.boolForKey("b")) << no;
    }
    d.setObject("b", qlonglong(2));
    EXPECT_TRUE(d.boolForKey("b"));
    EXPECT_FALSE(d.boolForKey("absent"));

    d.setObject("o", qlonglong(1));
    EXPECT_EQ(d.boolObjectForKey("o"), true);
    d.setObject("o", qlonglong(2));
    EXPECT_FALSE(d.boolObjectForKey("o"));
    d.setObject("o", QStringLiteral("true"));
    EXPECT_FALSE(d.boolObjectForKey("o"));
    EXPECT_FALSE(d.stringForKey("absent"));
}

TEST_F(UserDefaultsTest, ImportedFileKeepsItsDate)
{
    // A property list written by another program stands for a prior bundle's file.
    const QString xml = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>when</key><date>2024-05-06T07:08:09Z</date><key>n</key><integer>-5</integer>"
        "</dict></plist>\n");
    const QString xmlPath = env.root() + "/prior.plist";
    {
        QFile f(xmlPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(xml.toUtf8());
    }
    auto values = readPropertyListFile(xmlPath);
    ASSERT_TRUE(values);
    EXPECT_EQ(values->value("when").typeId(), QMetaType::QDateTime);
    EXPECT_EQ(values->value("when").toDateTime(), QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC));
    EXPECT_EQ(values->value("n").toLongLong(), -5);

    // Copied into a domain, the date stays a date after a reload.
    {
        PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
        d.setObject("when", values->value("when"));
    }
    PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
    EXPECT_EQ(d.object("when").typeId(), QMetaType::QDateTime);
}

TEST_F(UserDefaultsTest, RemovesAWholeDomain)
{
    auto &d = env.platform().defaults(QStringLiteral("com.example.domain"));
    d.setObject("a", qlonglong(1));
    ASSERT_TRUE(QFile::exists(file()));
    d.removeDomain();
    EXPECT_FALSE(QFile::exists(file()));
    EXPECT_FALSE(d.contains("a"));
    PlistUserDefaults reloaded(QStringLiteral("com.example.domain"), file());
    EXPECT_TRUE(reloaded.dictionary().isEmpty());
}

TEST_F(UserDefaultsTest, DamagedFileIsMovedAsideNotOverwritten)
{
    QDir().mkpath(env.platform().paths().preferences());
    {
        QFile f(file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\"?><plist><dict><key>broken");
    }
    PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
    EXPECT_TRUE(d.dictionary().isEmpty());
    EXPECT_TRUE(QFile::exists(file() + ".corrupt"));
    EXPECT_TRUE(env.log().contains(QStringLiteral("could not be read")));

    d.setObject("fresh", qlonglong(3));
    QFile aside(file() + ".corrupt");
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_TRUE(aside.readAll().contains("broken"));
    EXPECT_EQ(PlistUserDefaults(QStringLiteral("com.example.domain"), file()).integerForKey("fresh"), 3);
}

// Settings are a dictionary: any other root is a damaged file the next save must not overwrite.
TEST_F(UserDefaultsTest, FileWhoseRootIsNoDictionaryIsMovedAsideAsDamaged)
{
    QDir().mkpath(env.platform().paths().preferences());
    for (const QByteArray &root : {QByteArray("<array><string>rigctld</string></array>"), QByteArray("<string>rigctld</string>")}) {
        const QByteArray content = "<?xml version=\"1.0\"?><plist version=\"1.0\">" + root + "</plist>";
        ASSERT_TRUE(test::writeFile(file(), content));
        PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
        EXPECT_TRUE(d.dictionary().isEmpty()) << root.toStdString();
        EXPECT_FALSE(QFile::exists(file())) << root.toStdString();
        EXPECT_EQ(test::readBytes(file() + ".corrupt"), content) << root.toStdString();
    }
}

TEST_F(UserDefaultsTest, DeeplyNestedFileIsMovedAsideAsDamaged)
{
    QDir().mkpath(env.platform().paths().preferences());
    for (const int depth : {200000, 25000, 10000, 40}) {
        const QByteArray nested = QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth);
        const QByteArray content = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>port</key><integer>1</integer>"
                                   "<key>deep</key>" + nested + "</dict></plist>";
        ASSERT_TRUE(test::writeFile(file(), content));
        PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
        EXPECT_TRUE(d.dictionary().isEmpty()) << depth;
        EXPECT_EQ(test::readBytes(file() + ".corrupt"), content) << depth;
    }
    // A binary file's nesting is bounded by its count of arrays before the library reads it.
    for (const int depth : {200000, 4000}) {
        const QByteArray content = test::nestedBinaryPropertyList(depth);
        ASSERT_TRUE(test::writeFile(file(), content));
        PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
        EXPECT_TRUE(d.dictionary().isEmpty()) << depth;
        EXPECT_EQ(test::readBytes(file() + ".corrupt"), content) << depth;
    }
    ASSERT_TRUE(test::writeFile(file(), test::nestedBinaryPropertyList(2)));
    EXPECT_EQ(PlistUserDefaults(QStringLiteral("com.example.domain"), file()).object("deep"),
              QVariant(QVariantList{QVariantList{1}}));
    // What the helper itself stores nests a few levels and reads back.
    {
        PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
        d.setObject("clients", QVariantList{QVariantMap{{"services", QVariantList{QVariantMap{{"port", 1}}}}}});
    }
    EXPECT_EQ(PlistUserDefaults(QStringLiteral("com.example.domain"), file()).object("clients").toList().size(), 1);
}

// A change that can't be written is refused whole: memory keeps what the file keeps, so the
// next start shows the settings the helper showed before.
TEST_F(UserDefaultsTest, AChangeThatCannotBeWrittenChangesNothing)
{
    test::SmallDisk disk(env.platform().paths().preferences());
    if (!disk.available()) {
        GTEST_SKIP() << "no disk of its own to fill: " << disk.whyNot().toStdString();
    }
    PlistUserDefaults defaults(QStringLiteral("com.example.domain"), file());
    ASSERT_EQ(defaults.setObject("apiPort", 8380), std::nullopt);
    ASSERT_EQ(defaults.setObject("callsign", "N0CALL"), std::nullopt);
    ASSERT_TRUE(disk.fill());

    const std::optional<QString> failure = defaults.setObject("apiPort", QString(40000, QChar('9')));
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << failure->toStdString();
    EXPECT_TRUE(defaults.setObject("added", QString(40000, QChar('a'))).has_value());
    EXPECT_TRUE(defaults.removeObject("callsign").has_value());
    EXPECT_EQ(defaults.dictionary(), (QVariantMap{{"apiPort", 8380}, {"callsign", "N0CALL"}}));

    // What a start after a kill -9 finds.
    EXPECT_EQ(PlistUserDefaults(QStringLiteral("com.example.domain"), file()).dictionary(), defaults.dictionary());

    // The next save that succeeds writes the values kept, not the ones refused.
    disk.free();
    ASSERT_EQ(defaults.setObject("later", true), std::nullopt);
    EXPECT_EQ(PlistUserDefaults(QStringLiteral("com.example.domain"), file()).dictionary(),
              (QVariantMap{{"apiPort", 8380}, {"callsign", "N0CALL"}, {"later", true}}));
}

// A save serialises again only the entries that changed; the file must still be, byte for byte,
// the whole dictionary's serialisation, after whatever was set, replaced, refused or removed.
TEST_F(UserDefaultsTest, EverySaveWritesTheWholeDictionaryAsItStands)
{
    PlistUserDefaults defaults(QStringLiteral("com.example.domain"), file());
    const QString whole = env.platform().paths().preferences() + QStringLiteral("/whole.plist");
    const auto bytesOf = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QVariantMap nested{{"list", QVariantList{1, 2.5, "x <&>", QByteArray(300, 'd'), QVariantList{}}},
                             {"empty", QVariantMap{}},
                             {"when", QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC)}};
    const std::function<void()> steps[] = {
        [&] { defaults.setObject("pairedClients", QByteArray(R"([{"lastSeen":1}])")); },
        [&] { defaults.setObject("apiPort", 8380); },
        [&] { defaults.setObject("nested", nested); },
        [&] { defaults.setObject("pairedClients", QByteArray(R"([{"lastSeen":2}])")); },
        [&] { defaults.setObject("apiPort", QStringLiteral("ab")); },
        [&] { defaults.setObject("aaa", QStringLiteral("sorted first")); },
        [&] { defaults.removeObject("apiPort"); },
        [&] { defaults.setObject("nested", QVariant()); },
        [&] { defaults.setObject("pairedClients", QByteArray(R"([{"lastSeen":3}])")); },
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i]();
        ASSERT_TRUE(writePropertyListFile(whole, defaults.dictionary()));
        EXPECT_EQ(bytesOf(file()), bytesOf(whole)) << "after step " << i;
    }
}

TEST_F(UserDefaultsTest, LeftoversOfAnInterruptedSaveAreRemoved)
{
    const QString folder = env.platform().paths().preferences();
    QDir().mkpath(folder);
    for (const QString &name : {file() + ".x1Y2z3", file() + ".corrupt", folder + "/com.other.plist.x1Y2z3"}) {
        ASSERT_TRUE(test::writeFile(name, "<?xml"));
    }
    PlistUserDefaults d(QStringLiteral("com.example.domain"), file());
    EXPECT_FALSE(QFile::exists(file() + ".x1Y2z3"));
    EXPECT_TRUE(QFile::exists(file() + ".corrupt"));
    EXPECT_TRUE(QFile::exists(folder + "/com.other.plist.x1Y2z3"));
}

} // namespace
} // namespace cordavelle
