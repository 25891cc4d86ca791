#include "pages/direwolf_page_fixture.h"
#include "pages/rigctld_page_fixture.h"
#include "pages/vara_page_fixture.h"

#include "base/helper_places.h"
#include "setup/checklist/updates_section.h"
#include "widgets/lifecycle_picker.h"
#include "widgets/port_field.h"
#include "widgets/setting_note.h"

#include "support/refusing_defaults.h"
#include "support/test_files.h"
#include "support/event_wait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

const QString kRefusal = QStringLiteral("Could not write the settings: Permission denied");
const QString kSaid = kRefusal + QStringLiteral(". The setting stays as it was.");

void settleControls()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// One storing control: what the user does to it, and whether it shows the stored value again.
struct StoringControl {
    QString name;
    std::function<QWidget *()> control;
    std::function<void(QWidget *)> change;
    std::function<bool(QWidget *)> showsStored;
    QString said = kSaid;
};

void pickIn(QWidget *control, int index)
{
    auto *picker = static_cast<QComboBox *>(control);
    picker->setCurrentIndex(index);
    Q_EMIT picker->activated(index);
}

StoringControl picker(const QString &name, std::function<QComboBox *()> find, std::function<QVariant()> stored)
{
    return {name, find, [](QWidget *c) { pickIn(c, static_cast<QComboBox *>(c)->count() - 1); },
            [stored](QWidget *c) { return static_cast<QComboBox *>(c)->currentData() == stored(); }};
}

StoringControl mode(QWidget *page, std::function<ServiceLifecycleMode()> stored)
{
    return {"Mode", [page] { return page->findChild<LifecyclePicker *>(); },
            [](QWidget *c) {
                for (QPushButton *segment : c->findChildren<QPushButton *>()) {
                    if (segment->accessibleName() == QStringLiteral("Mode: Always On")) {
                        segment->click();
                    }
                }
            },
            [stored](QWidget *c) { return static_cast<LifecyclePicker *>(c)->mode() == stored(); }};
}

StoringControl portField(const QString &label, QWidget *page, std::function<int()> stored)
{
    return {label,
            [page, label] {
                for (PortField *field : page->findChildren<PortField *>()) {
                    if (field->lineEdit()->accessibleName() == label) {
                        return field->lineEdit();
                    }
                }
                return static_cast<QLineEdit *>(nullptr);
            },
            [](QWidget *c) {
                auto *edit = static_cast<QLineEdit *>(c);
                edit->setText(QStringLiteral("4999"));
                Q_EMIT edit->returnPressed();
            },
            [stored](QWidget *c) { return static_cast<QLineEdit *>(c)->text() == QString::number(stored()); },
            kRefusal + QStringLiteral(". The port stays as it was.")};
}

StoringControl toggle(const QString &name, std::function<QCheckBox *()> find, std::function<bool()> stored)
{
    return {name, find, [](QWidget *c) { static_cast<QCheckBox *>(c)->click(); },
            [stored](QWidget *c) { return static_cast<QCheckBox *>(c)->isChecked() == stored(); }};
}

StoringControl button(const QString &text, QWidget *area, std::function<bool()> storedUnchanged)
{
    return {text,
            [area, text]() -> QWidget * {
                for (QPushButton *b : area->findChildren<QPushButton *>()) {
                    if (b->text() == text && !b->isHidden()) {
                        return b;
                    }
                }
                return nullptr;
            },
            [](QWidget *c) { static_cast<QPushButton *>(c)->click(); },
            [storedUnchanged](QWidget *) { return storedUnchanged(); }};
}

// While the settings can't be written, each control goes back to the stored value and says why
// under it; the next change that is stored takes the words away.
void expectEachSaysWhy(const std::vector<StoringControl> &controls, test::RefusingDefaults &defaults)
{
    for (const StoringControl &c : controls) {
        SCOPED_TRACE(c.name.toStdString());
        QWidget *control = c.control();
        ASSERT_NE(control, nullptr);
        ASSERT_NE(SettingNote::of(control), nullptr) << "no place to say why";
        // Controls of one part share its note: what an earlier row's refusal left there is no
        // answer to this one.
        SettingNote::of(control)->say(std::nullopt);
        defaults.refusal = kRefusal;
        c.change(control);
        settleControls();
        control = c.control();
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(c.showsStored(control));
        EXPECT_EQ(SettingNote::of(control)->shown(), c.said);
        defaults.refusal.reset();
    }
}

TEST(StoringControls, EveryControlOfTheDirewolfPageSaysWhatItCouldNotStore)
{
    test::DirewolfPageScene scene;
    scene.advertise(QStringLiteral("IC-7300"), 4533);
    test::RefusingDefaults defaults;
    ConfigStore config(defaults, scene.env.platform());
    DirewolfConfig start;
    start.pttMethod = DirewolfPTTMethod::serial(QStringLiteral("/dev/ttyUSB0"));
    start.direwolfPath = scene.env.root() + QStringLiteral("/own/direwolf");
    ASSERT_TRUE(test::writeProgram(start.direwolfPath));
    ASSERT_FALSE(config.setDirewolfConfig(start));
    // An old copy of the helper's own Direwolf, whose banner offers "Not Now".
    ASSERT_TRUE(QDir().mkpath(places::legacyDirewolfFolder()));
    LegacyDirewolfCleanup legacy(defaults, [] { return QStringList(); });
    scene.pickedBinary = scene.env.root() + QStringLiteral("/picked/direwolf");
    ASSERT_TRUE(test::writeProgram(scene.pickedBinary));
    DirewolfConfRegenerator regenerator(config, scene.env.currentClock(), [](const DirewolfConfig &) {});
    scene.serialPorts = {SerialPort{QStringLiteral("/dev/ttyUSB1"), QStringLiteral("ttyUSB1")}};
    DirewolfPage page(DirewolfPageContext{scene.orchestrator, config, scene.env.currentClock(), scene.audio,
                                          scene.direwolfDiscovery, scene.discovery, scene.keepalive, legacy, defaults,
                                          regenerator, scene.alerts, scene});
    settleControls();
    const auto stored = [&config] { return config.direwolfConfig(); };
    const auto combo = [&page](int n) { return [&page, n] { return page.findChildren<QComboBox *>().value(n); }; };
    const std::vector<StoringControl> controls{
        mode(&page, [&] { return stored().lifecycleMode; }),
        {"Callsign", [&] { return page.callsignField(); },
         [](QWidget *c) { test::typeInto(static_cast<QLineEdit *>(c), QStringLiteral("k1abc")); },
         [&](QWidget *c) { return static_cast<QLineEdit *>(c)->text() == stored().callsign; }},
        picker("SSID", combo(0), [&] { return stored().ssid; }),
        picker("Modem Speed", combo(1), [&] { return int(stored().speed); }),
        picker("Audio Input", combo(2), [&] { return direwolf_page::audioInputSelection(stored()); }),
        picker("Audio Output", combo(3), [&] { return stored().customAudioOutputUID; }),
        picker("PTT Method", combo(4), [&] { return int(direwolf_page::pttMethodTag(stored())); }),
        picker("PTT Port", [&] { return page.radioDetails()->findChild<QComboBox *>(); },
               [&] { return direwolf_page::serialPortPath(stored()); }),
        portField("KISS Port", &page, [&] { return stored().kissPort; }),
        portField("AGW Port", &page, [&] { return stored().agwPort; }),
        button("Choose Custom…", page.installationArea(), [&] { return stored().direwolfPath == start.direwolfPath; }),
        button("Reset to Auto", page.installationArea(), [&] { return stored().direwolfPath == start.direwolfPath; }),
        button("Not Now", page.bannerArea(), [&] { return !legacy.isPromptDismissed(); }),
    };
    expectEachSaysWhy(controls, defaults);
    EXPECT_EQ(stored(), start);

    // The nudge to the client's own rig control stays up while its dismissal can't be stored.
    DirewolfConfig viaRigctld = start;
    viaRigctld.pttMethod = DirewolfPTTMethod::rigctld();
    ASSERT_FALSE(config.setDirewolfConfig(viaRigctld));
    settleControls();
    const auto nudgeStays = [&] {
        return stored() == viaRigctld && !defaults.boolForKey(DirewolfPage::kDismissedNudgeKey);
    };
    expectEachSaysWhy({button("Switch to CAT via Cordavelle", page.bannerArea(), nudgeStays),
                       button("Keep Helper rigctld", page.bannerArea(), nudgeStays)},
                      defaults);

    DirewolfConfig viaCat = start;
    viaCat.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    ASSERT_FALSE(config.setDirewolfConfig(viaCat));
    settleControls();
    expectEachSaysWhy({picker("Radio", [&] { return page.radioDetails()->findChild<QComboBox *>(); },
                              [&] { return stored().nativeRigControlRadioName; })},
                      defaults);
    EXPECT_EQ(stored(), viaCat);
    SettingNote *note = SettingNote::of(page.callsignField());
    test::typeInto(page.callsignField(), QStringLiteral("k"));
    EXPECT_EQ(note->shown(), QString()) << "a change that is stored takes the words away";
    EXPECT_EQ(stored().callsign, QStringLiteral("K"));
}

TEST(StoringControls, EveryControlOfTheRigctldAndVARAPagesSaysWhatItCouldNotStore)
{
    test::RigctldPageScene scene;
    scene.foundRigctld = QStringLiteral("/usr/bin/rigctld");
    scene.serialPorts = {SerialPort{QStringLiteral("/dev/ttyUSB1"), QStringLiteral("ttyUSB1")}};
    test::RefusingDefaults defaults;
    ConfigStore config(defaults, scene.env.platform());
    RigctldConfig start;
    start.rigctldPath = scene.env.root() + QStringLiteral("/own/rigctld");
    ASSERT_TRUE(test::writeProgram(start.rigctldPath));
    ASSERT_FALSE(config.setRigctldConfig(start));
    RigctldPage page(RigctldPageContext{scene.orchestrator, config, scene.env.commands(), scene.env.currentClock(),
                                        scene, scene.alerts, &scene.installer});
    settleControls();
    const auto stored = [&config] { return config.rigctldConfig(); };
    std::vector<StoringControl> controls{
        mode(&page, [&] { return stored().lifecycleMode; }),
        picker("Rig Model", [&] { return page.rigModelPicker(); }, [&] { return stored().rigModel; }),
        picker("Connection", [&] { return page.connectionPicker(); }, [&] { return int(stored().connectionType); }),
        picker("Serial Port", [&] { return page.serialPortPicker(); }, [&] { return stored().serialPort; }),
        picker("Baud Rate", [&] { return page.baudRatePicker(); }, [&] { return stored().baudRate; }),
        toggle("Manage Radio Power", [&] { return page.findChild<QCheckBox *>(); }, [&] { return stored().manageRadioPower; }),
        portField("TCP Port", &page, [&] { return stored().tcpPort; }),
        button("Reset to Auto", page.installationArea(), [&] { return stored().rigctldPath == start.rigctldPath; }),
    };
    expectEachSaysWhy(controls, defaults);
    EXPECT_EQ(stored(), start);

    RigctldConfig network = start;
    network.connectionType = RigConnectionType::network;
    ASSERT_FALSE(config.setRigctldConfig(network));
    settleControls();
    expectEachSaysWhy({{"Network Host", [&] { return page.hostField(); },
                        [](QWidget *c) { test::typeInto(static_cast<QLineEdit *>(c), QStringLiteral("radio.local")); },
                        [&](QWidget *c) { return static_cast<QLineEdit *>(c)->text() == stored().networkHost; }},
                       portField("Network Port", &page, [&] { return stored().networkPort; })},
                      defaults);
    EXPECT_EQ(stored(), network);

    test::VARAPageScene vara;
    ConfigStore varaConfig(defaults, vara.env.platform());
    for (const VARAVariant variant : {VARAVariant::hf, VARAVariant::fm}) {
        SCOPED_TRACE(displayName(variant).toStdString());
        VARAPage modem(vara.orchestrator, varaConfig, vara.env.currentClock(), variant, vara.installer(variant));
        const auto fields = [&]() -> VARAConfigFields {
            return variant == VARAVariant::hf ? VARAConfigFields(varaConfig.varaConfig())
                                              : VARAConfigFields(varaConfig.varaFMConfig());
        };
        expectEachSaysWhy({mode(&modem, [&] { return fields().lifecycleMode; }),
                           toggle("Audio debug logging", [&] { return modem.audioDebugSwitch(); },
                                  [&] { return fields().audioDebugEnabled; })},
                          defaults);
    }
}

QCoro::Task<std::optional<DependencyVersions>> versions(QString latest, QString current)
{
    co_return DependencyVersions{latest, current};
}

// An update whose dismissal can't be stored stays listed, with the reason under the list.
TEST(StoringControls, TheUpdatesDismissalsSayWhatTheyCouldNotStore)
{
    test::RefusingDefaults defaults;
    const auto newer = [](QString latest, QString current) {
        return [latest, current] { return versions(latest, current); };
    };
    DependencyUpdateNudge nudge(defaults, {.wine = newer("9.0", "8.0"), .hamlib = newer("4.6", "4.5")});
    UpdatesSection section(nudge);
    nudge.checkAll();
    ASSERT_TRUE(test::processEventsUntil([&] { return nudge.pendingUpdates().size() == 2; }, std::chrono::seconds(5)));
    settleControls();
    const auto bothListed = [&] {
        return nudge.pendingUpdates().size() == 2 && section.pendingRows()->findChildren<QToolButton *>().size() == 2 &&
               !defaults.stringForKey(QStringLiteral("nudgeDismissed.Wine"));
    };
    const QString said = kRefusal + QStringLiteral(". The update stays listed.");
    expectEachSaysWhy({StoringControl{"Dismiss", [&] { return section.pendingRows()->findChildren<QToolButton *>().value(0); },
                        [](QWidget *c) { static_cast<QToolButton *>(c)->click(); }, [&](QWidget *) { return bothListed(); },
                        said},
                       StoringControl{"Dismiss All", [&] { return section.dismissAllButton(); },
                        [](QWidget *c) { static_cast<QPushButton *>(c)->click(); }, [&](QWidget *) { return bothListed(); },
                        said}},
                      defaults);
    section.pendingRows()->findChildren<QToolButton *>().value(0)->click();
    settleControls();
    EXPECT_EQ(section.dismissalNote()->shown(), QString()) << "a dismissal that is stored takes the words away";
    EXPECT_EQ(nudge.pendingUpdates().size(), 1u);
}

} // namespace
} // namespace cordavelle
