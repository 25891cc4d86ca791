#include "keychain.h"

#include "files.h"
#include "logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>


namespace cordavelle {

QString Keychain::describe(int status)
{
    switch (status) {
    case kSuccess: return QStringLiteral("done");
    case kItemNotFound: return QStringLiteral("no such item");
    case kDuplicateItem: return QStringLiteral("the item already exists");
    case kNotAvailable: return QStringLiteral("the desktop's keyring did not answer");
    case kLocked: return QStringLiteral("the desktop's keyring is locked");
    case kIOError: return QStringLiteral("the private token file could not be read or written");
    case kTimedOut: return QStringLiteral("the desktop's keyring is not answering");
    }
    return QStringLiteral("unknown keyring error %1").arg(status);
}

namespace {

const Logger &keychainLogger()
{
    static const Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("Keychain"));
    return logger;
}

// The file holds {"<service>": {"<account>": "<base64 data>"}}.
bool isStoreShape(const QJsonDocument &doc)
{
    if (!doc.isObject()) {
        return false;
    }
    const QJsonObject store = doc.object();
    for (auto service = store.begin(); service != store.end(); ++service) {
        if (!service->isObject()) {
            return false;
        }
        const QJsonObject items = service->toObject();
        for (auto item = items.begin(); item != items.end(); ++item) {
            if (!item->isString()) {
                return false;
            }
        }
    }
    return true;
}

// A file that can't be opened fails every operation; one that opens but is damaged would do
// so for good, so it is moved aside and the store starts empty.
bool loadStore(const QString &path, QJsonObject *store)
{
    QFile file(path);
    *store = {};
    if (!file.exists()) {
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error == QJsonParseError::NoError && isStoreShape(doc)) {
        *store = doc.object();
        return true;
    }
    if (!moveAsideAsCorrupt(path)) {
        keychainLogger().error(QStringLiteral("Keychain file %1 is damaged and could not be moved aside").arg(path));
        return false;
    }
    keychainLogger().error(
        QStringLiteral("Keychain file %1 is damaged; moved it to %1.corrupt and started an empty store").arg(path));
    return true;
}

bool saveStore(const QString &path, const QJsonObject &store)
{
    makeFolders(folderOf(path));
    try {
        writeFileAtomically(path, QJsonDocument(store).toJson(QJsonDocument::Compact), 0600);
    } catch (const FileError &error) {
        // The file on disk still holds every item it held before.
        keychainLogger().error(error.description());
        return false;
    }
    return true;
}

} // namespace

FileKeychain::FileKeychain(QString filePath) : m_filePath(std::move(filePath))
{
    QString refusal;
    removeLeftoverTemporaryFiles(m_filePath, &refusal);
    if (!refusal.isEmpty()) {
        keychainLogger().error(QStringLiteral("Left what an interrupted write of %1 may have left: %2").arg(m_filePath, refusal));
    }
}

int FileKeychain::add(const QString &service, const QString &account, const QByteArray &data)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    QJsonObject items = store.value(service).toObject();
    if (items.contains(account)) {
        return kDuplicateItem;
    }
    items.insert(account, QString::fromLatin1(data.toBase64()));
    store.insert(service, items);
    return saveStore(m_filePath, store) ? kSuccess : kIOError;
}

int FileKeychain::read(const QString &service, const QString &account, QByteArray *data)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    const QJsonValue value = store.value(service).toObject().value(account);
    if (!value.isString()) {
        return kItemNotFound;
    }
    if (data) {
        *data = QByteArray::fromBase64(value.toString().toLatin1());
    }
    return kSuccess;
}

int FileKeychain::remove(const QString &service, const QString &account)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    QJsonObject items = store.value(service).toObject();
    if (!items.contains(account)) {
        return kItemNotFound;
    }
    items.remove(account);
    store.insert(service, items);
    return saveStore(m_filePath, store) ? kSuccess : kIOError;
}

int FileKeychain::count(const QString &service, int *count)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    const int n = static_cast<int>(store.value(service).toObject().size());
    if (count) {
        *count = n;
    }
    return n == 0 ? kItemNotFound : kSuccess;
}

int FileKeychain::removeAll(const QString &service)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    if (store.value(service).toObject().isEmpty()) {
        return kItemNotFound;
    }
    store.remove(service);
    return saveStore(m_filePath, store) ? kSuccess : kIOError;
}

int FileKeychain::items(std::vector<Item> *items)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    items->clear();
    for (auto service = store.begin(); service != store.end(); ++service) {
        const QJsonObject accounts = service->toObject();
        for (auto item = accounts.begin(); item != accounts.end(); ++item) {
            items->push_back({service.key(), item.key(), QByteArray::fromBase64(item->toString().toLatin1())});
        }
    }
    return kSuccess;
}

int FileKeychain::accounts(const QString &service, QStringList *accounts)
{
    QJsonObject store;
    if (!loadStore(m_filePath, &store)) {
        return kIOError;
    }
    const QStringList found = store.value(service).toObject().keys();
    if (accounts) {
        *accounts = found;
    }
    return found.isEmpty() ? kItemNotFound : kSuccess;
}

} // namespace cordavelle
