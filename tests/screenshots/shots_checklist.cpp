#include "shots.h"

#include "base/helper_places.h"
#include "platform/described_error.h"
#include "setup/checklist/setup_checklist_page.h"
#include "setup/checklist/updates_section.h"

#include "support/event_wait.h"
#include "support/manual_clock.h"
#include "support/fixture_http_server.h"
#include "support/scripted_alert_presenter.h"
#include "support/setup_objects.h"
#include "support/test_files.h"

#include <QMessageBox>
#include <QScrollArea>

#include <functional>
#include <memory>

namespace cordavelle::screenshots {

namespace {

using namespace std::chrono_literals;

// A home of its own for each picture, its remote services on a local fixture server.
struct ChecklistScene {
    explicit ChecklistScene(DependencyUpdateNudge::Lookups lookups = {}) : setup(objects, std::move(lookups))
    {
        objects.env.useSystemClock();
    }

    ~ChecklistScene()
    {
        // Installs still under way end before their home goes.
        server.release();
        setup.wine.cancel();
        setup.hamlib.cancel();
        setup.varaHF.cancel();
        setup.varaFM.cancel();
        awaitAtEnd([&] { return !setup.wine.isBusy() && !setup.hamlib.isRunning() &&
                                !setup.varaHF.isInstalling() && !setup.varaFM.isInstalling(); },
                   "the cancelled installs to end");
    }

    QImage picture(const std::function<void(SetupChecklistPage &)> &act = {}, QSize size = {620, 720})
    {
        SetupChecklistPage page({setup.installers(), objects.config, alerts, [](SidebarSection) {}, [](const QString &) { return true; }});
        if (act) {
            act(page);
        }
        // Each picture's installs have reached the state shown; the page draws it as it is taken.
        return grabWindow(&page, size);
    }

    test::HelperObjects objects;
    test::FixtureHttpServer server;
    bool pointed = [this] {
        objects.env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
        return true;
    }();
    test::SetupObjects setup;
    test::ScriptedAlertPresenter alerts;
};

// A download that stops after `fraction` of its `size` bytes until the server is released.
test::FixtureHttpServer::Route stalledDownload(double fraction, qint64 size = 100000)
{
    test::FixtureHttpServer::Route route;
    route.generatedSize = size;
    route.stallAfter = qint64(fraction * double(size));
    return route;
}

// Wine and winetricks from the machine's packages, and a prefix with its runtime in place.
void useSystemWineWithPrefix(ChecklistScene &scene)
{
    test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/bin/wine")));
    test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/bin/winetricks")));
    const QString windows = places::winePrefix() + QStringLiteral("/drive_c/windows/");
    test::writeFile(windows + QStringLiteral("system32/msvbvm60.dll"), "MZ");
    test::writeFile(windows + QStringLiteral("system32/pdh.dll"), "MZ");
}

// Hamlib's formula and libusb's, each naming a bottle that `serveBottle` serves at the path given
// (one that never arrives whole, so that its SHA-256 is never compared).
void serveHamlibFormulas(test::FixtureHttpServer &server, const std::function<void(const QString &path)> &serveBottle)
{
    for (const char *formula : {"hamlib", "libusb"}) {
        const QString blob = QStringLiteral("/v2/%1/blobs/1").arg(QLatin1String(formula));
        server.serve(QStringLiteral("/api/formula/%1.json").arg(QLatin1String(formula)),
                     test::bottleFormula(QStringLiteral("4.6"), server.url(blob).toString(), {}));
        serveBottle(blob);
    }
}

// Wine from the machine's packages and the prefix made; VARA HF and Hamlib are downloading.
QImage midInstall()
{
    ChecklistScene scene;
    useSystemWineWithPrefix(scene);
    test::FixtureHttpServer &server = scene.server;
    server.serve(QStringLiteral("/VARA%20Products/"), R"(<a href="VARA%20HF%204.8.7%20setup.zip">hf</a>)");
    server.serve(QStringLiteral("/VARA%20Products/VARA%20HF%204.8.7%20setup.zip"), stalledDownload(0.42));
    serveHamlibFormulas(server, [&server](const QString &blob) { server.serve(blob, stalledDownload(0.1)); });
    scene.setup.varaHF.startInstall();
    scene.setup.hamlib.startInstall();
    await([&] {
        return scene.setup.varaHF.state() == VARAInstaller::State::downloading(0.42) && server.stalledCount() == 2;
    }, "VARA HF's download to stall at 42 %");
    return scene.picture();
}

QImage fullyInstalled()
{
    ChecklistScene scene({.wine = []() -> QCoro::Task<std::optional<DependencyVersions>> {
        co_return DependencyVersions{QStringLiteral("10.0"), QStringLiteral("9.0")};
    }});
    UserDefaults &defaults = scene.objects.env.defaults();
    test::writeProgram(places::ownWineBinary());
    defaults.setObject(WineInstaller::kInstalledVersionKey, QStringLiteral("9.0"));
    test::writeProgram(places::ownWinetricks());
    const QString windows = places::winePrefix() + QStringLiteral("/drive_c/windows/");
    test::writeFile(windows + QStringLiteral("system32/msvbvm60.dll"), "MZ");
    test::writeFile(windows + QStringLiteral("syswow64/pdh.dll"), "MZ");
    for (const VARAVariant variant : {VARAVariant::hf, VARAVariant::fm}) {
        test::writeFile(places::varaExecutable(variant), "MZ");
    }
    VARAConfig hf = scene.objects.config.varaConfig();
    hf.installedVersion = QStringLiteral("4.8.7");
    scene.objects.config.setVaraConfig(hf);
    VARAFMConfig fm = scene.objects.config.varaFMConfig();
    fm.installedVersion = QStringLiteral("4.3.9");
    scene.objects.config.setVaraFMConfig(fm);
    test::writeProgram(places::ownRigctld());
    defaults.setObject(QStringLiteral("hamlibInstalledVersion"), QStringLiteral("4.6"));
    scene.setup.varaHF.appendLog(QStringLiteral("VARA HF v4.8.7 installed successfully"));
    scene.setup.updateNudge.checkAll();
    await([&] { return !scene.setup.updateNudge.isChecking(); }, "the update check to end");
    return scene.picture();
}

// Remote services that refuse: the Wine release list answers 404, the VARA page garbage, and
// Hamlib's bottle breaks off partway; the prefix is made with Debian's Wine.
QImage remoteFailures()
{
    ChecklistScene scene;
    useSystemWineWithPrefix(scene);
    test::FixtureHttpServer &server = scene.server;
    server.serveFault(QStringLiteral("/VARA%20Products/"), test::FixtureHttpServer::Fault::garbage);
    serveHamlibFormulas(server, [&server](const QString &blob) {
        server.serveFault(blob, test::FixtureHttpServer::Fault::dropped);
    });
    scene.setup.wine.startInstall();
    scene.setup.varaHF.startInstall();
    scene.setup.hamlib.startInstall();
    await([&] {
        return !scene.setup.wine.isBusy() && !scene.setup.varaHF.isInstalling() && !scene.setup.hamlib.isRunning();
    }, "the installs to end");
    return scene.picture();
}

// Hamlib's bottles arrive other than their formulas say, in a narrow window: the error names
// both digests, long unbroken words.
QImage digestMismatch()
{
    ChecklistScene scene;
    useSystemWineWithPrefix(scene);
    serveHamlibFormulas(scene.server, [&scene](const QString &blob) { scene.server.serve(blob, "not the bottle"); });
    scene.setup.hamlib.startInstall();
    await([&] { return !scene.setup.hamlib.isRunning(); }, "Hamlib's install to end");
    return scene.picture({}, {440, 720});
}

// The manual update check when Wine is current, Hamlib answered nothing usable and both VARA
// modems' download page answered 404: the failures come first and nothing failed is called
// current.
QImage updateCheckSomeFailed()
{
    using Versions = std::optional<DependencyVersions>;
    const auto failing = [](QString why) {
        return [why]() -> QCoro::Task<Versions> {
            throw DescribedError(why);
            co_return std::nullopt;
        };
    };
    const QString notFound = QStringLiteral("The VARA downloads page from 127.0.0.1 could not be read: the server answered "
                                            "404 Not Found for the page");
    ChecklistScene scene({.wine = []() -> QCoro::Task<Versions> {
                              co_return DependencyVersions{QStringLiteral("9.0"), QStringLiteral("9.0")};
                          },
                          .hamlib = failing(QStringLiteral("The release information of hamlib from 127.0.0.1 could not "
                                                           "be read: the server sent no answer")),
                          .varaHF = failing(notFound),
                          .varaFM = failing(notFound)});
    return scene.picture(
        [](SetupChecklistPage &page) {
            auto *updates = page.findChild<UpdatesSection *>();
            updates->checkAllUpdates();
            await([&] { return !updates->isCheckingUpdates(); }, "the update check to end");
            page.resize(620, 1000);
            page.show();
            test::ManualClock::processEvents();
            if (auto *scroll = page.findChild<QScrollArea *>()) {
                scroll->ensureWidgetVisible(updates);
            }
        },
        {620, 1000});
}

} // namespace

void addChecklistShots(ShotList &shots)
{
    shots.push_back({QStringLiteral("setup-checklist-update-check-some-failed"), updateCheckSomeFailed});
    shots.push_back({QStringLiteral("setup-checklist-fresh"), [] { return ChecklistScene().picture(); }});
    shots.push_back({QStringLiteral("setup-checklist-installing"), midInstall});
    shots.push_back({QStringLiteral("setup-checklist-wine-without-winetricks"), [] {
                         // The machine's Wine without winetricks: the disabled actions say why, and
                         // winetricks can be fetched or taken from Debian.
                         ChecklistScene scene;
                         test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/bin/wine")));
                         test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/bin/apt-get")));
                         return scene.picture();
                     }});
    shots.push_back({QStringLiteral("setup-checklist-wine-64-bit-only"), [] {
                         // Debian's Wine without its 32-bit part: the way out is said and copyable.
                         ChecklistScene scene;
                         test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/bin/wine")));
                         test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/lib/wine/wine64")));
                         test::writeProgram(scene.objects.env.hostPath(QStringLiteral("/usr/bin/apt-get")));
                         return scene.picture();
                     }});
    shots.push_back({QStringLiteral("setup-checklist-installed"), fullyInstalled});
    shots.push_back({QStringLiteral("setup-checklist-remote-failures"), remoteFailures});
    shots.push_back({QStringLiteral("setup-checklist-digest-mismatch-narrow"), digestMismatch});
    shots.push_back({QStringLiteral("alert-delete-wine-prefix"), [] {
                         const auto box = MessageBoxAlertPresenter::makeMessageBox(resetConfirmation(ResetTarget::winePrefix));
                         return grabWindow(box.get());
                     }});
}

} // namespace cordavelle::screenshots
