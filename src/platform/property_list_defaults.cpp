// The user-defaults domain stored as a property list, and the codec between QVariant and
// property-list values.

#include "user_defaults.h"

#include "files.h"
#include "logger.h"
#include "platform.h"
#include "property_list_walk.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace cordavelle {

namespace {

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
const QDateTime &plistEpoch()
{
    static const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return epoch;
}

struct PlistDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

QVariant fromPlist(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return QVariant(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return QVariant(static_cast<qlonglong>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return QVariant(d);
    }
    case PLIST_STRING: {
        char *s = nullptr;
        plist_get_string_val(node, &s);
        QString text = QString::fromUtf8(s ? s : "");
        free(s);
        return QVariant(text);
    }
    case PLIST_DATA: {
        char *d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        QByteArray bytes(d ? d : "", static_cast<qsizetype>(len));
        free(d);
        return QVariant(bytes);
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return QVariant(plistEpoch().addMSecs(qint64(sec) * 1000 + usec / 1000));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            list.append(fromPlist(plist_array_get_item(node, i)));
        }
        return QVariant(list);
    }
    case PLIST_DICT: {
        QVariantMap map;
        forEachDictionaryItem(node, [&map](const char *key, plist_t value) {
            map.insert(QString::fromUtf8(key), fromPlist(value));
        });
        return QVariant(map);
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return QVariant(static_cast<qlonglong>(u));
    }
    default:
        return {};
    }
}

plist_t toPlist(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        // Negative numbers travel as their two's complement and are written back signed.
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = plistEpoch().msecsTo(value.toDateTime());
        const qint64 sec = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
        const qint64 usec = (ms - sec * 1000) * 1000;
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(usec));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        for (const QVariant &item : value.toList()) {
            if (plist_t node = toPlist(item)) {
                plist_array_append_item(array, node);
            }
        }
        return array;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (plist_t node = toPlist(it.value())) {
                plist_dict_set_item(dict, it.key().toUtf8().constData(), node);
            }
        }
        return dict;
    }
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    default:
        if (value.canConvert<QString>()) {
            return plist_new_string(value.toString().toUtf8().constData());
        }
        return nullptr;
    }
}

// Whether an XML property list carries the text back unchanged: XML has no way to write most
// control characters or U+FFFE and U+FFFF, a carriage return reads back as a line feed, and the
// property-list library ends a text at its first NUL.
bool xmlKeepsText(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            ++i;
            continue;
        }
        const bool kept = u == 0x9 || u == 0xa || (u >= 0x20 && u < 0xd800) || (u >= 0xe000 && u <= 0xfffd);
        if (!kept) {
            return false;
        }
    }
    return true;
}

bool xmlKeepsValue(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        return std::all_of(list.cbegin(), list.cend(), xmlKeepsValue);
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (!xmlKeepsText(it.key()) || !xmlKeepsValue(it.value())) {
                return false;
            }
        }
        return true;
    }
    case QMetaType::QString: return xmlKeepsText(value.toString());
    default: return true;
    }
}

// The helper's defaults nest a handful of levels. A file nested far deeper is damaged, and the
// recursive conversions would run out of stack on it.
constexpr int kMaxPropertyListDepth = 32;
// A binary file's nesting can't be read before the library reads it, only bounded by its count
// of containers: far more than the helper's own defaults hold, far fewer than would exhaust the
// stack.
constexpr qsizetype kMaxBinaryContainers = 4096;

Logger &defaultsLogger()
{
    static Logger logger(QStringLiteral("com.cordavelle.helper"), QStringLiteral("UserDefaults"));
    return logger;
}

} // namespace

std::optional<QVariantMap> readPropertyListFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    if (plist_is_binary(bytes.constData(), static_cast<uint32_t>(bytes.size()))) {
        if (!binaryPropertyListHoldsMoreContainersThan(bytes, kMaxBinaryContainers)) {
            plist_from_bin(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
        }
    } else if (!xmlPropertyListNestsDeeperThan(bytes, kMaxPropertyListDepth)) {
        plist_from_xml(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
    }
    PlistPtr guard(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT || propertyListNestsDeeperThan(root, kMaxPropertyListDepth)) {
        return std::nullopt;
    }
    return fromPlist(root).toMap();
}

namespace {

std::optional<QByteArray> xmlText(plist_t root)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (!xml) {
        return std::nullopt;
    }
    QByteArray bytes(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    return bytes;
}

std::optional<QByteArray> dictionaryXml(const QVariantMap &values)
{
    PlistPtr root(toPlist(QVariant(values)));
    return xmlText(root.get());
}

bool writeXmlFile(const QString &path, const QString &folder, const QByteArray &bytes, QString *error)
{
    // Settings name the programs the helper runs and the clients it trusts: this user's alone.
    makeFolderForOwner(folder);
    try {
        writeFileAtomically(path, bytes, 0600);
    } catch (const FileError &failure) {
        if (error) {
            *error = failure.description();
        }
        return false;
    }
    return true;
}

const QString kNotSerialised = QStringLiteral("could not serialise the property list");

// What the library writes around the entries of a root dictionary that has any.
constexpr QByteArrayView kRootOpening("<dict>\n");
constexpr QByteArrayView kRootEnd("</dict>\n</plist>\n");

} // namespace

bool writePropertyListFile(const QString &path, const QVariantMap &values, QString *error)
{
    const std::optional<QByteArray> bytes = dictionaryXml(values);
    if (!bytes) {
        if (error) {
            *error = kNotSerialised;
        }
        return false;
    }
    return writeXmlFile(path, folderOf(path), *bytes, error);
}

PlistUserDefaults::PlistUserDefaults(QString domain, QString filePath)
    : m_domain(std::move(domain)), m_filePath(std::move(filePath)), m_folder(folderOf(m_filePath))
{
    load();
}

void PlistUserDefaults::load()
{
    m_values.clear();
    m_entryXml.clear();
    QString refusal;
    removeLeftoverTemporaryFiles(m_filePath, &refusal);
    if (!refusal.isEmpty()) {
        defaultsLogger().error(QStringLiteral("Left what an interrupted write of %1 may have left: %2").arg(m_filePath, refusal));
    }
    if (!QFileInfo::exists(m_filePath)) {
        return;
    }
    if (auto values = readPropertyListFile(m_filePath)) {
        m_values = std::move(*values);
        return;
    }
    // Keep the damaged file for the user instead of overwriting it with the next assignment.
    if (moveAsideAsCorrupt(m_filePath)) {
        defaultsLogger().error(QStringLiteral("Preferences file %1 could not be read; moved it to %1.corrupt and started empty")
                                   .arg(m_filePath));
    } else {
        defaultsLogger().error(QStringLiteral("Preferences file %1 could not be read and could not be moved aside")
                                   .arg(m_filePath));
    }
}

std::optional<QByteArray> PlistUserDefaults::entryXml(const QString &key, const QVariant &value)
{
    PlistPtr root(plist_new_dict());
    plist_t node = toPlist(value);
    if (!node) {
        // Left out, as the whole dictionary's serialisation leaves it out.
        return QByteArray();
    }
    plist_dict_set_item(root.get(), key.toUtf8().constData(), node);
    const std::optional<QByteArray> text = xmlText(root.get());
    const qsizetype opening = text ? text->indexOf(kRootOpening) : -1;
    if (opening < 0 || !text->endsWith(kRootEnd)) {
        return std::nullopt;
    }
    const qsizetype start = opening + kRootOpening.size();
    const QByteArray head = text->left(start);
    if (m_xmlHead.isEmpty()) {
        m_xmlHead = head;
    } else if (head != m_xmlHead) {
        return std::nullopt;
    }
    return text->mid(start, text->size() - kRootEnd.size() - start);
}

std::optional<QByteArray> PlistUserDefaults::fileXml()
{
    QByteArray entries;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        auto cached = m_entryXml.constFind(it.key());
        if (cached == m_entryXml.cend()) {
            std::optional<QByteArray> entry = entryXml(it.key(), it.value());
            if (!entry) {
                m_entryXml.clear();
                return dictionaryXml(m_values);
            }
            cached = m_entryXml.insert(it.key(), std::move(*entry));
        }
        entries += *cached;
    }
    if (entries.isEmpty()) {
        // An empty root dictionary is written in a form of its own.
        return dictionaryXml(m_values);
    }
    QByteArray file;
    file.reserve(m_xmlHead.size() + entries.size() + kRootEnd.size());
    file.append(m_xmlHead).append(entries).append(kRootEnd);
    return file;
}

std::optional<QString> PlistUserDefaults::save(const QString &key, const QVariant &previous)
{
    QString error = kNotSerialised;
    const std::optional<QByteArray> bytes = fileXml();
    if (bytes && writeXmlFile(m_filePath, m_folder, *bytes, &error)) {
        return std::nullopt;
    }
    // What is in memory is what the file holds, so the next start finds the same settings.
    if (previous.isValid()) {
        m_values.insert(key, previous);
    } else {
        m_values.remove(key);
    }
    m_entryXml.remove(key);
    defaultsLogger().error(QStringLiteral("Could not write preferences %1: %2").arg(m_filePath, error));
    return error;
}

std::optional<QString> PlistUserDefaults::setObject(const QString &key, const QVariant &value)
{
    // The file must always read back: a text it can't keep is refused and the key left as it was.
    if (!xmlKeepsText(key) || !xmlKeepsValue(value)) {
        const QString reason = QStringLiteral("a text holds characters a preferences file cannot keep");
        defaultsLogger().error(QStringLiteral("Did not store preference %1: %2").arg(key, reason));
        return reason;
    }
    const QVariant previous = m_values.value(key);
    if (!value.isValid()) {
        m_values.remove(key);
    } else {
        m_values.insert(key, value);
    }
    m_entryXml.remove(key);
    return save(key, previous);
}

std::optional<QString> PlistUserDefaults::removeObject(const QString &key)
{
    const QVariant previous = m_values.take(key);
    if (!previous.isValid()) {
        return std::nullopt;
    }
    m_entryXml.remove(key);
    return save(key, previous);
}

bool PlistUserDefaults::hasDamagedCopyAside() const { return QFile::exists(m_filePath + QStringLiteral(".corrupt")); }

void PlistUserDefaults::removeDomain()
{
    m_values.clear();
    m_entryXml.clear();
    QFile::remove(m_filePath);
}

} // namespace cordavelle
