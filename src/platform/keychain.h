#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;

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

    // Settles where the items live without holding the caller's thread, for callers that can
    // wait for it. A store that has nothing to settle ends at once. The calls below settle it
    // themselves when it is not settled yet, and may then block for a bounded while.
    virtual QCoro::Task<void> settle() { co_return; }

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

// The production keychain: the Secret Service when it says in time that it is usable, otherwise
// the file store in the support folder, with a warning logged once. A Secret Service that is on
// the session bus but never answers would hold whoever asks for the length of the bus's timeout
// (25 s), so it is asked on a thread of its own, and answered for at most kAnswerTimeLimit.
class LinuxKeychain final : public Keychain {
public:
    static constexpr std::chrono::milliseconds kAnswerTimeLimit{3000};
    // Whether the Secret Service can store items, and why not; blocks until it knows.
    using Probe = std::function<bool(QString *why)>;

    // `clock` measures the time limit; `probe` stands in for the question to the Secret Service.
    LinuxKeychain(QString fallbackFile, Clock &clock, Probe probe = &SecretServiceKeychain::isAvailable);
    ~LinuxKeychain() override;

    QCoro::Task<void> settle() override;

    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int read(const QString &service, const QString &account, QByteArray *data) override;
    int remove(const QString &service, const QString &account) override;
    int count(const QString &service, int *count) override;
    int removeAll(const QString &service) override;
    int accounts(const QString &service, QStringList *accounts) override;

private:
    // The probe's answer, shared with its thread, which may outlive this object.
    struct Answer;

    // Asks the Secret Service once, on a thread of its own.
    void ask();
    // Picks the store from the answer, or from its absence once the time limit has passed.
    void settleWith(std::optional<bool> usable, const QString &why);
    // The store, once settled; settles it first, waiting out what is left of the time limit.
    Keychain &backend();

    QString m_fallbackFile;
    Clock &m_clock;
    Probe m_probe;
    std::shared_ptr<Answer> m_answer;
    std::chrono::steady_clock::time_point m_askedAt;
    std::unique_ptr<Keychain> m_backend;
    // Ends a settle that is waiting when this object goes.
    std::stop_source m_lifetime;
};

} // namespace cordavelle
