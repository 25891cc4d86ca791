#include "fake_bonjour.h"

#include <algorithm>
#include <set>

namespace cordavelle::test {

namespace {

QString normalType(QString type)
{
    if (type.endsWith(QLatin1Char('.'))) {
        type.chop(1);
    }
    return type.toLower();
}

class FakeRegistration;
class FakeBrowser;

} // namespace

struct FakeBonjour::State {
    std::vector<FakeRegistration *> registrations;
    std::vector<FakeBrowser *> browsers;
    std::map<QString, QList<BonjourBrowseResult>> results;
    std::set<std::pair<QString, QString>> takenNames;
    std::optional<QString> nextFailure;
    bool daemonGone = false;
    int advertiseCalls = 0;
    int browseCalls = 0;
};

namespace {

class FakeRegistration final : public BonjourRegistration {
public:
    FakeRegistration(std::weak_ptr<FakeBonjour::State> state, FakeBonjour::Advertisement advertisement)
        : m_state(std::move(state)), advertisement(std::move(advertisement))
    {
    }
    ~FakeRegistration() override
    {
        if (auto state = m_state.lock()) {
            std::erase(state->registrations, this);
        }
    }
    QString registeredName() const override { return m_announced ? advertisement.registeredName : QString(); }
    void withdraw() override
    {
        if (auto state = m_state.lock()) {
            std::erase(state->registrations, this);
        }
        m_announced = false;
        QMetaObject::invokeMethod(this, [this] { Q_EMIT withdrawn(); }, Qt::QueuedConnection);
    }

    void announceLater()
    {
        QMetaObject::invokeMethod(
            this,
            [this] {
                auto state = m_state.lock();
                if (state && state->daemonGone) {
                    return;
                }
                m_announced = true;
                Q_EMIT registered(advertisement.registeredName);
            },
            Qt::QueuedConnection);
    }
    void interrupt()
    {
        m_announced = false;
        Q_EMIT interrupted(QStringLiteral("avahi-daemon is not running"));
    }

    std::weak_ptr<FakeBonjour::State> m_state;
    FakeBonjour::Advertisement advertisement;
    bool m_announced = false;
};

class FakeBrowser final : public BonjourBrowser {
public:
    FakeBrowser(std::weak_ptr<FakeBonjour::State> state, QString type) : m_state(std::move(state)), type(std::move(type))
    {
    }
    ~FakeBrowser() override
    {
        if (auto state = m_state.lock()) {
            std::erase(state->browsers, this);
        }
    }
    QList<BonjourBrowseResult> results() const override { return m_results; }
    bool isCurrent() const override { return m_current; }

    void deliver(const QList<BonjourBrowseResult> &results)
    {
        delivered = true;
        m_results = results;
        Q_EMIT resultsChanged(results);
    }
    void reportState(const QString &state) { Q_EMIT stateChanged(state); }
    void setCurrent(bool current, const QString &state)
    {
        m_current = current;
        reportState(state);
    }

    std::weak_ptr<FakeBonjour::State> m_state;
    QString type;
    QList<BonjourBrowseResult> m_results;
    bool delivered = false;
    bool m_current = true;
};

} // namespace

FakeBonjour::FakeBonjour() : m_state(std::make_shared<State>()) {}

FakeBonjour::~FakeBonjour() = default;

std::unique_ptr<BonjourRegistration> FakeBonjour::advertise(const BonjourServiceDescription &service, quint16 port)
{
    ++m_state->advertiseCalls;
    Advertisement advertisement{service, port, service.name.isEmpty() ? QStringLiteral("testhost") : service.name};
    auto registration = std::make_unique<FakeRegistration>(m_state, advertisement);
    if (auto failure = std::exchange(m_state->nextFailure, std::nullopt)) {
        QMetaObject::invokeMethod(
            registration.get(), [r = registration.get(), error = *failure] { Q_EMIT r->failed(error); },
            Qt::QueuedConnection);
        return registration;
    }
    const QString type = normalType(service.type);
    auto taken = [&](const QString &name) {
        if (m_state->takenNames.count({type, name.toLower()})) {
            return true;
        }
        return std::any_of(m_state->registrations.begin(), m_state->registrations.end(), [&](FakeRegistration *r) {
            return normalType(r->advertisement.service.type) == type
                && r->advertisement.registeredName.compare(name, Qt::CaseInsensitive) == 0;
        });
    };
    while (taken(registration->advertisement.registeredName)) {
        registration->advertisement.registeredName = nextBonjourServiceName(registration->advertisement.registeredName);
    }
    m_state->registrations.push_back(registration.get());
    registration->announceLater();
    return registration;
}

std::unique_ptr<BonjourBrowser> FakeBonjour::browse(const QString &type, const QString &)
{
    ++m_state->browseCalls;
    auto browser = std::make_unique<FakeBrowser>(m_state, normalType(type));
    m_state->browsers.push_back(browser.get());
    QPointer<FakeBrowser> guard = browser.get();
    std::weak_ptr<State> weak = m_state;
    QMetaObject::invokeMethod(
        browser.get(),
        [guard, weak] {
            auto state = weak.lock();
            if (!guard || !state) {
                return;
            }
            guard->reportState(QStringLiteral("ready"));
            if (guard && !guard->delivered) {
                const auto found = state->results.find(guard->type);
                if (found != state->results.end() && !found->second.isEmpty()) {
                    guard->deliver(found->second);
                }
            }
        },
        Qt::QueuedConnection);
    return browser;
}

std::vector<FakeBonjour::Advertisement> FakeBonjour::advertisements() const
{
    std::vector<Advertisement> out;
    for (auto *r : m_state->registrations) {
        out.push_back(r->advertisement);
    }
    return out;
}

int FakeBonjour::advertiseCalls() const { return m_state->advertiseCalls; }

void FakeBonjour::takeName(const QString &type, const QString &name)
{
    m_state->takenNames.insert({normalType(type), name.toLower()});
}

void FakeBonjour::failNextAdvertisement(const QString &error) { m_state->nextFailure = error; }

void FakeBonjour::setResults(const QString &type, const QList<BonjourBrowseResult> &results)
{
    const QString key = normalType(type);
    m_state->results[key] = results;
    // Browsers hear of it once the daemon is back.
    if (m_state->daemonGone) {
        return;
    }
    // A copy: a receiver may stop its browser while being told.
    std::vector<QPointer<FakeBrowser>> browsers;
    for (auto *b : m_state->browsers) {
        if (b->type == key) {
            browsers.emplace_back(b);
        }
    }
    for (auto &b : browsers) {
        if (b) {
            b->deliver(results);
        }
    }
}

void FakeBonjour::emitState(const QString &type, const QString &state)
{
    std::vector<QPointer<FakeBrowser>> browsers;
    for (auto *b : m_state->browsers) {
        if (b->type == normalType(type)) {
            browsers.emplace_back(b);
        }
    }
    for (auto &b : browsers) {
        if (b) {
            b->reportState(state);
        }
    }
}

int FakeBonjour::runningBrowsers(const QString &type) const
{
    return int(std::count_if(m_state->browsers.begin(), m_state->browsers.end(),
                             [&](FakeBrowser *b) { return b->type == normalType(type); }));
}

int FakeBonjour::browseCalls() const { return m_state->browseCalls; }

BonjourBrowseResult FakeBonjour::result(const QString &name, const QString &type, std::optional<BonjourTxtRecord> txt,
                                        bool local, const QString &host)
{
    QString fullType = type.endsWith(QLatin1Char('.')) ? type : type + QLatin1Char('.');
    return {name, fullType, QStringLiteral("local."), std::move(txt), host, local};
}

namespace {

// A copy: a receiver may end a registration or a browser while being told.
std::vector<QPointer<QObject>> everyone(const FakeBonjour::State &state)
{
    std::vector<QPointer<QObject>> objects;
    for (auto *r : state.registrations) {
        objects.emplace_back(r);
    }
    for (auto *b : state.browsers) {
        objects.emplace_back(b);
    }
    return objects;
}

} // namespace

void FakeBonjour::stopDaemon()
{
    m_state->daemonGone = true;
    for (auto &object : everyone(*m_state)) {
        if (auto *r = dynamic_cast<FakeRegistration *>(object.data())) {
            r->interrupt();
        } else if (auto *b = dynamic_cast<FakeBrowser *>(object.data())) {
            b->setCurrent(false, QStringLiteral("unavailable(avahi-daemon is not running)"));
        }
    }
}

void FakeBonjour::startDaemon()
{
    m_state->daemonGone = false;
    for (auto &object : everyone(*m_state)) {
        if (auto *r = dynamic_cast<FakeRegistration *>(object.data())) {
            r->announceLater();
        } else if (auto *b = dynamic_cast<FakeBrowser *>(object.data())) {
            b->setCurrent(true, QStringLiteral("ready"));
            if (object) {
                const auto found = m_state->results.find(b->type);
                b->deliver(found == m_state->results.end() ? QList<BonjourBrowseResult>() : found->second);
            }
        }
    }
}

} // namespace cordavelle::test
