#include "api/api_router.h"
#include "api/helper_keychain_storage.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"

#include "base/helper_error.h"
#include "base/helper_places.h"
#include "base/json_support.h"
#include "core/config_store.h"
#include "radio/serial_port_manager.h"

#include "support/task_outcome.h"
#include "support/event_wait.h"
#include "support/fake_login_item.h"
#include "support/python_plist.h"
#include "support/qt_printers.h"
#include "support/recording_app_activation.h"
#include "support/recording_service_control.h"
#include "support/small_disk.h"
#include "support/test_files.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

class APIRouterWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(test::startOnFreePort(api, APIRouter::handler(orchestrator, config, pairing, env.platform().clock(),
                                                                  env.defaults(), env.notifications())));
    }

    struct Reply {
        int status = 0;
        QByteArray body;
        Json json;
    };

    Reply call(const QByteArray &method, const QByteArray &path, const std::optional<QByteArray> &body = {},
               const QByteArray &extraHeaders = {})
    {
        QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: localhost\r\n" + extraHeaders;
        if (body) {
            request += "Content-Length: " + QByteArray::number(body->size()) + "\r\n";
        }
        request += "\r\n" + body.value_or(QByteArray());
        const test::WireReply wire = test::WireReply::parse(test::exchange(api.port(), request));
        EXPECT_TRUE(wire.wellFormed) << method.toStdString() << ' ' << path.toStdString();
        EXPECT_EQ(wire.headerLines.value(0), "Content-Type: application/json");
        EXPECT_EQ(wire.headerLines.value(2), "Connection: close");
        Reply reply{wire.statusCode, wire.body, {}};
        if (!wire.body.isEmpty()) {
            reply.json = Json::parse(wire.body.toStdString(), nullptr, false);
        }
        return reply;
    }

    Reply authorized(const QByteArray &method, const QByteArray &path, const std::optional<QByteArray> &body = {})
    {
        return call(method, path, body, "Authorization: Bearer " + token.toUtf8() + "\r\n");
    }

    QString pairApprovedClient()
    {
        const QString t = test::runToEnd(pairing.requestPairing("c1", "laptop", "linux", "127.0.0.1")).client->token;
        pairing.approve("c1");
        return t;
    }

    static Json error(const char *message) { return Json{{"error", message}}; }

    // Whether a reply names the test's home, where every file of the helper lies.
    bool namesTheHome(const QByteArray &body)
    {
        return body.contains(QFile::encodeName(env.platform().paths().home()))
               || body.contains(QFile::encodeName(QDir::homePath()));
    }

    test::TestPlatform env;
    test::FakeLoginItem loginItem;
    test::RecordingAppActivation activation;
    ConfigStore config{env.defaults(), env.platform(), loginItem, activation};
    PairingManager pairing{env.defaults(), env.clock(), env.keychain(), env.attention()};
    test::RecordingServiceControl orchestrator;
    HTTPServer api{env.platform().clock(), env.platform().peerOwners()};
    QString token = pairApprovedClient();
};

TEST_F(APIRouterWire, StatusShowsOnlyTheVersionWithoutAValidToken)
{
    ASSERT_TRUE(config.requirePairing());
    orchestrator.states[ServiceID::rigctld] = ServiceRunState::running;
    orchestrator.states[ServiceID::direwolf] = ServiceRunState::error;

    Reply r = call("GET", "/status");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, R"({"version":"1.0"})");
    EXPECT_EQ(call("GET", "/status", {}, "Authorization: Bearer wrong\r\n").body, R"({"version":"1.0"})");

    r = authorized("GET", "/status");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.json["version"], "1.0");
    EXPECT_EQ(r.json["services"], Json({"stopped", "stopped", "running", "error"}));
    EXPECT_EQ(r.json["hasCompletedSetup"], false);
    const double firstUptime = r.json["uptime"].get<double>();
    // Byte for byte what a JSON document of these values writes: key order and number form.
    Json expected = Json::object();
    expected["version"] = "1.0";
    expected["uptime"] = firstUptime;
    expected["services"] = r.json["services"];
    expected["hasCompletedSetup"] = false;
    EXPECT_EQ(r.body.toStdString(), expected.dump());

    env.clock().advance(5s);
    env.defaults().setObject("hasCompletedHelperSetup", true);
    r = authorized("GET", "/status");
    EXPECT_NEAR(r.json["uptime"].get<double>(), firstUptime + 5.0, 0.001);
    EXPECT_EQ(r.json["hasCompletedSetup"], true);

    // A status poll is no sign of life: the client's last-seen time stays.
    const auto lastSeen = pairing.client("c1")->lastSeen;
    env.clock().advance(5s);
    authorized("GET", "/status");
    EXPECT_EQ(pairing.client("c1")->lastSeen, lastSeen);

    config.setRequirePairing(false);
    EXPECT_EQ(call("GET", "/status").json.size(), 4u);
}

TEST_F(APIRouterWire, GateDemandsABearerTokenOfAnApprovedClient)
{
    const QByteArray unauthorized = "{\"error\":\"Unauthorized \xe2\x80\x94 pairing required\"}";
    Reply r = call("GET", "/nowhere");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body, unauthorized);
    EXPECT_EQ(authorized("GET", "/nowhere").json, error("Not found"));

    EXPECT_EQ(call("GET", "/callsign", {}, "AUTHORIZATION: BEARER " + token.toUtf8() + "\r\n").status, 200);
    EXPECT_EQ(call("GET", "/callsign", {}, "Authorization: Bearer  " + token.toUtf8() + "\r\n").status, 401);
    EXPECT_EQ(call("GET", "/callsign", {}, "Authorization: Basic " + token.toUtf8() + "\r\n").status, 401);
    // A lower-case method is no status request and goes through the gate.
    EXPECT_EQ(call("get", "/status").status, 401);
    EXPECT_TRUE(orchestrator.calls.isEmpty());

    // Every request that passes with a token refreshes the client's last-seen time.
    env.clock().advance(30s);
    authorized("GET", "/callsign");
    EXPECT_EQ(pairing.client("c1")->lastSeen, env.clock().wallNow());

    // Pairing paths make their own checks (here: a request without a body).
    EXPECT_EQ(call("POST", "/pair/request").status, 400);

    config.setRequirePairing(false);
    EXPECT_EQ(call("GET", "/callsign").status, 200);
}

TEST_F(APIRouterWire, ServiceStatusRoutesAndTheirNotFoundCases)
{
    orchestrator.states[ServiceID::varaFM] = ServiceRunState::running;
    Reply r = authorized("GET", "/services");
    EXPECT_EQ(r.status, 200);
    ASSERT_EQ(r.json.size(), 4u);
    EXPECT_EQ(r.json[0]["id"], "vara-hf");
    EXPECT_EQ(r.json[1]["id"], "vara-fm");
    EXPECT_EQ(r.json[1]["state"], "running");
    EXPECT_EQ(r.json[2]["id"], "rigctld");
    EXPECT_EQ(r.json[3]["id"], "direwolf");

    EXPECT_EQ(authorized("GET", "/services/vara-fm").body, HTTPResponse::jsonEncodable(orchestrator.status(ServiceID::varaFM)).body);
    EXPECT_EQ(authorized("GET", "/services//vara-fm").json["id"], "vara-fm");

    r = authorized("GET", "/services/foo");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.json, error("Unknown service: foo"));
    EXPECT_EQ(authorized("POST", "/services/f%6Fo/start").json, error("Unknown service: foo"));
    for (const auto &[method, path] : std::vector<std::pair<QByteArray, QByteArray>>{
             {"GET", "/services/"}, {"POST", "/services/vara-hf"}, {"GET", "/services/vara-hf/start"},
             {"DELETE", "/callsign"}, {"GET", "/services/vara-hf/config/extra"}, {"POST", "/serial/ports"}}) {
        r = authorized(method, path);
        EXPECT_EQ(r.status, 404) << path.toStdString();
        EXPECT_EQ(r.json, error("Not found")) << path.toStdString();
    }
    EXPECT_TRUE(orchestrator.calls.isEmpty());
}

TEST_F(APIRouterWire, StartStampsActivityAndRepliesWithTheStatusOrTheError)
{
    Reply r = authorized("POST", "/services/rigctld/start");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.json["state"], "running");
    EXPECT_EQ(orchestrator.calls, (QStringList{"activity rigctld", "start rigctld"}));

    orchestrator.startFailure = HelperError::wineNotFound();
    r = authorized("POST", "/services/vara-hf/start");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.json, error("Wine not found"));
}

TEST_F(APIRouterWire, StopOfAnOnDemandServiceIsIdleAndOthersStopAfterTheReply)
{
    orchestrator.states[ServiceID::direwolf] = ServiceRunState::running;
    Reply r = authorized("POST", "/services/direwolf/stop");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.json["state"], "running");
    EXPECT_EQ(orchestrator.calls, (QStringList{"activity direwolf", "idle stop direwolf"}));

    orchestrator.calls.clear();
    orchestrator.modes[ServiceID::varaHF] = ServiceLifecycleMode::alwaysOn;
    orchestrator.states[ServiceID::varaHF] = ServiceRunState::running;
    r = authorized("POST", "/services/vara-hf/stop");
    EXPECT_EQ(r.json["state"], "running");  // the state before the stop
    EXPECT_TRUE(test::processEventsUntil([&] { return orchestrator.calls.size() == 3; }, std::chrono::seconds(30)))
        << "the stop did not reach the orchestrator within 30 s";
    EXPECT_EQ(orchestrator.calls, (QStringList{"activity vara-hf", "prepare vara-hf", "stop vara-hf"}));
    EXPECT_EQ(orchestrator.states[ServiceID::varaHF], ServiceRunState::stopped);
}

TEST_F(APIRouterWire, ConfigurationIsReadAndReplacedWhole)
{
    RigctldConfig changed;
    changed.tcpPort = 4999;
    changed.rigModel = 3073;
    config.setRigctldConfig(changed);
    EXPECT_EQ(authorized("GET", "/services/rigctld/config").body, HTTPResponse::jsonEncodable(changed).body);
    EXPECT_EQ(authorized("GET", "/services/vara-hf/config").body, HTTPResponse::jsonEncodable(config.varaConfig()).body);
    EXPECT_EQ(authorized("GET", "/services/vara-fm/config").body, HTTPResponse::jsonEncodable(config.varaFMConfig()).body);
    EXPECT_EQ(authorized("GET", "/services/direwolf/config").body, HTTPResponse::jsonEncodable(config.direwolfConfig()).body);

    // An empty object stores and echoes every field at its default.
    Reply r = authorized("PUT", "/services/rigctld/config", QByteArray("{}"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, HTTPResponse::jsonEncodable(RigctldConfig{}).body);
    EXPECT_EQ(config.rigctldConfig(), RigctldConfig{});

    config.setRigctldConfig(changed);
    for (const QByteArray &bad : {QByteArray("[]"), QByteArray("not json"), QByteArray("{\"tcpPort\":\"x\"}")}) {
        r = authorized("PUT", "/services/rigctld/config", bad);
        EXPECT_EQ(r.status, 400) << bad.toStdString();
        EXPECT_EQ(r.json, error("Invalid rigctld config JSON")) << bad.toStdString();
    }
    EXPECT_EQ(config.rigctldConfig(), changed);
    EXPECT_EQ(authorized("PUT", "/services/vara-hf/config", QByteArray("1")).json, error("Invalid VARA HF config JSON"));
    EXPECT_EQ(authorized("PUT", "/services/vara-fm/config", QByteArray("1")).json, error("Invalid VARA FM config JSON"));
    EXPECT_EQ(authorized("PUT", "/services/direwolf/config", QByteArray("1")).json, error("Invalid Direwolf config JSON"));

    // A zero length reaches the router as no body at all.
    r = authorized("PUT", "/services/vara-hf/config");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.json, error("Missing request body"));
    EXPECT_EQ(authorized("PUT", "/services/vara-hf/config", QByteArray()).json, error("Missing request body"));

    r = authorized("PUT", "/services/direwolf/config", QByteArray(R"({"callsign":"N0CALL","kissPort":8101})"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(config.direwolfConfig().callsign, "N0CALL");
    EXPECT_EQ(config.direwolfConfig().kissPort, 8101);
    EXPECT_TRUE(orchestrator.calls.isEmpty());
}

TEST_F(APIRouterWire, ValuesOutOfRangeAndProgramsOthersCanChangeAreRefusedAndNothingIsStored)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString shared = folder.filePath(QStringLiteral("shared-script"));
    {
        QFile file(shared);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
    }
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    const std::string sharedPath = shared.toStdString();
    // The reply names the path the client sent, and no other path of this computer; the window
    // and the log name them all.
    const std::string othersChange = "the file " + sharedPath + " is writable by others";
    const std::string inThePrefix = "the file \u2026 is writable by others";
    // Wine finds a Windows path of the modem's program in its prefix; this one others may write.
    const QString modem = places::winePrefix() + QStringLiteral("/drive_c/VARA/VARA.exe");
    ASSERT_TRUE(test::writeProgram(modem, "MZ", false));
    ASSERT_EQ(::chmod(QFile::encodeName(modem).constData(), 0666), 0);

    struct Case {
        QByteArray service;
        Json body;
        std::string error;
    };
    const std::string rigctld = "Invalid rigctld config JSON \u2014 ";
    const std::string direwolf = "Invalid Direwolf config JSON \u2014 ";
    const std::string direwolfPorts = ", the ports Direwolf accepts (it listens on another port instead)";
    const std::string program = " must name a program that only you or root can change: ";
    const std::string unusable = " names no usable program: ";
    // Counted in bytes, not letters.
    const auto twoByteLetters = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += "\xc3\xa9";
        }
        return text;
    };
    const Case refused[] = {
        {"rigctld", {{"tcpPort", 0}}, rigctld + "tcpPort must be between 1 and 65535"},
        {"rigctld", {{"tcpPort", 65536}}, rigctld + "tcpPort must be between 1 and 65535"},
        {"rigctld", {{"networkPort", -1}}, rigctld + "networkPort must be between 1 and 65535"},
        {"rigctld", {{"rigModel", -5}}, rigctld + "rigModel may not be negative"},
        {"rigctld", {{"serialPort", std::string(4097, 'a')}}, rigctld + "serialPort is longer than 4096 bytes"},
        {"rigctld", {{"networkHost", twoByteLetters(128)}}, rigctld + "networkHost is longer than 255 bytes"},
        {"rigctld", {{"rigctldPath", sharedPath}}, rigctld + "rigctldPath" + program + othersChange},
        {"rigctld", {{"rigctldPath", "rigctld"}}, rigctld + "rigctldPath" + unusable + "rigctld is not an absolute path"},
        {"rigctld", {{"rigctldPath", "~/bin/rigctld"}}, rigctld + "rigctldPath" + unusable + "~/bin/rigctld is not an absolute path"},
        {"direwolf", {{"ssid", 16}}, direwolf + "ssid must be between 0 and 15"},
        {"direwolf", {{"agwPort", 49152}}, direwolf + "agwPort must be between 1024 and 49151" + direwolfPorts},
        {"direwolf", {{"kissPort", 1023}}, direwolf + "kissPort must be between 1024 and 49151" + direwolfPorts},
        {"direwolf", {{"kissPort", 8000}, {"agwPort", 8000}}, direwolf + "agwPort must differ from kissPort; both can't listen on port 8000"},
        {"direwolf", {{"callsign", std::string(256, 'A')}}, direwolf + "callsign is longer than 255 bytes"},
        {"direwolf", {{"direwolfPath", sharedPath}}, direwolf + "direwolfPath" + program + othersChange},
        {"vara-hf", {{"winePath", sharedPath}}, "Invalid VARA HF config JSON \u2014 winePath" + program + othersChange},
        {"vara-fm", {{"varaPath", sharedPath}}, "Invalid VARA FM config JSON \u2014 varaPath" + program + othersChange},
        {"vara-hf", {{"varaPath", "C:\\VARA\\VARA.exe"}},
         "Invalid VARA HF config JSON \u2014 varaPath" + program + inThePrefix},
        {"vara-hf", {{"winePath", "C:\\VARA\\VARA.exe"}},
         "Invalid VARA HF config JSON \u2014 winePath" + unusable + "C:\\VARA\\VARA.exe is not an absolute path"},
    };
    for (const Case &c : refused) {
        const Reply r = authorized("PUT", "/services/" + c.service + "/config", QByteArray::fromStdString(c.body.dump()));
        EXPECT_EQ(r.status, 400) << c.body.dump();
        EXPECT_EQ(r.json, error(c.error.c_str()));
    }
    EXPECT_EQ(config.rigctldConfig(), RigctldConfig{});
    EXPECT_EQ(config.direwolfConfig().agwPort, DirewolfConfig{}.agwPort);
    EXPECT_EQ(config.varaConfig().winePath, VARAConfig{}.winePath);
    EXPECT_EQ(authorized("PUT", "/callsign", QByteArray::fromStdString(Json({{"callsign", std::string(256, 'a')}}).dump())).json,
              error("Invalid callsign \u2014 callsign is longer than 255 bytes"));

    const Case accepted[] = {
        {"rigctld", {{"tcpPort", 65535}, {"networkHost", std::string(255, 'h')}, {"rigctldPath", "/bin/sh"}}, ""},
        {"direwolf", {{"ssid", 15}, {"kissPort", 1024}, {"agwPort", 49151}}, ""},
    };
    for (const Case &c : accepted) {
        EXPECT_EQ(authorized("PUT", "/services/" + c.service + "/config", QByteArray::fromStdString(c.body.dump())).status, 200)
            << c.body.dump();
    }
    EXPECT_EQ(config.rigctldConfig().rigctldPath, "/bin/sh");
    EXPECT_EQ(config.direwolfConfig().agwPort, 49151);
    ASSERT_EQ(::chmod(QFile::encodeName(modem).constData(), 0644), 0);
    EXPECT_EQ(authorized("PUT", "/services/vara-hf/config", R"({"varaPath":"C:\\VARA\\VARA.exe"})").status, 200);
    EXPECT_EQ(config.varaConfig().varaPath, "C:\\VARA\\VARA.exe");

    // A path the user chose on this computer comes back unchanged with the rest of the record.
    RigctldConfig chosen;
    chosen.rigctldPath = shared;
    config.setRigctldConfig(chosen);
    EXPECT_EQ(authorized("PUT", "/services/rigctld/config", QByteArray::fromStdString(Json({{"rigctldPath", sharedPath}, {"tcpPort", 4600}}).dump())).status,
              200);
    EXPECT_EQ(config.rigctldConfig().tcpPort, 4600);

    // A script whose program is named relative to the folder it runs in: Direwolf runs in its
    // configuration's folder, where the check looks; where no folder is given, it is refused.
    const QString relative = folder.filePath(QStringLiteral("relative-script"));
    ASSERT_TRUE(test::writeProgram(relative, "#!bin/x\n"));
    const QString runnerFolder = places::direwolfRunFolder() + QStringLiteral("/bin");
    ASSERT_TRUE(test::writeProgram(runnerFolder + QStringLiteral("/x"), "#!/bin/sh\n"));
    const auto put = [&](const char *service, const char *key) {
        return authorized("PUT", QByteArray("/services/") + service + "/config",
                          QByteArray::fromStdString(Json({{key, relative.toStdString()}}).dump()))
            .status;
    };
    EXPECT_EQ(put("rigctld", "rigctldPath"), 400);
    ASSERT_EQ(::chmod(QFile::encodeName(runnerFolder).constData(), 0777), 0);
    EXPECT_EQ(put("direwolf", "direwolfPath"), 400);
    ASSERT_EQ(::chmod(QFile::encodeName(runnerFolder).constData(), 0755), 0);
    EXPECT_EQ(put("direwolf", "direwolfPath"), 200);
    EXPECT_EQ(config.direwolfConfig().direwolfPath, relative);
}

TEST_F(APIRouterWire, CallsignIsStoredUpperCased)
{
    EXPECT_EQ(authorized("GET", "/callsign").json, Json({{"callsign", ""}}));

    Reply r = authorized("PUT", "/callsign", QByteArray(R"({"callsign":"n0call-\u00df"})"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.json, Json({{"callsign", "N0CALL-SS"}}));
    EXPECT_EQ(config.stationCallsign(), "N0CALL-SS");
    EXPECT_EQ(authorized("GET", "/callsign").json, Json({{"callsign", "N0CALL-SS"}}));

    for (const std::optional<QByteArray> &bad : std::vector<std::optional<QByteArray>>{
             QByteArray(R"({"callsign":5})"), QByteArray(R"({"call":"x"})"), QByteArray(R"(["x"])"),
             QByteArray("{"), std::nullopt}) {
        r = authorized("PUT", "/callsign", bad);
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.json, error("Missing or invalid callsign JSON"));
    }
    EXPECT_EQ(config.stationCallsign(), "N0CALL-SS");

    EXPECT_EQ(authorized("PUT", "/callsign", QByteArray(R"({"callsign":""})")).status, 200);
    EXPECT_EQ(config.stationCallsign(), "");
}

TEST_F(APIRouterWire, TextsWithControlCharactersAreRefusedAndEveryOtherReadsBackFromTheSettingsFile)
{
    const auto callsignBody = [](const std::string &text) { return QByteArray::fromStdString(Json({{"callsign", text}}).dump()); };
    const auto rigctldBody = [](const std::string &text) { return QByteArray::fromStdString(Json({{"serialPort", text}}).dump()); };
    const std::string refused[] = {"a\x01b", std::string("A\0B", 3), "tab\there", "line\n", "cr\r", "del\x7f",
                                   "\xef\xbf\xbe", "\xef\xbf\xbf"};
    for (const std::string &text : refused) {
        EXPECT_EQ(authorized("PUT", "/callsign", callsignBody(text)).json,
                  error("Invalid callsign \u2014 it may not hold control characters"));
        const Reply r = authorized("PUT", "/services/rigctld/config", rigctldBody(text));
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.json, error("Invalid rigctld config JSON \u2014 text values may not hold control characters"));
    }
    EXPECT_EQ(config.stationCallsign(), "");
    EXPECT_EQ(config.rigctldConfig(), RigctldConfig());

    const QString file = env.platform().preferencesFile(env.defaults().domain());
    const std::string accepted[] = {"n0call-\xc3\x9f", "\xf0\x9f\x98\x80 <&> ]]>", "\xc2\x85\xe2\x80\xa8", "", "q\"b\\"};
    for (const std::string &text : accepted) {
        const Reply r = authorized("PUT", "/callsign", callsignBody(text));
        ASSERT_EQ(r.status, 200);
        ASSERT_EQ(authorized("PUT", "/services/rigctld/config", rigctldBody(text)).status, 200);
        const std::string callsign = r.json["callsign"];

        PlistUserDefaults reread(env.defaults().domain(), file);
        test::FakeLoginItem otherLoginItem;
        test::RecordingAppActivation otherActivation;
        ConfigStore reloaded(reread, env.platform(), otherLoginItem, otherActivation);
        EXPECT_EQ(reloaded.stationCallsign().toStdString(), callsign);
        EXPECT_EQ(reloaded.rigctldConfig().serialPort.toStdString(), text);

        const auto python = test::readWithPlistlib(file);
        ASSERT_TRUE(python) << "plistlib refused the settings file after " << text;
        EXPECT_EQ(python->at("stationCallsign"), callsign);
        EXPECT_EQ(Json::parse(python->at("rigctldConfig").get<std::string>())["serialPort"], text);
    }
}

// A full disk or a read-only settings folder: the change is refused with the reason, and the
// setting keeps the value that the settings file keeps for the next start.
TEST_F(APIRouterWire, AChangeThatCannotBeSavedIsRefusedAndTheOldValueStays)
{
    for (const bool readOnly : {false, true}) {
        test::SmallDisk disk(env.platform().paths().preferences());
        if (!disk.available()) {
            GTEST_SKIP() << "no disk of its own to fill: " << disk.whyNot().toStdString();
        }
        RigctldConfig kept;
        kept.tcpPort = 4999;
        ASSERT_EQ(config.setRigctldConfig(kept), std::nullopt);
        ASSERT_EQ(config.setStationCallsign("N0CALL"), std::nullopt);
        ASSERT_TRUE(readOnly ? disk.makeReadOnly() : disk.fill());

        const Reply changes[] = {
            authorized("PUT", "/services/rigctld/config", QByteArray(R"({"tcpPort":5000})")),
            authorized("PUT", "/callsign", QByteArray(R"({"callsign":"k1abc"})")),
        };
        for (const Reply &r : changes) {
            EXPECT_EQ(r.status, 500) << readOnly;
            EXPECT_TRUE(QString::fromStdString(r.json.value("error", "")).startsWith("Could not save the settings: "))
                << r.body.toStdString();
            EXPECT_FALSE(namesTheHome(r.body)) << r.body.toStdString();
        }
        if (readOnly) {
            EXPECT_EQ(changes[0].json, error("Could not save the settings: read-only file system"));
        }
        // The log keeps what the reply leaves out.
        EXPECT_TRUE(env.log().contains(env.platform().preferencesFile(env.defaults().domain())));
        EXPECT_EQ(authorized("GET", "/services/rigctld/config").body, HTTPResponse::jsonEncodable(kept).body);
        EXPECT_EQ(config.stationCallsign(), "N0CALL");

        PlistUserDefaults reread(env.defaults().domain(), env.platform().preferencesFile(env.defaults().domain()));
        test::FakeLoginItem otherLoginItem;
        test::RecordingAppActivation otherActivation;
        ConfigStore reloaded(reread, env.platform(), otherLoginItem, otherActivation);
        EXPECT_EQ(reloaded.rigctldConfig(), kept);
        EXPECT_EQ(reloaded.stationCallsign(), "N0CALL");
    }
}

// The same for the pairing table: nothing the routes answer was not saved, and a client refused
// for want of room pairs once there is room again.
TEST_F(APIRouterWire, APairingChangeThatCannotBeSavedIsRefusedAndTheTableStays)
{
    const QByteArray request = R"({"clientId":"c2","hostname":"h","platform":"p"})";
    const QByteArray c1Bearer = "Authorization: Bearer " + token.toUtf8() + "\r\n";
    for (const bool readOnly : {false, true}) {
        test::SmallDisk disk(env.platform().paths().preferences());
        if (!disk.available()) {
            GTEST_SKIP() << "no disk of its own to fill: " << disk.whyNot().toStdString();
        }
        ASSERT_EQ(pairing.approve("c1"), std::nullopt); // the table onto the small disk
        const QByteArray stored = *env.defaults().dataForKey("pairedClients");
        ASSERT_TRUE(readOnly ? disk.makeReadOnly() : disk.fill());
        env.clock().advance(2s);

        const std::vector<std::tuple<QByteArray, QByteArray, QByteArray>> changes = {
            {"POST", "/pair/request", {}},       // a new client
            {"GET", "/pair/status/c1", {}},      // the first hand-out of a token
            {"DELETE", "/pair/c1", c1Bearer},
        };
        for (const auto &[method, path, headers] : changes) {
            const Reply r = call(method, path, method == "POST" ? std::optional(request) : std::nullopt, headers);
            EXPECT_EQ(r.status, 500) << path.toStdString() << readOnly;
            EXPECT_TRUE(QString::fromStdString(r.json.value("error", "")).startsWith("Could not save the paired clients: "))
                << r.body.toStdString();
            EXPECT_FALSE(namesTheHome(r.body)) << r.body.toStdString();
            if (readOnly) {
                EXPECT_EQ(r.json, error("Could not save the paired clients: read-only file system"));
            }
        }
        EXPECT_EQ(call("GET", "/pair/status/c2").status, 404);
        EXPECT_EQ(authorized("GET", "/services/rigctld").status, 200);
        EXPECT_EQ(env.keychain().items(HelperKeychainStorage::kService).keys(), QStringList{"c1"});

        PlistUserDefaults reread(env.defaults().domain(), env.platform().preferencesFile(env.defaults().domain()));
        EXPECT_EQ(reread.dataForKey("pairedClients"), stored);
        PairingManager restarted(reread, env.clock(), env.keychain(), env.attention());
        test::runToEnd(restarted.warmTokenCache());
        EXPECT_EQ(restarted.validateToken(token)->id, "c1");
        if (readOnly) {
            continue;
        }
        disk.free();
        env.clock().advance(2s);
        EXPECT_EQ(call("POST", "/pair/request", request).json, Json({{"status", "pending"}}));
        ASSERT_EQ(pairing.approve("c2"), std::nullopt);
        const Reply polled = call("GET", "/pair/status/c2");
        EXPECT_EQ(polled.json.value("token", ""), pairing.client("c2")->token.toStdString());
        ASSERT_EQ(pairing.revoke("c2"), std::nullopt);
    }
}

TEST_F(APIRouterWire, BodiesNestedTooDeepAreRefusedBeforeAnythingWalksThem)
{
    const QByteArray tooDeep = QByteArray(100000, '[') + QByteArray(100000, ']');
    const Json refused = error("Invalid request body \u2014 JSON nested deeper than 64 levels");
    for (const QByteArray path : {"/services/rigctld/config", "/services/direwolf/config", "/callsign"}) {
        const Reply r = authorized("PUT", path, tooDeep);
        EXPECT_EQ(r.status, 400) << path.toStdString();
        EXPECT_EQ(r.json, refused) << path.toStdString();
    }
    EXPECT_EQ(call("POST", "/pair/request", QByteArray(100000, '{')).json, refused);
    // Brackets inside texts are no nesting, and 64 levels are still read.
    const QByteArray bracketsInText = R"({"serialPort":")" + QByteArray(200, '[') + R"("})";
    EXPECT_EQ(authorized("PUT", "/services/rigctld/config", bracketsInText).status, 200);
    const QByteArray deepest = R"({"a":)" + QByteArray(63, '[') + QByteArray(63, ']') + "}";
    EXPECT_EQ(authorized("PUT", "/services/rigctld/config", deepest).status, 200);
    EXPECT_EQ(authorized("PUT", "/services/rigctld/config", R"({"a":)" + QByteArray(64, '[') + QByteArray(64, ']') + "}").json,
              refused);
}

TEST_F(APIRouterWire, SerialPortsAreListed)
{
    const Reply r = authorized("GET", "/serial/ports");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.json.is_array());
    EXPECT_EQ(r.body, HTTPResponse::jsonEncodable(SerialPortManager::listPorts()).body);
}

TEST_F(APIRouterWire, PairingRequestsAndTheirRefusals)
{
    env.clock().advance(2s); // past the rate limit of the fixture's own pairing
    const char *invalid = "Invalid request body \u2014 requires clientId, hostname, platform";
    EXPECT_EQ(call("POST", "/pair/request").json, error(invalid));
    EXPECT_EQ(call("POST", "/pair/request", QByteArray("not json")).json, error(invalid));
    EXPECT_EQ(call("POST", "/pair/request", QByteArray("[1,2]")).json, error(invalid));
    EXPECT_EQ(call("POST", "/pair/request", QByteArray(R"({"clientId":7,"hostname":"h","platform":"p"})")).status, 400);
    EXPECT_EQ(call("POST", "/pair/request", QByteArray(R"({"clientId":"x","hostname":"h"})")).status, 400);
    EXPECT_EQ(pairing.clients().size(), 1u); // nothing registered by a bad body

    // Texts too long to be a name, or holding control characters, are refused before anything is
    // stored or counted against the rate limit.
    const auto pairingBody = [](const std::string &id, const std::string &host, const std::string &platform) {
        return QByteArray::fromStdString(Json({{"clientId", id}, {"hostname", host}, {"platform", platform}}).dump());
    };
    std::string accented;
    for (int i = 0; i < 33; ++i) {
        accented += "\xc3\xa9";
    }
    const std::pair<QByteArray, const char *> refused[] = {
        {pairingBody(std::string(129, 'i'), "h", "p"), "Invalid request body \u2014 clientId is longer than 128 bytes"},
        {pairingBody("c", std::string(256, 'h'), "p"), "Invalid request body \u2014 hostname is longer than 255 bytes"},
        // 33 two-byte letters: 66 bytes.
        {pairingBody("c", "h", accented), "Invalid request body \u2014 platform is longer than 64 bytes"},
        {pairingBody("c\n", "h", "p"), "Invalid request body \u2014 clientId may not hold control characters"},
        {pairingBody("c", "evil\r\nhost", "p"), "Invalid request body \u2014 hostname may not hold control characters"},
        {pairingBody("c", "h", std::string("p\0q", 3)), "Invalid request body \u2014 platform may not hold control characters"},
        {pairingBody("c", "h\x7f", "p"), "Invalid request body \u2014 hostname may not hold control characters"},
    };
    for (const auto &[body, message] : refused) {
        const Reply reply = call("POST", "/pair/request", body);
        EXPECT_EQ(reply.status, 400) << message;
        EXPECT_EQ(reply.json, error(message));
    }
    EXPECT_EQ(pairing.clients().size(), 1u);
    const QByteArray longest = pairingBody(std::string(128, 'i'), std::string(255, 'h'), std::string(64, 'p'));
    EXPECT_EQ(call("POST", "/pair/request", longest).status, 200);
    pairing.revoke(QString(128, 'i'));
    env.notifications().requests.clear();
    env.clock().advance(2s);

    // Pairing required: even a loopback peer waits for the user, who gets a notification.
    Reply r = call("POST", "/pair/request", QByteArray(R"({"clientId":"c2","hostname":"Bob's","platform":"mac","extra":1})"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.json, Json({{"status", "pending"}}));
    ASSERT_EQ(env.notifications().requests.size(), 1u);
    EXPECT_EQ(env.notifications().requests[0].body, "'Bob's' (mac) is requesting access");

    // A second new client from the same peer within a second is refused; a known one is not.
    r = call("POST", "/pair/request", QByteArray(R"({"clientId":"c3","hostname":"h","platform":"p"})"));
    EXPECT_EQ(r.status, 429);
    EXPECT_EQ(r.json, error("Too many pairing requests \u2014 try again shortly"));
    EXPECT_EQ(call("POST", "/pair/request", QByteArray(R"({"clientId":"c2","hostname":"h","platform":"p"})")).status, 200);

    // Pairing not required: a loopback request is approved on the spot, with no notification.
    config.setRequirePairing(false);
    env.clock().advance(2s);
    r = call("POST", "/pair/request", QByteArray(R"({"clientId":"local","hostname":"h","platform":"p"})"));
    EXPECT_EQ(r.json, Json({{"status", "approved"}}));
    EXPECT_EQ(env.notifications().requests.size(), 2u); // only the repeat of c2 posted another

    // A full table of approved clients refuses newcomers.
    for (int i = 0; pairing.clients().size() < 50; ++i) {
        const QString id = QStringLiteral("fill%1").arg(i);
        test::runToEnd(pairing.requestPairing(id, "h", "p", ""));
        pairing.approve(id);
    }
    pairing.approve("c2");
    env.clock().advance(2s);
    r = call("POST", "/pair/request", QByteArray(R"({"clientId":"new","hostname":"h","platform":"p"})"));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.json, error("Pairing table full \u2014 revoke an unused client first"));
}

TEST_F(APIRouterWire, PollingHandsOutTheTokenAndRemovalNeedsTheClientsOwnToken)
{
    env.clock().advance(2s);
    EXPECT_EQ(call("GET", "/pair/status/nobody").json, error("Client not found"));
    EXPECT_EQ(call("GET", "/pair/status/nobody").status, 404);

    call("POST", "/pair/request", QByteArray(R"({"clientId":"c2","hostname":"h","platform":"p"})"));
    EXPECT_EQ(call("GET", "/pair/status/c2").json, Json({{"status", "pending"}}));

    pairing.approve("c2");
    const QString token2 = pairing.client("c2")->token;
    Reply first = call("GET", "/pair/status/c2");
    EXPECT_EQ(first.json, Json({{"status", "approved"}, {"token", token2.toStdString()}}));
    const auto claimed = pairing.client("c2")->tokenClaimedAt;
    ASSERT_TRUE(claimed);
    env.clock().advance(5s);
    EXPECT_EQ(call("GET", "/pair/status/c2").json["token"], token2.toStdString()); // every poll
    EXPECT_EQ(pairing.client("c2")->tokenClaimedAt, claimed);

    // An approved client whose token could not be read at the start is not told it is approved.
    env.keychain().failReads = true;
    PairingManager restarted{env.defaults(), env.clock(), env.keychain(), env.attention()};
    test::runToEnd(restarted.warmTokenCache());
    HTTPServer restartedApi{env.platform().clock(), env.platform().peerOwners()};
    ASSERT_TRUE(test::startOnFreePort(restartedApi, APIRouter::handler(orchestrator, config, restarted,
                                                                       env.platform().clock(), env.defaults(),
                                                                       env.notifications())));
    const test::WireReply broken = test::WireReply::parse(
        test::exchange(restartedApi.port(), "GET /pair/status/c2 HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_EQ(broken.statusCode, 500);
    EXPECT_FALSE(broken.body.contains("status"));
    env.keychain().failReads = false;

    pairing.deny("c2");
    EXPECT_EQ(call("GET", "/pair/status/c2").json, Json({{"status", "denied"}}));
    pairing.approve("c2");

    // Removal: only with the client's own token, whatever the pairing setting.
    const QByteArray bearer = "Authorization: Bearer ";
    EXPECT_EQ(call("DELETE", "/pair/c2").json, error("Unauthorized"));
    EXPECT_EQ(call("DELETE", "/pair/c2", {}, bearer + token.toUtf8() + "\r\n").status, 401); // c1's token
    EXPECT_EQ(call("DELETE", "/pair/c2", {}, "Authorization: Basic " + token2.toUtf8() + "\r\n").status, 401);
    config.setRequirePairing(false);
    Reply removed = call("DELETE", "/pair/c2", {}, "authorization: BEARER " + token2.toUtf8() + "\r\n");
    EXPECT_EQ(removed.json, Json({{"status", "removed"}}));
    EXPECT_EQ(call("GET", "/pair/status/c2").status, 404);

    for (const auto &[method, path] : std::vector<std::pair<QByteArray, QByteArray>>{
             {"GET", "/pair/request"}, {"POST", "/pair/status/x"}, {"GET", "/pair"}, {"DELETE", "/pair/status/x"}}) {
        EXPECT_EQ(call(method, path).json, error("Not found")) << method.toStdString() << ' ' << path.toStdString();
    }
}

} // namespace
} // namespace cordavelle
