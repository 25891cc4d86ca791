#include "keychain.h"

#include "clock.h"
#include "files.h"
#include "logger.h"

#include "async/event.h"
#include "async/off_thread.h"

#include <QScopeGuard>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace cordavelle {

namespace {

const Logger &linuxKeychainLogger()
{
    static const Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("Keychain"));
    return logger;
}

QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(std::chrono::duration<double>(duration).count());
}

bool isDoneOrMissing(int status) { return status == Keychain::kSuccess || status == Keychain::kItemNotFound; }

// The keyring in use, with the items a move out of the file left behind still found in the file:
// reads fall back to the file, removals reach both, and new items go to the keyring.
class KeyringWithLeftovers final : public Keychain {
public:
    KeyringWithLeftovers(Keychain &keyring, Keychain &file) : m_keyring(keyring), m_file(file) {}

    int add(const QString &service, const QString &account, const QByteArray &data) override
    {
        return m_keyring.add(service, account, data);
    }
    int read(const QString &service, const QString &account, QByteArray *data) override
    {
        const int status = m_keyring.read(service, account, data);
        return status == kItemNotFound ? m_file.read(service, account, data) : status;
    }
    int remove(const QString &service, const QString &account) override
    {
        return both(m_keyring.remove(service, account), [&] { return m_file.remove(service, account); });
    }
    int removeAll(const QString &service) override
    {
        return both(m_keyring.removeAll(service), [&] { return m_file.removeAll(service); });
    }
    int count(const QString &service, int *count) override
    {
        QStringList found;
        const int status = accounts(service, &found);
        if (count) {
            *count = static_cast<int>(found.size());
        }
        return status;
    }
    int accounts(const QString &service, QStringList *accounts) override
    {
        QStringList inKeyring;
        QStringList inFile;
        const int status = m_keyring.accounts(service, &inKeyring);
        if (!isDoneOrMissing(status)) {
            return status;
        }
        const int fileStatus = m_file.accounts(service, &inFile);
        if (!isDoneOrMissing(fileStatus)) {
            return fileStatus;
        }
        for (const QString &account : std::as_const(inFile)) {
            if (!inKeyring.contains(account)) {
                inKeyring << account;
            }
        }
        if (accounts) {
            *accounts = inKeyring;
        }
        return inKeyring.isEmpty() ? kItemNotFound : kSuccess;
    }

private:
    // A removal from both stores: a failure of either is the result; else done when either had it.
    template <typename FromFile>
    static int both(int keyringStatus, FromFile fromFile)
    {
        if (!isDoneOrMissing(keyringStatus)) {
            return keyringStatus;
        }
        const int fileStatus = fromFile();
        if (!isDoneOrMissing(fileStatus)) {
            return fileStatus;
        }
        return keyringStatus == kSuccess || fileStatus == kSuccess ? kSuccess : kItemNotFound;
    }

    Keychain &m_keyring;
    Keychain &m_file;
};

struct Move {
    int moved = 0;
    int left = 0;
    bool fileUnreadable = false;
};

// Runs on the keyring's thread. The file's item replaces the keyring's: it was written while the
// file stood in, later than anything the keyring holds.
void moveInto(SecretServiceKeychain &keyring, FileKeychain &file, Move &move)
{
    std::vector<FileKeychain::Item> items;
    if (file.items(&items) != Keychain::kSuccess) {
        move.fileUnreadable = true;
        return;
    }
    for (const auto &item : items) {
        const bool stored = isDoneOrMissing(keyring.remove(item.service, item.account))
                            && keyring.add(item.service, item.account, item.data) == Keychain::kSuccess;
        // Also once the move is given up on: it runs on to its end on the keyring's thread, and
        // every operation run() is asked for later reaches the file through that thread only,
        // after it. Only the item whose call was under way can still be stored then; every later
        // call fails at once.
        if (stored && file.remove(item.service, item.account) == Keychain::kSuccess) {
            ++move.moved;
        } else {
            ++move.left;
        }
    }
}

QCoro::Task<void> giveUpAfter(Clock &clock, std::chrono::milliseconds limit, std::stop_source giveUp,
                              std::stop_token done)
{
    // Named, not awaited inside the condition: g++ 12 resumed a freed frame that way.
    const bool slept = co_await clock.sleep(limit, std::move(done));
    if (slept) {
        giveUp.request_stop();
    }
}

// The one thread that talks to the Secret Service, kept while the keychain is: GLib keeps what a
// thread waits on (descriptors) for the thread's life, so a thread per call would want new
// descriptors at every question. Works run one at a time in the order given, so that one given up
// on still ends before the next begins.
class KeyringThread {
public:
    ~KeyringThread()
    {
        {
            const std::lock_guard lock(m_queue->mutex);
            m_queue->ending = true;
        }
        m_queue->wake.notify_one();
    }

    // False when no thread could be had; the work then never runs.
    bool post(std::function<void()> work)
    {
        const std::lock_guard lock(m_queue->mutex);
        if (!m_started) {
            try {
                std::thread([queue = m_queue] { run(*queue); }).detach();
            } catch (const std::system_error &) {
                return false;
            }
            m_started = true;
        }
        m_queue->works.push_back(std::move(work));
        m_queue->wake.notify_one();
        return true;
    }

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> works;
        bool ending = false;
    };

    // What is left when the keychain goes still runs: each work was given up on and ends soon.
    static void run(Queue &queue)
    {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(queue.mutex);
                queue.wake.wait(lock, [&] { return queue.ending || !queue.works.empty(); });
                if (queue.works.empty()) {
                    return;
                }
                work = std::move(queue.works.front());
                queue.works.pop_front();
            }
            work();
        }
    }

    std::shared_ptr<Queue> m_queue = std::make_shared<Queue>();
    bool m_started = false;
};

// Descriptors a question to the Secret Service may want: the first takes some for the connection
// and the thread's wait; later ones none, but the check costs nothing next to the question.
constexpr int kSpareDescriptorsForKeyring = 24;

} // namespace

struct LinuxKeychain::State {
    State(QString fallbackFile, Clock &clock, Probe probe)
        : clock(clock), probe(std::move(probe)), file(std::make_shared<FileKeychain>(std::move(fallbackFile))),
          onThisThread(keyringOnThisThread, *file)
    {
        lastDone.set();
    }

    Clock &clock;
    Probe probe;
    std::shared_ptr<FileKeychain> file;
    SecretServiceKeychain keyringOnThisThread;
    KeyringWithLeftovers onThisThread;
    std::stop_source lifetime;
    KeyringThread thread;
    Clock::SteadyTime askedAt{};
    bool asking = false;
    // The last question was put off for want of descriptors (said once, until one goes out).
    bool putOff = false;
    // The Secret Service said it is usable; set before the items move.
    bool answered = false;
    bool standingIn = false;
    bool keyringInUse = false;
    // Set once the store is known: the file standing in, or the keyring.
    async::Event decided;
    async::Event tookOver;
    // Set once the last operation asked for has ended; the next waits for it.
    async::Event lastDone;
};

namespace {

using State = LinuxKeychain::State;

// Runs `work` on a thread of its own; past the time limit, or once the keychain goes, the
// keyring's calls are cancelled and the caller goes on without waiting for the thread.
QCoro::Task<bool> onThreadWithinLimit(std::shared_ptr<State> s, std::shared_ptr<SecretServiceKeychain> keyring,
                                      std::function<void()> work)
{
    std::stop_source giveUp;
    const std::stop_callback cancel(giveUp.get_token(), [keyring] { keyring->cancel(); });
    const std::stop_callback gone(s->lifetime.get_token(), [giveUp]() mutable { giveUp.request_stop(); });
    std::stop_source ended;
    giveUpAfter(s->clock, LinuxKeychain::kCallTimeLimit, giveUp, ended.get_token());
    std::function<bool()> onThread = [work = std::move(work)] {
        work();
        return true;
    };
    async::ThreadStarter onKeyringThread = [s](std::function<void()> job) { return s->thread.post(std::move(job)); };
    const std::optional<bool> done =
        co_await async::OffThread<bool>(std::move(onThread), giveUp.get_token(), std::move(onKeyringThread));
    ended.request_stop();
    co_return done.has_value();
}

// Takes the next turn of the queue of operations; the returned event ends it once set.
QCoro::Task<std::optional<async::Event>> takeTurn(std::shared_ptr<State> s)
{
    const async::Event previous = std::exchange(s->lastDone, async::Event());
    const async::Event mine = s->lastDone;
    const bool previousEnded = co_await previous.wait(s->lifetime.get_token());
    if (!previousEnded) {
        mine.set();
        co_return std::nullopt;
    }
    co_return mine;
}

void standIn(State &s, const QString &reason)
{
    if (s.standingIn || s.answered) {
        return;
    }
    s.standingIn = true;
    linuxKeychainLogger().error(QStringLiteral("%1; keeping secrets in %2 (readable by this user only) until it answers")
                               .arg(reason, s.file->filePath()));
    s.decided.set();
}

QCoro::Task<void> takeOver(std::shared_ptr<State> s)
{
    s->answered = true;
    // The move holds the queue, so that no operation reaches either store meanwhile.
    const std::optional<async::Event> turn = co_await takeTurn(s);
    if (!turn) {
        co_return;
    }
    const auto endTurn = qScopeGuard([turn] { turn->set(); });
    auto keyring = std::make_shared<SecretServiceKeychain>();
    auto move = std::make_shared<Move>();
    std::function<void()> work = [keyring, file = s->file, move] { moveInto(*keyring, *file, *move); };
    const bool ended = co_await onThreadWithinLimit(s, keyring, std::move(work));
    const bool stoodIn = std::exchange(s->standingIn, false);
    s->keyringInUse = true;
    if (stoodIn || move->moved > 0) {
        linuxKeychainLogger().info(QStringLiteral("The Secret Service answered; keeping secrets in it from now on "
                                             "(moved %1 item(s) out of %2)")
                                  .arg(ended ? move->moved : 0)
                                  .arg(s->file->filePath()));
    }
    if (!ended || move->left > 0 || move->fileUnreadable) {
        linuxKeychainLogger().error(QStringLiteral("Not every secret could be moved from %1 into the Secret Service; "
                                              "those left are still read from the file")
                                   .arg(s->file->filePath()));
    }
    s->decided.set();
    s->tookOver.set();
}

// Asks the Secret Service until it says it is usable, every few seconds while the file stands in.
QCoro::Task<void> watch(std::shared_ptr<State> s)
{
    const std::stop_token stop = s->lifetime.get_token();
    while (!stop.stop_requested()) {
        if (!haveSpareDescriptors(kSpareDescriptorsForKeyring)) {
            if (!std::exchange(s->putOff, true)) {
                linuxKeychainLogger().error(QStringLiteral("Too few descriptors are left to ask the Secret Service; "
                                                      "asking again every %1 s until there are")
                                           .arg(seconds(LinuxKeychain::kAskAgainAfter)));
            }
            const bool slept = co_await s->clock.sleep(LinuxKeychain::kAskAgainAfter, stop);
            if (!slept) {
                co_return;
            }
            continue;
        }
        s->putOff = false;
        auto keyring = std::make_shared<SecretServiceKeychain>();
        auto answer = std::make_shared<std::pair<bool, QString>>(false, QString());
        std::function<void()> work = [keyring, answer, probe = s->probe] {
            answer->first = probe(*keyring, &answer->second);
        };
        const bool ended = co_await onThreadWithinLimit(s, keyring, std::move(work));
        if (stop.stop_requested()) {
            co_return;
        }
        if (ended && answer->first) {
            co_await takeOver(s);
            co_return;
        }
        standIn(*s, ended ? QStringLiteral("No Secret Service answered (%1)").arg(answer->second)
                          : QStringLiteral("The Secret Service did not answer within %1 s")
                                .arg(seconds(LinuxKeychain::kCallTimeLimit)));
        const bool slept = co_await s->clock.sleep(LinuxKeychain::kAskAgainAfter, stop);
        if (!slept) {
            co_return;
        }
    }
}

QCoro::Task<void> settleState(std::shared_ptr<State> s)
{
    if (!s->asking) {
        s->asking = true;
        s->askedAt = s->clock.now();
        watch(s);
    }
    const std::stop_token stop = s->lifetime.get_token();
    while (!s->decided.isSet()) {
        const auto left = LinuxKeychain::kAnswerTimeLimit - (s->clock.now() - s->askedAt);
        if (left <= std::chrono::steady_clock::duration::zero()) {
            standIn(*s, QStringLiteral("The Secret Service did not answer within %1 s")
                            .arg(seconds(LinuxKeychain::kAnswerTimeLimit)));
            break;
        }
        const auto step = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(20), std::chrono::ceil<std::chrono::milliseconds>(left));
        const bool slept = co_await s->clock.sleep(step, stop);
        if (!slept) {
            co_return;
        }
    }
}

QCoro::Task<bool> runInTurn(std::shared_ptr<State> s, std::function<void(Keychain &)> operation)
{
    co_await settleState(s);
    const std::optional<async::Event> turn = co_await takeTurn(s);
    if (!turn) {
        co_return false;
    }
    const auto endTurn = qScopeGuard([turn] { turn->set(); });
    if (!s->keyringInUse) {
        operation(*s->file);
        co_return true;
    }
    auto keyring = std::make_shared<SecretServiceKeychain>();
    std::function<void()> work = [keyring, file = s->file, operation = std::move(operation)] {
        KeyringWithLeftovers store(*keyring, *file);
        operation(store);
    };
    const bool ended = co_await onThreadWithinLimit(s, keyring, std::move(work));
    co_return ended;
}

} // namespace

LinuxKeychain::LinuxKeychain(QString fallbackFile, Clock &clock, Probe probe)
    : m_state(std::make_shared<State>(std::move(fallbackFile), clock, std::move(probe)))
{
}

LinuxKeychain::~LinuxKeychain() { m_state->lifetime.request_stop(); }

LinuxKeychain::Probe LinuxKeychain::defaultProbe()
{
    return [](SecretServiceKeychain &keyring, QString *why) { return keyring.isUsable(why); };
}

QCoro::Task<void> LinuxKeychain::settle() { return settleState(m_state); }

QCoro::Task<bool> LinuxKeychain::run(std::function<void(Keychain &)> operation)
{
    return runInTurn(m_state, std::move(operation));
}

bool LinuxKeychain::awaitsKeyring() const { return !m_state->keyringInUse; }

QCoro::Task<bool> LinuxKeychain::keyringTakenOver(std::stop_token stop)
{
    const async::Event tookOver = m_state->tookOver;
    const bool took = co_await tookOver.wait(std::move(stop));
    co_return took;
}

Keychain &LinuxKeychain::current()
{
    if (m_state->keyringInUse) {
        return m_state->onThisThread;
    }
    return *m_state->file;
}

int LinuxKeychain::add(const QString &service, const QString &account, const QByteArray &data)
{
    return current().add(service, account, data);
}

int LinuxKeychain::read(const QString &service, const QString &account, QByteArray *data)
{
    return current().read(service, account, data);
}

int LinuxKeychain::remove(const QString &service, const QString &account) { return current().remove(service, account); }

int LinuxKeychain::count(const QString &service, int *count) { return current().count(service, count); }

int LinuxKeychain::removeAll(const QString &service) { return current().removeAll(service); }

int LinuxKeychain::accounts(const QString &service, QStringList *accounts)
{
    return current().accounts(service, accounts);
}

} // namespace cordavelle
