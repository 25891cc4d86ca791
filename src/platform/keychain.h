#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace cordavelle {

// Generic passwords by service and account, with the status codes that callers report to the
// user (0 success, negative codes for failures).
class Keychain {
public:
    static constexpr int kSuccess = 0;
    static constexpr int kItemNotFound = -25300;
    static constexpr int kDuplicateItem = -25299;
    static constexpr int kNotAvailable = -25291;
    static constexpr int kLocked = -25308;
    static constexpr int kIOError = -36;

    // What a status means, in words for the user.
    static QString describe(int status);

    virtual ~Keychain() = default;

    // Adds an item; kDuplicateItem when the account already has one.
    virtual int add(const QString &service, const QString &account, const QByteArray &data) = 0;
    virtual int read(const QString &service, const QString &account, QByteArray *data) = 0;
    virtual int remove(const QString &service, const QString &account) = 0;
    // Number of items of the service; kItemNotFound when there are none.
    virtual int count(const QString &service, int *count) = 0;
    // Removes every item of the service; kItemNotFound when there were none.
    virtual int removeAll(const QString &service) = 0;
    // The accounts that have an item of the service; kItemNotFound when there are none.
    virtual int accounts(const QString &service, QStringList *accounts) = 0;
};

// Items in one JSON file with mode 0600, rewritten atomically. Stands in where no Secret Service
// answers (a headless session).
class FileKeychain final : public Keychain {
public:
    explicit FileKeychain(QString filePath);

    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int read(const QString &service, const QString &account, QByteArray *data) override;
    int remove(const QString &service, const QString &account) override;
    int count(const QString &service, int *count) override;
    int removeAll(const QString &service) override;
    int accounts(const QString &service, QStringList *accounts) override;

    const QString &filePath() const { return m_filePath; }

private:
    QString m_filePath;
};

// The Secret Service of the desktop session (libsecret).
class SecretServiceKeychain final : public Keychain {
public:
    // Whether a Secret Service answers on the session bus right now with an unlocked default
    // collection, so that items can be stored without a password prompt.
    static bool isAvailable(QString *why = nullptr);

    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int read(const QString &service, const QString &account, QByteArray *data) override;
    int remove(const QString &service, const QString &account) override;
    int count(const QString &service, int *count) override;
    int removeAll(const QString &service) override;
    int accounts(const QString &service, QStringList *accounts) override;
};

// The production keychain: the Secret Service when one is usable at first use, otherwise the file
// store in the support folder, with a logged warning.
class LinuxKeychain final : public Keychain {
public:
    explicit LinuxKeychain(QString fallbackFile);

    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int read(const QString &service, const QString &account, QByteArray *data) override;
    int remove(const QString &service, const QString &account) override;
    int count(const QString &service, int *count) override;
    int removeAll(const QString &service) override;
    int accounts(const QString &service, QStringList *accounts) override;

private:
    Keychain &backend();

    QString m_fallbackFile;
    std::unique_ptr<Keychain> m_backend;
};

} // namespace cordavelle
