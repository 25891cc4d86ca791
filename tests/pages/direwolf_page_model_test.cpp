#include "core/config_store.h"
#include "pages/direwolf_conf_regenerator.h"
#include "pages/direwolf_page_model.h"
#include "radio/direwolf_discovery.h"

#include "support/manual_clock.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace direwolf_page;
using namespace std::chrono_literals;
using S = tools::DirewolfSource;

TEST(DirewolfPageModel, PTTPickerMapsOntoTheStoredMethod)
{
    DirewolfConfig config;
    EXPECT_EQ(pttMethodTag(config), PTTMethodTag::vox) << "no stored method reads as VOX";
    EXPECT_FALSE(config.pttMethod.has_value());

    config.pttPort = QStringLiteral("/dev/ttyUSB1");
    setPTTMethodTag(config, PTTMethodTag::serial);
    EXPECT_EQ(config.pttMethod, DirewolfPTTMethod::serial(QStringLiteral("/dev/ttyUSB1"))) << "switching takes pttPort";
    setSerialPortPath(config, QStringLiteral("/dev/ttyACM0"));
    setPTTMethodTag(config, PTTMethodTag::serial);
    EXPECT_EQ(serialPortPath(config), QStringLiteral("/dev/ttyACM0")) << "picking serial again keeps the path";
    EXPECT_EQ(config.pttPort, QStringLiteral("/dev/ttyUSB1")) << "the port picker leaves pttPort alone";
    setSerialPortPath(config, {});
    EXPECT_EQ(config.pttMethod, DirewolfPTTMethod::serial({})) << "\"Select port…\" stores serial without a path";

    for (const PTTMethodTag tag : {PTTMethodTag::vox, PTTMethodTag::rigctld, PTTMethodTag::nativeCorvexa}) {
        setPTTMethodTag(config, tag);
        EXPECT_EQ(pttMethodTag(config), tag);
        EXPECT_EQ(serialPortPath(config), QString());
    }
    EXPECT_EQ(pttRows().front().text, QStringLiteral("CAT via Cordavelle (Corvexa)"));
}

TEST(DirewolfPageModel, AvailablePortsKeepAnUnpluggedSavedPortSelectable)
{
    const std::vector<SerialPort> listed{{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("ttyUSB0")}};
    DirewolfConfig config;
    EXPECT_EQ(availablePorts(config, listed), listed);
    config.pttPort = QStringLiteral("/dev/cu.usbserial");
    const auto ports = availablePorts(config, listed);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0], (SerialPort{QStringLiteral("/dev/cu.usbserial"), QStringLiteral("usbserial")}));
    config.pttMethod = DirewolfPTTMethod::serial(QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(availablePorts(config, listed), listed) << "the serial path, not pttPort, is the current port";
}

TEST(DirewolfPageModel, NativeRadioRowsAndTheKeepaliveAfterAChoice)
{
    const QList<RigControlServerEndpoint> endpoints{{QStringLiteral("IC-7300"), 4533}};
    EXPECT_EQ(nativeRadioRows(QStringLiteral(" FT-991 "), endpoints),
              (std::vector<PickerRow>{{QStringLiteral("Select a radio…"), {}},
                                      {QStringLiteral("IC-7300 (127.0.0.1:4533)"), QStringLiteral("IC-7300")}}));
    EXPECT_EQ(nativeRadioRows(QStringLiteral(" FT-991\t"), {}),
              (std::vector<PickerRow>{{QStringLiteral("FT-991 (waiting for Cordavelle to advertise…)"),
                                       QStringLiteral("FT-991")}}));
    EXPECT_EQ(nativeRadioRows({}, {}).at(0).text, QStringLiteral("No Cordavelle Native radios advertising"));
    // One row a name, with the server a start would key through, or none: a lone advert too.
    const QList<RigControlServerEndpoint> shared{{QStringLiteral("IC-7300"), 4600}, {QStringLiteral("FT-991"), 4700},
                                                 {QStringLiteral("IC-7300"), 4610}, {QStringLiteral("TS-590"), 4800},
                                                 {QStringLiteral("TS-590"), 4801}, {QStringLiteral("IC-705"), 4900}};
    const auto keyedThrough = [](const QString &radio) {
        return radio == QStringLiteral("IC-7300") ? std::optional<quint16>(4610)
               : radio == QStringLiteral("FT-991") ? std::optional<quint16>(4700)
                                                   : std::nullopt;
    };
    EXPECT_EQ(nativeRadioRows({}, shared, keyedThrough),
              (std::vector<PickerRow>{{QStringLiteral("Select a radio…"), {}},
                                      {QStringLiteral("IC-7300 (127.0.0.1:4610)"), QStringLiteral("IC-7300")},
                                      {QStringLiteral("FT-991 (127.0.0.1:4700)"), QStringLiteral("FT-991")},
                                      {QStringLiteral("TS-590 (no usable server)"), QStringLiteral("TS-590")},
                                      {QStringLiteral("IC-705 (no usable server)"), QStringLiteral("IC-705")}}));

    using A = KeepaliveAfterChoice::Action;
    DirewolfConfig config;
    config.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    EXPECT_EQ(keepaliveAfterRadioChoice(config, QStringLiteral(" IC-7300 "), ServiceRunState::running),
              (KeepaliveAfterChoice{A::start, QStringLiteral("IC-7300")}));
    EXPECT_EQ(keepaliveAfterRadioChoice(config, QStringLiteral("  "), ServiceRunState::running).action, A::stop);
    EXPECT_EQ(keepaliveAfterRadioChoice(config, QStringLiteral("IC-7300"), ServiceRunState::stopped).action, A::none);
    config.pttMethod = DirewolfPTTMethod::rigctld();
    EXPECT_EQ(keepaliveAfterRadioChoice(config, QStringLiteral("IC-7300"), ServiceRunState::running).action, A::none);
}

TEST(DirewolfPageModel, AudioSelectionAndTheNameOnlyMigration)
{
    const std::vector<AudioDevice> inputs{{1, QStringLiteral("hw:1"), QStringLiteral("USB"), {}, true},
                                          {2, QStringLiteral("hw:2"), QStringLiteral("USB"), {}, true},
                                          {3, QStringLiteral("hw:3"), QStringLiteral("Digirig"), {}, true}};
    DirewolfConfig config;
    config.customAudioDeviceName = QStringLiteral("kept");
    setAudioInputSelection(config, QStringLiteral("hw:1"));
    EXPECT_EQ(config.audioDevice, DirewolfAudioDevice::custom);
    EXPECT_EQ(audioInputSelection(config), QStringLiteral("hw:1"));
    EXPECT_TRUE(sharesName(selectedInputName(config, inputs), inputs));
    setAudioInputSelection(config, {});
    EXPECT_EQ(config.audioDevice, DirewolfAudioDevice::default_);
    EXPECT_EQ(config.customAudioDeviceName, QStringLiteral("kept"));
    EXPECT_EQ(selectedInputName(config, inputs), std::nullopt);
    config.customAudioOutputUID = QStringLiteral("hw:2");
    EXPECT_TRUE(sharesName(selectedOutputName(config, inputs), inputs)) << "the output stands on its own";
    config.customAudioOutputUID = QStringLiteral("gone");
    EXPECT_FALSE(sharesName(selectedOutputName(config, inputs), inputs));

    // Older settings held only a name: it migrates when exactly one input device carries it.
    config.audioDevice = DirewolfAudioDevice::custom;
    EXPECT_EQ(audioInputSelection(config), QString()) << "System Default until a UID is stored";
    const struct {
        QString saved;
        std::optional<QString> uid;
    } cases[] = {{QStringLiteral("  Digirig\t"), QStringLiteral("hw:3")},
                 {QStringLiteral("Digirig\n"), std::nullopt},
                 {QStringLiteral("USB"), std::nullopt},
                 {QStringLiteral("  "), std::nullopt}};
    for (const auto &c : cases) {
        config.customAudioDeviceName = c.saved;
        EXPECT_EQ(migratedAudioUID(config, inputs), c.uid) << c.saved.toStdString();
    }
    config.customAudioDeviceName = QStringLiteral("Digirig");
    config.customAudioDeviceUID = QStringLiteral("hw:9");
    EXPECT_EQ(migratedAudioUID(config, inputs), std::nullopt) << "a stored UID is never replaced";
}

TEST(DirewolfPageModel, EachPickersNotesStandUnderThatPicker)
{
    const std::vector<AudioDevice> twins{{1, QStringLiteral("hw:1"), QStringLiteral("USB"), {}, true, true},
                                         {2, QStringLiteral("hw:2"), QStringLiteral("USB"), {}, true, true}};
    const auto texts = [](const std::vector<AudioNote> &notes) {
        QStringList out;
        for (const AudioNote &note : notes) {
            out << note.text.section(QLatin1Char(' '), 0, 3);
        }
        return out.join(QLatin1Char('|'));
    };
    DirewolfConfig pickedTwins;
    setAudioInputSelection(pickedTwins, QStringLiteral("hw:1"));
    pickedTwins.customAudioOutputUID = QStringLiteral("hw:2");
    const struct {
        const char *what;
        DirewolfConfig config;
        std::vector<AudioDevice> inputs, outputs;
        const char *underInput, *underOutput;
    } cases[] = {
        {"no devices at all", {}, {}, {}, "No audio input devices", "No audio output devices"},
        {"no input device, an output", {}, {}, twins, "No audio input devices", "Direwolf will use the"},
        {"twins picked on both sides", pickedTwins, twins, twins, "Another audio input device",
         "Another audio output device"},
        {"twins picked, no output device", pickedTwins, twins, {}, "Another audio input device",
         "No audio output devices"},
    };
    for (const auto &c : cases) {
        const AudioNotes notes = audioNotes(c.config, c.inputs, c.outputs);
        EXPECT_EQ(texts(notes.input), QString::fromUtf8(c.underInput)) << c.what;
        EXPECT_EQ(texts(notes.output), QString::fromUtf8(c.underOutput)) << c.what;
    }
}

TEST(DirewolfPageModel, InstallationViewTitleAndTheUpdateThatFitsTheBinary)
{
    const QString apt = QStringLiteral("/usr/bin/apt-get");
    const QString brew = QStringLiteral("/opt/homebrew/bin/brew");
    const tools::DirewolfChoice system{QStringLiteral("/usr/bin/direwolf"), S::system};
    const tools::DirewolfChoice homebrew{QStringLiteral("/opt/homebrew/bin/direwolf"), S::packageManager};
    const tools::DirewolfChoice macports{QStringLiteral("/opt/local/bin/direwolf"), S::packageManager};
    const QString linuxbrewBrew = QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew");
    const tools::DirewolfChoice linuxbrew{QStringLiteral("/home/linuxbrew/.linuxbrew/bin/direwolf"), S::packageManager};
    const tools::DirewolfChoice legacy{QStringLiteral("/data/direwolf/bin/direwolf"), S::legacy};
    const tools::DirewolfChoice custom{QStringLiteral(" "), S::custom};
    const PassedOver theirs{linuxbrew.path, QStringLiteral("the file %1 belongs to another user").arg(linuxbrew.path)};
    using V = Installation::View;
    const struct {
        InstallationFacts facts;
        V view;
        QString title;
        QStringList buttons;
        QString lastCommand;
    } cases[] = {
        {{{}, system, {}, apt}, V::installed, QStringLiteral("Direwolf installed (system package)"),
         {QStringLiteral("Check for Update")}, QStringLiteral("sudo apt-get install --only-upgrade -y direwolf")},
        {{{}, homebrew, brew, {}}, V::installed, QStringLiteral("Direwolf installed (Homebrew)"),
         {QStringLiteral("Check for Update")}, brew + QStringLiteral(" upgrade direwolf")},
        // brew does not own a copy elsewhere, so no update is offered for it.
        {{{}, macports, brew, apt}, V::installed, QStringLiteral("Direwolf installed (/opt/local)"), {}, {}},
        {{{}, linuxbrew, linuxbrewBrew, apt}, V::installed, QStringLiteral("Direwolf installed (Homebrew)"),
         {QStringLiteral("Check for Update")}, linuxbrewBrew + QStringLiteral(" upgrade direwolf")},
        {{{}, legacy, {}, apt}, V::installed, QStringLiteral("Legacy Helper-managed Direwolf"),
         {QStringLiteral("Install Direwolf")}, QStringLiteral("sudo apt-get install -y direwolf")},
        {{{}, legacy, brew, {}}, V::installed, QStringLiteral("Legacy Helper-managed Direwolf"),
         {QStringLiteral("Install via Homebrew")}, brew + QStringLiteral(" install direwolf")},
        {{{}, legacy, {}, {}}, V::installed, QStringLiteral("Legacy Helper-managed Direwolf"),
         {QStringLiteral("Install Homebrew")}, DirewolfDiscovery::kHomebrewInstallCommand},
        {{QStringLiteral(" "), custom, brew, apt}, V::installed, QStringLiteral("Direwolf — custom path"), {}, {}},
        {{QStringLiteral(" "), custom, brew, apt, QStringLiteral("Direwolf at   can't be used")}, V::installed,
         QStringLiteral("Direwolf at   can't be used"), {}, {}},
        {{{}, {}, {}, apt}, V::packageManagerWithoutDirewolf, {}, {QStringLiteral("Install Direwolf")},
         QStringLiteral("sudo apt-get install -y direwolf")},
        // The only copy, another user's, is shown where it lies as unusable.
        {{{}, {}, {}, apt, {}, theirs}, V::installed,
         QStringLiteral("Direwolf at /home/linuxbrew/.linuxbrew/bin/direwolf was passed over: it can be changed by "
                        "another user (the file /home/linuxbrew/.linuxbrew/bin/direwolf belongs to another user) "
                        "\u2014 choose a program only you or root can change"),
         {QStringLiteral("Install Direwolf")}, QStringLiteral("sudo apt-get install -y direwolf")},
        {{{}, {}, brew, {}}, V::packageManagerWithoutDirewolf, {}, {QStringLiteral("Install Direwolf")},
         brew + QStringLiteral(" install direwolf")},
        {{{}, {}, {}, {}}, V::noPackageManager, {}, {QStringLiteral("Install Homebrew")},
         DirewolfDiscovery::kHomebrewInstallCommand},
    };
    for (const auto &c : cases) {
        const Installation shown = installation(c.facts);
        SCOPED_TRACE(c.title.toStdString() + " / " + c.buttons.join(',').toStdString());
        EXPECT_EQ(shown.view, c.view);
        EXPECT_EQ(shown.title, c.title);
        QStringList labels;
        for (const InstallButton &button : shown.commands) {
            labels << button.label;
        }
        EXPECT_EQ(labels, c.buttons);
        EXPECT_EQ(shown.commands.empty() ? QString() : shown.commands.back().command, c.lastCommand);
        EXPECT_EQ(shown.resetToAuto, !c.facts.customPath.isEmpty());
        EXPECT_EQ(shown.refused, c.facts.customRefusal || c.facts.passedOver);
        // Where apt is, no install speaks of Homebrew.
        if (c.facts.aptGetPath) {
            for (const QString &text : QStringList{shown.text, shown.caption.value_or(QString())}) {
                EXPECT_FALSE(text.contains("Homebrew")) << text.toStdString();
            }
            // A copy that brew put there is still updated by brew.
            for (const InstallButton &button : shown.commands) {
                if (button.label == "Check for Update") {
                    continue;
                }
                EXPECT_FALSE(button.label.contains("Homebrew") || button.help.contains("brew")) << button.help.toStdString();
            }
        }
    }
    // Without apt, the folders named are the ones Homebrew uses on Linux.
    const Installation none = installation({});
    EXPECT_TRUE(none.caption.value_or(QString()).contains("/home/linuxbrew/.linuxbrew"));
    EXPECT_FALSE(none.caption.value_or(QString()).contains("/opt/homebrew"));
    EXPECT_EQ(homebrewLabel(QStringLiteral("/usr/local")), QStringLiteral("/usr/local"));
    EXPECT_EQ(homebrewLabel(QStringLiteral("/home/linuxbrew/.linuxbrew")), QStringLiteral("Homebrew"));
}

TEST(DirewolfPageModel, BannerConditions)
{
    DirewolfConfig config;
    const QList<RigControlServerEndpoint> endpoints{{QStringLiteral("IC-7300"), 4533}};
    EXPECT_FALSE(shouldShowNativeRigControlNudge(config, endpoints, false)) << "no method is not rigctld";
    config.pttMethod = DirewolfPTTMethod::rigctld();
    EXPECT_TRUE(shouldShowNativeRigControlNudge(config, endpoints, false));
    EXPECT_FALSE(shouldShowNativeRigControlNudge(config, {}, false));
    EXPECT_FALSE(shouldShowNativeRigControlNudge(config, endpoints, true));

    EXPECT_TRUE(shouldShowLegacyCleanupBanner({true, false, true, false}));
    EXPECT_FALSE(shouldShowLegacyCleanupBanner({false, false, true, false}));
    EXPECT_FALSE(shouldShowLegacyCleanupBanner({true, true, true, false}));
    EXPECT_FALSE(shouldShowLegacyCleanupBanner({true, false, false, false})) << "the only Direwolf known";
    EXPECT_FALSE(shouldShowLegacyCleanupBanner({true, false, true, true})) << "it holds the Direwolf in use";
    EXPECT_TRUE(legacyBannerText(12'345'678).contains(QStringLiteral("(12.3 MB)")));
}

TEST(DirewolfConfRegenerator, OneWriteOfTheLastStateAfterABurst)
{
    test::TestPlatform env;
    ConfigStore store(env.defaults(), env.platform());
    std::vector<DirewolfConfig> written;
    bool fail = false;
    DirewolfConfRegenerator regenerator(store, env.clock(), [&](const DirewolfConfig &config) {
        if (fail) {
            throw std::runtime_error("disk full");
        }
        written.push_back(config);
    });
    auto edit = [&](const QString &callsign) {
        DirewolfConfig config = store.direwolfConfig();
        config.callsign = callsign;
        store.setDirewolfConfig(config);
    };

    edit(QStringLiteral("N0NE"));
    env.clock().advance(1s);
    EXPECT_TRUE(written.empty()) << "nothing is scheduled while no page watches";

    regenerator.watch();
    for (const char *callsign : {"K1", "K1A", "K1AB", "K1ABC", "K1ABD"}) {
        edit(QString::fromLatin1(callsign));
        env.clock().advance(100ms);
    }
    EXPECT_TRUE(written.empty()) << "each edit restarts the 0.4 s";
    env.clock().advance(300ms);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].callsign, QStringLiteral("K1ABD"));

    store.setDirewolfConfig(store.direwolfConfig());
    env.clock().advance(1s);
    EXPECT_EQ(written.size(), 1u) << "an identical record schedules nothing";

    // A write scheduled just before the page goes still happens.
    edit(QStringLiteral("K2"));
    regenerator.unwatch();
    env.clock().advance(500ms);
    ASSERT_EQ(written.size(), 2u);

    // The page built again on reselection starts watching before the old one stops.
    regenerator.watch();
    regenerator.watch();
    regenerator.unwatch();
    fail = true;
    edit(QStringLiteral("K3"));
    env.clock().advance(500ms);
    EXPECT_TRUE(env.log().messages().contains(
        QStringLiteral("[DirewolfConfig] Failed to write direwolf.conf: disk full")));
}

} // namespace
} // namespace cordavelle
