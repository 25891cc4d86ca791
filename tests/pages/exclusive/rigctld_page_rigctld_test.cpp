#include "pages/rigctld_page_fixture.h"

#include "base/tool_lookup.h"

#include "support/local_ports.h"
#include "support/task_outcome.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;
using namespace rigctld_page;

const QString kRigctld = QStringLiteral("/usr/bin/rigctld");

// Debian's rigctld where the scene's platform looks for it, run for real.
QString linkRealRigctld(test::RigctldPageScene &scene)
{
    const QString found = scene.env.hostPath(kRigctld);
    QDir().mkpath(QFileInfo(found).path());
    EXPECT_TRUE(QFile::link(kRigctld, found));
    scene.env.commands().passThrough(QStringLiteral("rigctld"));
    return found;
}

TEST(RigctldPageWithRealRigctld, CatalogueOfTheInstalledHamlib)
{
    if (!QFile::exists(kRigctld)) {
        GTEST_SKIP() << "rigctld is not installed";
    }
    test::RigctldPageScene scene;
    const QString found = linkRealRigctld(scene);
    std::optional<std::vector<RigModel>> models;
    auto readList = [&]() -> QCoro::Task<void> { models = co_await readRigctldList(scene.env.commands(), found); };
    auto task = readList();
    ASSERT_TRUE(test::processEventsUntil([&] { return models.has_value(); }, 10s));
    EXPECT_GT(models->size(), 200u);
    EXPECT_NE(std::ranges::find(*models, RigModel{1, QStringLiteral("Hamlib Dummy")}), models->end());
    for (std::size_t i = 1; i < models->size(); ++i) {
        EXPECT_LE(QString::compare(models->at(i - 1).name, models->at(i).name, Qt::CaseInsensitive), 0)
            << models->at(i - 1).name.toStdString() << " / " << models->at(i).name.toStdString();
    }
}

// What a user does: picks the dummy rig from the real catalogue, starts rigctld with those
// settings and tests the connection from the page.
TEST(RigctldPageWithRealRigctld, PickTheDummyRigStartAndTest)
{
    if (!QFile::exists(kRigctld)) {
        GTEST_SKIP() << "rigctld is not installed";
    }
    test::RigctldPageScene scene;
    scene.env.useSystemClock();
    scene.foundRigctld = linkRealRigctld(scene);
    RigctldConfig saved = scene.config.rigctldConfig();
    saved.rigModel = 0;
    saved.tcpPort = test::freeTcpPort();
    scene.config.setRigctldConfig(saved);

    auto page = scene.makePage();
    page->show();
    QComboBox *models = page->rigModelPicker();
    ASSERT_TRUE(test::processEventsUntil([&] { return models->count() > 200; }, 10s));
    const int dummy = models->findText(QStringLiteral("Hamlib Dummy"));
    ASSERT_GE(dummy, 0);
    models->setCurrentIndex(dummy);
    Q_EMIT models->activated(dummy);
    EXPECT_EQ(scene.config.rigctldConfig().rigModel, 1);

    auto started = test::track(scene.orchestrator.startService(ServiceID::rigctld));
    ASSERT_TRUE(test::processEventsUntil([&] { return started->done; }, 15s));
    ASSERT_FALSE(started->error) << started->error->toStdString();
    ASSERT_EQ(scene.orchestrator.rigctldProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(test::processEventsUntil([&] { return page->testButton()->isEnabled(); }));
    page->testButton()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return page->testResult()->isVisible(); }, 12s));
    const QString result = page->testResult()->text();
    EXPECT_TRUE(result.startsWith(QStringLiteral("OK — ")) && result.endsWith(QStringLiteral(" MHz"))) << result.toStdString();

    // A port stored while it runs waits for the next start; the test still reaches the running one.
    EXPECT_FALSE(page->pendingChanges()->isVisible());
    const quint16 next = test::freeTcpPort();
    RigctldConfig moved = scene.config.rigctldConfig();
    moved.tcpPort = next;
    scene.config.setRigctldConfig(moved);
    ASSERT_TRUE(test::processEventsUntil([&] { return page->pendingChanges()->isVisible(); }));
    EXPECT_EQ(page->pendingChanges()->text(),
              QStringLiteral("rigctld listens on port %1 until it restarts; port %2 takes effect when rigctld next starts.")
                  .arg(saved.tcpPort)
                  .arg(next));
    page->testButton()->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return page->testButton()->isEnabled() && page->testResult()->isVisible(); }, 12s));
    EXPECT_TRUE(page->testResult()->text().startsWith(QStringLiteral("OK — "))) << page->testResult()->text().toStdString();
}

} // namespace
} // namespace cordavelle
