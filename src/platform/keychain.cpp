#include "keychain.h"

#include "clock.h"
#include "files.h"
#include "logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <condition_variable>
#include <mutex>
#include <thread>

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
    QDir().mkpath(QFileInfo(path).absolutePath());
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
    removeLeftoverTemporaryFiles(m_filePath);
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

struct LinuxKeychain::Answer {
    std::mutex mutex;
    std::condition_variable given;
    bool isGiven = false;
    bool usable = false;
    QString why;
};

LinuxKeychain::LinuxKeychain(QString fallbackFile, Clock &clock, Probe probe)
    : m_fallbackFile(std::move(fallbackFile)), m_clock(clock), m_probe(std::move(probe))
{
}

LinuxKeychain::~LinuxKeychain()
{
    m_lifetime.request_stop();
}

void LinuxKeychain::ask()
{
    if (m_answer) {
        return;
    }
    m_answer = std::make_shared<Answer>();
    m_askedAt = m_clock.now();
    // Detached: a Secret Service that never answers holds the thread until the bus gives up on
    // it, which must hold neither the program nor its end.
    std::thread([answer = m_answer, probe = m_probe] {
        QString why;
        const bool usable = probe(&why);
        const std::lock_guard lock(answer->mutex);
        answer->isGiven = true;
        answer->usable = usable;
        answer->why = why;
        answer->given.notify_all();
    }).detach();
}

void LinuxKeychain::settleWith(std::optional<bool> usable, const QString &why)
{
    if (usable == true) {
        m_backend = std::make_unique<SecretServiceKeychain>();
        return;
    }
    const QString reason = usable ? QStringLiteral("No Secret Service answered (%1)").arg(why)
                                  : QStringLiteral("The Secret Service did not answer within %1 s")
                                        .arg(std::chrono::duration<double>(kAnswerTimeLimit).count());
    keychainLogger().error(
        QStringLiteral("%1; keeping secrets in %2 (readable by this user only)").arg(reason, m_fallbackFile));
    m_backend = std::make_unique<FileKeychain>(m_fallbackFile);
}

QCoro::Task<void> LinuxKeychain::settle()
{
    ask();
    const std::stop_token lifetime = m_lifetime.get_token();
    while (!m_backend) {
        {
            const std::lock_guard lock(m_answer->mutex);
            if (m_answer->isGiven) {
                settleWith(m_answer->usable, m_answer->why);
                break;
            }
        }
        if (m_clock.now() - m_askedAt >= kAnswerTimeLimit) {
            settleWith(std::nullopt, {});
            break;
        }
        if (!co_await m_clock.sleep(std::chrono::milliseconds(20), lifetime)) {
            co_return;
        }
    }
}

Keychain &LinuxKeychain::backend()
{
    if (!m_backend) {
        ask();
        const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                   kAnswerTimeLimit - (m_clock.now() - m_askedAt));
        std::unique_lock lock(m_answer->mutex);
        if (m_answer->given.wait_for(lock, left, [this] { return m_answer->isGiven; })) {
            settleWith(m_answer->usable, m_answer->why);
        } else {
            settleWith(std::nullopt, {});
        }
    }
    return *m_backend;
}

int LinuxKeychain::add(const QString &service, const QString &account, const QByteArray &data)
{
    return backend().add(service, account, data);
}

int LinuxKeychain::read(const QString &service, const QString &account, QByteArray *data)
{
    return backend().read(service, account, data);
}

int LinuxKeychain::remove(const QString &service, const QString &account)
{
    return backend().remove(service, account);
}

int LinuxKeychain::count(const QString &service, int *count) { return backend().count(service, count); }

int LinuxKeychain::removeAll(const QString &service) { return backend().removeAll(service); }

int LinuxKeychain::accounts(const QString &service, QStringList *accounts)
{
    return backend().accounts(service, accounts);
}

} // namespace cordavelle
