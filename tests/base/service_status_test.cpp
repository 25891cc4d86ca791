#include "base/service_status.h"

#include "support/json_keys.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

ServiceStatus stoppedVaraHF()
{
    return ServiceStatus{toRaw(ServiceID::varaHF),
                         displayName(ServiceID::varaHF),
                         ServiceRunState::stopped,
                         ServiceLifecycleMode::alwaysOn,
                         std::nullopt,
                         {{"command", 8300}, {"data", 8301}},
                         std::nullopt,
                         std::nullopt};
}

TEST(ServiceStatus, LeavesOutEmptyOptionals)
{
    const Json stopped = stoppedVaraHF();
    EXPECT_EQ(dumpJson(stopped), R"({"id":"vara-hf","displayName":"VARA HF","state":"stopped",)"
                                 R"("lifecycleMode":"alwaysOn","ports":{"command":8300,"data":8301}})");

    ServiceStatus running = stoppedVaraHF();
    running.state = ServiceRunState::running;
    running.pid = 4242;
    running.uptime = 12.75;
    const Json r = running;
    EXPECT_EQ(test::keysOf(r), (std::vector<std::string>{"id", "displayName", "state", "lifecycleMode", "pid", "ports",
                                                    "uptime"}));
    EXPECT_EQ(r["pid"], 4242);
    EXPECT_DOUBLE_EQ(r["uptime"].get<double>(), 12.75);

    ServiceStatus failed = stoppedVaraHF();
    failed.state = ServiceRunState::error;
    failed.error = "Port 8300 not listening after timeout";
    const Json f = failed;
    EXPECT_EQ(test::keysOf(f), (std::vector<std::string>{"id", "displayName", "state", "lifecycleMode", "ports", "error"}));
    EXPECT_EQ(f["state"], "error");
    EXPECT_EQ(dumpJson(f).count("null"), 0);
}

TEST(ServiceStatus, DecodesWhatItWrites)
{
    ServiceStatus s = stoppedVaraHF();
    s.state = ServiceRunState::running;
    s.pid = 77;
    s.error = "old failure";
    s.uptime = 0.5;
    // The record has no equality; its JSON stands in for it.
    EXPECT_EQ(encodeJson(decodeJson<ServiceStatus>(encodeJson(s))), encodeJson(s));

    const auto minimal = decodeJson<ServiceStatus>(
        R"({"id":"rigctld","displayName":"rigctld","state":"stopped","lifecycleMode":"onDemand",)"
        R"("ports":{"tcp":4532},"pid":null,"error":null})");
    EXPECT_EQ(minimal.ports, (std::map<QString, int>{{"tcp", 4532}}));
    EXPECT_FALSE(minimal.pid || minimal.error || minimal.uptime);
}

TEST(ServiceStatus, RequiredMembersAndTypes)
{
    const char *base = R"({"id":"direwolf","displayName":"Direwolf","state":"stopped","lifecycleMode":"onDemand",)"
                       R"("ports":{"kiss":8001,"agw":8000}})";
    EXPECT_NO_THROW(decodeJson<ServiceStatus>(base));
    for (const char *key : {"id", "displayName", "state", "lifecycleMode", "ports"}) {
        Json j = Json::parse(base);
        j.erase(key);
        EXPECT_THROW(decodeJson<ServiceStatus>(dumpJson(j)), JsonDecodeError) << key;
    }
    const std::vector<std::pair<const char *, Json>> wrong{
        {"state", "Running"}, {"lifecycleMode", 1}, {"pid", "12"}, {"pid", 1.5},
        {"ports", Json::parse(R"({"kiss":"8001"})")}, {"ports", Json::array()}, {"uptime", true}, {"error", 3}};
    for (const auto &[key, value] : wrong) {
        Json j = Json::parse(base);
        j[key] = value;
        EXPECT_THROW(decodeJson<ServiceStatus>(dumpJson(j)), JsonDecodeError) << key << " " << value.dump();
    }
}

TEST(ConnectedClient, RoundTripWithIsoDate)
{
    const ConnectedClient client{"c-1", "shack-mac", "macOS",
                                 QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC),
                                 {"vara-hf", "rigctld"}};
    const Json j = client;
    EXPECT_EQ(dumpJson(j), R"({"id":"c-1","hostname":"shack-mac","platform":"macOS",)"
                           R"("lastSeen":"2025-03-04T05:06:07Z","requestedServices":["vara-hf","rigctld"]})");
    EXPECT_EQ(decodeJson<ConnectedClient>(dumpJson(j)), client);

    Json noServices = j;
    noServices.erase("requestedServices");
    EXPECT_THROW(decodeJson<ConnectedClient>(dumpJson(noServices)), JsonDecodeError);
    Json nullHost = j;
    nullHost["hostname"] = nullptr;
    EXPECT_THROW(decodeJson<ConnectedClient>(dumpJson(nullHost)), JsonDecodeError);
    Json badDate = j;
    badDate["lastSeen"] = "yesterday";
    EXPECT_THROW(decodeJson<ConnectedClient>(dumpJson(badDate)), JsonDecodeError);
}

} // namespace
} // namespace cordavelle
