#include "radio/vara_probe.h"

#include "support/local_ports.h"
#include "support/scripted_tcp_server.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using test::ScriptedTcpServer;
using Then = ScriptedTcpServer::Then;

struct ProbeOutcome {
    bool ready;
    qint64 ms;
};

ProbeOutcome probe(int port)
{
    QElapsedTimer timer;
    timer.start();
    const bool ready = VARAProbe::probe(port);
    return {ready, timer.elapsed()};
}

TEST(VARAProbe, VersionReplyProvesReadinessAtOnce)
{
    ScriptedTcpServer server("VERSION VARA HF 4.8.9\r", Then::staySilent);
    const ProbeOutcome r = probe(server.port());
    EXPECT_TRUE(r.ready);
    EXPECT_LT(r.ms, 1000);
    EXPECT_EQ(server.received(), QByteArray("VERSION\r"));
}

TEST(VARAProbe, OtherTextCountsOnceTheModemFallsSilent)
{
    ScriptedTcpServer server("OK", Then::staySilent);
    const ProbeOutcome r = probe(server.port());
    EXPECT_TRUE(r.ready);
    // One read, a 200 ms pause, then a read that times out after 5 s.
    EXPECT_GE(r.ms, 5000);
    EXPECT_LT(r.ms, 7000);
}

TEST(VARAProbe, OtherTextCountsAtOnceWhenTheModemHangsUp)
{
    ScriptedTcpServer server("OK\r", Then::close);
    const ProbeOutcome r = probe(server.port());
    EXPECT_TRUE(r.ready);
    EXPECT_LT(r.ms, 1500);
}

TEST(VARAProbe, AChattyModemIsReadAtMostThreeTimes)
{
    ScriptedTcpServer server("busy ", Then::keepSending);
    const ProbeOutcome r = probe(server.port());
    EXPECT_TRUE(r.ready);
    EXPECT_LT(r.ms, 2000);
}

TEST(VARAProbe, SilentServerIsNotReadyAfterOneReadTimesOut)
{
    ScriptedTcpServer server({}, Then::staySilent);
    const ProbeOutcome r = probe(server.port());
    EXPECT_FALSE(r.ready);
    EXPECT_GE(r.ms, 4900);
    EXPECT_LT(r.ms, 7000);
}

TEST(VARAProbe, NoUsableReplyIsNotReady)
{
    {
        auto server = ScriptedTcpServer::closingAtOnce();
        const ProbeOutcome r = probe(server->port());
        EXPECT_FALSE(r.ready);
        EXPECT_LT(r.ms, 1500);
    }
    {
        ScriptedTcpServer server("\xFF\xFE\xC3", Then::close);
        const ProbeOutcome r = probe(server.port());
        EXPECT_FALSE(r.ready);
        EXPECT_LT(r.ms, 1500);
    }
}

TEST(VARAProbe, NothingListeningIsNotReadyAtOnce)
{
    const ProbeOutcome r = probe(test::freeTcpPort());
    EXPECT_FALSE(r.ready);
    EXPECT_LT(r.ms, 1000);
    EXPECT_FALSE(VARAProbe::probe(-1));
    EXPECT_FALSE(VARAProbe::probe(65536));
    EXPECT_FALSE(VARAProbe::probe(0));
}

} // namespace
} // namespace cordavelle
