#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace cordavelle {

// One user-defaults domain: typed values (integer, real, boolean, string, data, date, array,
// dictionary) held as QVariant (qlonglong, double, bool, QString, QByteArray, QDateTime,
// QVariantList, QVariantMap). An absent key reads as an invalid QVariant.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    virtual QString domain() const = 0;
    virtual QVariant object(const QString &key) const = 0;
    // Stores the value and writes the domain out. An invalid QVariant removes the key. When the
    // domain can't be written, the key keeps its old value and the reason is returned.
    virtual std::optional<QString> setObject(const QString &key, const QVariant &value) = 0;
    virtual std::optional<QString> removeObject(const QString &key) = 0;
    virtual QVariantMap dictionary() const = 0;
    // Forgets every key of the domain, in memory and on disk.
    virtual void removeDomain() = 0;
    // Whether a damaged copy of the domain's file was kept aside, with values this one lacks.
    virtual bool hasDamagedCopyAside() const { return false; }

    bool contains(const QString &key) const { return object(key).isValid(); }

    // The boolean reading: true for a true boolean, a non-zero number, or a string beginning with
    // "Y", "y", "T", "t" or a non-zero digit; false otherwise (also when absent).
    bool boolForKey(const QString &key) const;
    // The string reading: a string as is, a number as its decimal text, otherwise absent.
    std::optional<QString> stringForKey(const QString &key) const;
    // The number reading: integers, reals without a fraction and booleans (0/1); otherwise absent.
    std::optional<qint64> integerForKey(const QString &key) const;
    // The boolean-object reading: booleans and the integers 0 and 1 only.
    std::optional<bool> boolObjectForKey(const QString &key) const;
    // Data as stored; absent for any other type.
    std::optional<QByteArray> dataForKey(const QString &key) const;
};

// The reading rules on a bare value, for values that come from a dictionary rather than a key.
namespace defaults_reading {
bool boolValue(const QVariant &value);
std::optional<QString> stringValue(const QVariant &value);
std::optional<qint64> integerValue(const QVariant &value);
std::optional<bool> boolObjectValue(const QVariant &value);
} // namespace defaults_reading

// A domain kept in memory only (the test double, and a fallback where nothing may be written).
class MemoryUserDefaults : public UserDefaults {
public:
    explicit MemoryUserDefaults(QString domain, QVariantMap values = {});

    QString domain() const override { return m_domain; }
    QVariant object(const QString &key) const override { return m_values.value(key); }
    std::optional<QString> setObject(const QString &key, const QVariant &value) override;
    std::optional<QString> removeObject(const QString &key) override
    {
        m_values.remove(key);
        return std::nullopt;
    }
    QVariantMap dictionary() const override { return m_values; }
    void removeDomain() override { m_values.clear(); }

    int writeCount() const { return m_writes; }

private:
    QString m_domain;
    QVariantMap m_values;
    int m_writes = 0;
};

// A domain stored as an XML property list, rewritten atomically on every assignment; an
// assignment that can't be written (a full disk, a read-only folder) changes nothing.
// A file that cannot be parsed is moved aside to "<name>.corrupt" and the domain starts empty.
// An assignment whose key or texts the file could not give back unchanged (most control
// characters, a carriage return, U+FFFE, U+FFFF) is refused with an error and changes nothing.
class PlistUserDefaults final : public UserDefaults {
public:
    PlistUserDefaults(QString domain, QString filePath);

    QString domain() const override { return m_domain; }
    QVariant object(const QString &key) const override { return m_values.value(key); }
    std::optional<QString> setObject(const QString &key, const QVariant &value) override;
    std::optional<QString> removeObject(const QString &key) override;
    QVariantMap dictionary() const override { return m_values; }
    void removeDomain() override;
    bool hasDamagedCopyAside() const override;

    const QString &filePath() const { return m_filePath; }

private:
    void load();
    // Writes the domain out; on failure puts `previous` (invalid: absent) back under `key`.
    std::optional<QString> save(const QString &key, const QVariant &previous);
    // The file's text, the same bytes as the whole dictionary's serialisation, made from each
    // entry's XML kept from earlier saves: a save serialises only the entries that changed.
    std::optional<QByteArray> fileXml();
    // One entry's XML as it stands inside the root dictionary; absent when the library's text
    // is not framed as expected, and the whole dictionary is serialised instead.
    std::optional<QByteArray> entryXml(const QString &key, const QVariant &value);

    QString m_domain;
    QString m_filePath;
    QString m_folder;
    QVariantMap m_values;
    // The XML of the entries of `m_values`, by key; an entry goes whenever its value changes.
    QMap<QString, QByteArray> m_entryXml;
    // The file's text up to its first entry.
    QByteArray m_xmlHead;
};

// Reads a property list file (XML or binary) whose root is a dictionary. Absent when the file
// is missing, unreadable, not a dictionary property list or nested deeper than any of the
// helper's own.
std::optional<QVariantMap> readPropertyListFile(const QString &path);
// Writes a dictionary as an XML property list through a temporary file and a rename.
bool writePropertyListFile(const QString &path, const QVariantMap &values, QString *error = nullptr);

} // namespace cordavelle
