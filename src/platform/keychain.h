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
#include <vector>

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
    // The desktop's keyring did not answer within the time a call is given.
    static constexpr int kTimedOut = -25292;

    // What a status means, in words for the user.
    static QString describe(int status);

    virtual ~Keychain() = default;

    // Settles where the items live without holding the caller's thread, for callers that can
    // wait for it. A store that has nothing to settle ends at once.
    virtual QCoro::Task<void> settle() { co_return; }

    // Runs `operation` against the store without holding the caller's thread: a store that answers
    // at once runs it at once; one over the desktop's keyring runs it on a thread of its own, one
    // operation at a time in the order asked, and gives up on it past a few seconds. True once
    // the operation has ended; false when it was given up on, and then whatever it yields must
    // not be used (it may still be running). Operations may only touch the store they are given
    // and what they own.
    virtual QCoro::Task<bool> run(std::function<void(Keychain &)> operation)
    {
        operation(*this);
        co_return true;
    }

    // Whether a file stands in for a keyring that has not answered yet, so that an item the file
    // lacks may still be in the keyring.
    virtual bool awaitsKeyring() const { return false; }
    // Ends (true) once the keyring has taken over from the file that stood in for it and holds
    // what the file took meanwhile; false on a stop request. At once for a store that awaits none.
    virtual QCoro::Task<bool> keyringTakenOver(std::stop_token stop)
    {
        Q_UNUSED(stop);
        co_return true;
    }

    // The operations below answer on the caller's thread. Over the desktop's keyring they may wait
    // for it: the window's thread goes through run() instead.

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

    struct Item {
        QString service;
        QString account;
        QByteArray data;
    };
    // Every item of every service; kSuccess also when there are none.
    int items(std::vector<Item> *items);

    const QString &filePath() const { return m_filePath; }

private:
    QString m_filePath;
};

// The Secret Service of the desktop session (libsecret). Each object's calls can be ended from
// any thread by cancel(), which fails the call under way and every later one with kTimedOut.
class SecretServiceKeychain final : public Keychain {
public:
    SecretServiceKeychain();
    ~SecretServiceKeychain() override;
    SecretServiceKeychain(const SecretServiceKeychain &) = delete;
    SecretServiceKeychain &operator=(const SecretServiceKeychain &) = delete;

    // Whether a Secret Service answers on the session bus right now with an unlocked default
    // collection, so that items can be stored without a password prompt.
    bool isUsable(QString *why = nullptr);
    static bool isAvailable(QString *why = nullptr);

    void cancel();

    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int read(const QString &service, const QString &account, QByteArray *data) override;
    int remove(const QString &service, const QString &account) override;
    int count(const QString &service, int *count) override;
    int removeAll(const QString &service) override;
    int accounts(const QString &service, QStringList *accounts) override;

private:
    struct Cancellable;
    std::unique_ptr<Cancellable> m_cancellable;
};

// The production keychain: the Secret Service when it says in time that it is usable, otherwise
// the file store in the support folder, with a warning logged once. A Secret Service may answer
// late (it starts beside the helper at login), so while the file stands in the helper asks again
// every few seconds; once the Secret Service answers it takes over, and what the file holds moves
// into it (out of the file once stored). Items the move left in the file are still found there.
// Every call to the Secret Service runs on one thread kept for the keychain's life, one call at a
// time, and is cancelled past kCallTimeLimit, so that one that stops answering holds neither the
// window nor the API. While too few descriptors are left to ask, the question waits for the next
// turn (GLib ends the process when it can't have the descriptors it wants).
class LinuxKeychain final : public Keychain {
public:
    static constexpr std::chrono::milliseconds kAnswerTimeLimit{3000};
    static constexpr std::chrono::milliseconds kCallTimeLimit{5000};
    static constexpr std::chrono::milliseconds kAskAgainAfter{5000};
    // Whether the Secret Service can store items, and why not; blocks until it knows, or until
    // the keyring object given is cancelled.
    using Probe = std::function<bool(SecretServiceKeychain &keyring, QString *why)>;

    // `clock` measures the time limits; `probe` stands in for the question to the Secret Service.
    LinuxKeychain(QString fallbackFile, Clock &clock, Probe probe = defaultProbe());
    ~LinuxKeychain() override;

    static Probe defaultProbe();

    QCoro::Task<void> settle() override;
    QCoro::Task<bool> run(std::function<void(Keychain &)> operation) override;
    bool awaitsKeyring() const override;
    QCoro::Task<bool> keyringTakenOver(std::stop_token stop) override;

    // On the caller's thread, on the store in use (the file until the keyring has taken over).
    int add(const QString &service, const QString &account, const QByteArray &data) override;
    int read(const QString &service, const QString &account, QByteArray *data) override;
    int remove(const QString &service, const QString &account) override;
    int count(const QString &service, int *count) override;
    int removeAll(const QString &service) override;
    int accounts(const QString &service, QStringList *accounts) override;

    // Everything the background tasks share with this object, which may go before them.
    struct State;

private:
    Keychain &current();

    std::shared_ptr<State> m_state;
};

} // namespace cordavelle
