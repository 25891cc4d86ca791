#include "app/clients_page.h"
#include "app/clients_page_model.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/status_look.h"

#include "api/pairing_manager.h"
#include "support/task_outcome.h"
#include "support/fake_login_item.h"
#include "support/refusing_defaults.h"
#include "support/scripted_alert_presenter.h"
#include "support/test_platform.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

PairedClient client(PairingStatus status, std::chrono::seconds seenAgo, PairedClient::Time now, bool claimed = true)
{
    PairedClient c;
    c.id = "id";
    c.hostname = "Shack-iPad";
    c.platform = "iPadOS";
    c.status = status;
    c.pairedAt = now - 48h;
    c.lastSeen = now - seenAgo;
    if (claimed) {
        c.tokenClaimedAt = now - 47h;
    }
    return c;
}

TEST(ClientRowModel, StatusLinesDotsThirdLineAndActions)
{
    const auto now = std::chrono::system_clock::now();
    struct Case {
        PairedClient client;
        QString status;
        Tone line;
        Tone dot;
        bool thirdLine;
        ClientRow::Actions actions;
    };
    const std::vector<Case> cases{
        {client(PairingStatus::pending, 0s, now), "Requesting access...", Tone::orange, Tone::orange, false,
         ClientRow::Actions::acceptDeny},
        {client(PairingStatus::approved, 10s, now, false),
         "Approved but token not delivered \u2014 client can't authenticate", Tone::orange, Tone::green, true,
         ClientRow::Actions::remove},
        {client(PairingStatus::approved, 600s, now, false),
         "Approved but token not delivered \u2014 client can't authenticate", Tone::orange, Tone::gray, true,
         ClientRow::Actions::remove},
        {client(PairingStatus::approved, 59s, now), "Connected \u2014 last seen just now", Tone::green, Tone::green,
         true, ClientRow::Actions::remove},
        {client(PairingStatus::approved, 60s, now), "Paired \u2014 last seen 1m ago", Tone::secondary, Tone::gray, true,
         ClientRow::Actions::remove},
        {client(PairingStatus::denied, 0s, now), "Denied", Tone::red, Tone::red, false, ClientRow::Actions::remove},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status.toStdString());
        const ClientRow row = clientRow(c.client, now);
        EXPECT_EQ(row.statusLine, c.status);
        EXPECT_EQ(row.statusTone, c.line);
        EXPECT_EQ(row.dot, c.dot);
        EXPECT_EQ(row.pairedLine.has_value(), c.thirdLine);
        if (row.pairedLine) {
            EXPECT_TRUE(row.pairedLine->startsWith("Paired: "));
        }
        EXPECT_EQ(row.actions, c.actions);
        EXPECT_EQ(row.platformText, "(iPadOS)");
    }
}

TEST(ClientRowModel, ARowChangesByTimeAloneAtItsMarkThenAtEachStepOfItsLastSeenTime)
{
    const auto now = std::chrono::system_clock::now();
    struct Case {
        PairedClient client;
        std::optional<std::chrono::seconds> after;
    };
    const std::vector<Case> cases{
        {client(PairingStatus::pending, 0s, now), std::nullopt},
        {client(PairingStatus::denied, 0s, now), std::nullopt},
        {client(PairingStatus::approved, 59s, now), 1s},
        {client(PairingStatus::approved, 0s, now, false), 60s},
        // Past its mark an unclaimed approval shows no time.
        {client(PairingStatus::approved, 61s, now, false), std::nullopt},
        {client(PairingStatus::approved, 60s, now), 60s},
        {client(PairingStatus::approved, 90s, now), 30s},
        {client(PairingStatus::approved, 2h + 10min, now), 50min},
        {client(PairingStatus::approved, 50h, now), 22h},
    };
    for (const Case &c : cases) {
        const auto change = nextRowChange(c.client, now);
        ASSERT_EQ(change.has_value(), c.after.has_value()) << (now - c.client.lastSeen).count();
        if (change) {
            EXPECT_EQ(*change - now, *c.after);
            EXPECT_NE(clientRow(c.client, *change), clientRow(c.client, *change - 1ms));
        }
    }
}

TEST(ClientRowModel, PlatformSymbolsBannerAndRemovalTexts)
{
    EXPECT_EQ(platformSymbol("MACOS"), "macbook");
    EXPECT_EQ(platformSymbol("iOS"), "iphone");
    EXPECT_EQ(platformSymbol("ipados"), "ipad");
    EXPECT_EQ(platformSymbol(""), "laptopcomputer");
    EXPECT_EQ(platformSymbol("Linux"), "laptopcomputer");

    const auto now = std::chrono::system_clock::now();
    EXPECT_FALSE(hasUnclaimedApproval({}));
    EXPECT_FALSE(hasUnclaimedApproval({client(PairingStatus::pending, 0s, now, false),
                                       client(PairingStatus::approved, 0s, now, true)}));
    EXPECT_TRUE(hasUnclaimedApproval({client(PairingStatus::approved, 0s, now, false)}));

    PairedClient odd = client(PairingStatus::approved, 0s, now);
    odd.hostname = "<b>Bob's</b>";
    EXPECT_EQ(revokeConfirmationTitle(std::nullopt), "Remove Client?");
    const Alert alert = revokeConfirmationAlert(odd);
    EXPECT_EQ(alert.message, "Remove <b>Bob's</b>?");
    EXPECT_EQ(alert.buttons, (QStringList{"Remove '<b>Bob's</b>'", "Cancel"}));
    EXPECT_TRUE(alert.informativeText.startsWith("This will disconnect '<b>Bob's</b>' and"));

    // The longest name a client may send, in the middle of the dialog's button.
    odd.hostname = QString(231, 'a') + QString(24, 'z');
    const QString shortened = QString(23, 'a') + QChar(0x2026) + QString(24, 'z');
    EXPECT_EQ(revokeConfirmationAlert(odd).buttons, (QStringList{"Remove '" + shortened + "'", "Cancel"}));
    EXPECT_EQ(revokeConfirmationTitle(odd), "Remove " + shortened + "?");
    // A character outside the basic plane across the cut before the name's end is left out whole.
    odd.hostname = QString(228, 'a') + QString::fromUtf8("\U0001F4E1") + QString(23, 'z');
    ASSERT_EQ(odd.hostname.toUtf8().size(), 255);
    EXPECT_EQ(revokeConfirmationTitle(odd), "Remove " + QString(23, 'a') + QChar(0x2026) + QString(23, 'z') + "?");
}

TEST(ClientsPageWidget, AcceptApprovesAndRemoveAsksFirst)
{
    test::TestPlatform env;
    test::RefusingDefaults defaults;
    PairingManager pairing(defaults, env.clock(), env.keychain(), env.attention());
    test::ScriptedAlertPresenter alerts;
    test::runToEnd(pairing.requestPairing("pending", "shack-mac", "macOS", "127.0.0.1"));
    test::runToEnd(pairing.requestPairing("other", "field-laptop", "Linux", ""));
    ClientsPage page(pairing, env.clock(), alerts);
    QApplication::processEvents();
    const QPointer<QWidget> pendingRow = page.findChild<QWidget *>("client:pending");
    const QPointer<QWidget> otherRow = page.findChild<QWidget *>("client:other");
    ASSERT_TRUE(pendingRow && otherRow);
    const QList<QPushButton *> otherButtons = otherRow->findChildren<QPushButton *>();
    ASSERT_EQ(otherButtons.size(), 2);
    ASSERT_EQ(otherButtons[1]->text(), "Deny");
    otherButtons[1]->click();
    EXPECT_EQ(pairing.clients().at(1).status, PairingStatus::denied);
    QApplication::processEvents();
    EXPECT_FALSE(otherRow) << "the row that changed is built anew";
    EXPECT_TRUE(pendingRow) << "the others stay as they are";

    auto *accept = page.findChild<QWidget *>("client:pending")->findChild<QPushButton *>();
    ASSERT_NE(accept, nullptr);
    ASSERT_EQ(accept->text(), "Accept");
    accept->click();
    EXPECT_EQ(pairing.clients().at(0).status, PairingStatus::approved);
    QApplication::processEvents();

    auto *remove = page.findChild<QWidget *>("client:pending")->findChild<QPushButton *>();
    ASSERT_EQ(remove->text(), "Remove");
    alerts.answers = {1}; // Cancel
    remove->click();
    EXPECT_EQ(pairing.clients().size(), 2u);
    // A removal that cannot be saved does not happen, and the user is told why.
    defaults.refusal = "No space left on device";
    alerts.answers = {0, 0};
    remove->click();
    EXPECT_EQ(pairing.clients().size(), 2u);
    ASSERT_EQ(alerts.shown.size(), 3u);
    EXPECT_EQ(alerts.shown[2].message, "'shack-mac' could not be removed");
    EXPECT_EQ(alerts.shown[2].informativeText, "Could not save the paired clients \u2014 No space left on device");
    defaults.refusal.reset();

    alerts.answers = {0};
    remove->click();
    EXPECT_EQ(pairing.clients().size(), 1u);
    EXPECT_EQ(alerts.shown.size(), 4u);
}

TEST(CoalescedRefresh, PacedRefreshRunsAtMostOncePerIntervalAndAfterTheLastChange)
{
    test::TestPlatform env;
    QObject owner;
    int runs = 0;
    int seen = 0;
    int value = 0;
    auto *refresh = new CoalescedRefresh(&owner, [&] {
        ++runs;
        seen = value;
    }, env.clock(), 250ms);

    // The first change after a quiet spell shows on the next turn.
    refresh->schedule();
    QApplication::processEvents();
    EXPECT_EQ(runs, 1);

    // A hundred changes in a second.
    for (int i = 1; i <= 100; ++i) {
        value = i;
        refresh->schedule();
        env.clock().advance(10ms);
        QApplication::processEvents();
    }
    EXPECT_LE(runs, 1 + 4) << "one per 250 ms";
    env.clock().advance(250ms);
    QApplication::processEvents();
    EXPECT_EQ(seen, 100) << "the last change shows too";
    const int settled = runs;
    env.clock().advance(1s);
    QApplication::processEvents();
    EXPECT_EQ(runs, settled) << "and nothing runs without a change";

    // A refresh still waiting when its view goes is dropped.
    refresh->schedule();
    refresh->schedule();
    delete refresh;
    env.clock().advance(1s);
    QApplication::processEvents();
    EXPECT_EQ(runs, settled);
}

// A table holding one approved client that has fetched its token.
class ClientsPageTest : public ::testing::Test {
protected:
    ClientsPageTest()
    {
        test::runToEnd(pairing.requestPairing("c1", "shack-mac", "macOS", ""));
        pairing.approve("c1");
        pairing.markTokenClaimed("c1");
    }
    // The row's line that says when the client was last seen.
    static QLabel *statusLabel(QWidget *row)
    {
        for (QLabel *label : row->findChildren<QLabel *>()) {
            if (label->text().contains("last seen")) {
                return label;
            }
        }
        return nullptr;
    }

    test::TestPlatform env;
    PairingManager pairing{env.defaults(), env.clock(), env.keychain(), env.attention()};
    test::ScriptedAlertPresenter alerts;
};

TEST_F(ClientsPageTest, ANewLastSeenTimeChangesTheStatusLineInPlace)
{
    env.clock().advance(120s);
    ClientsPage page(pairing, env.clock(), alerts);
    QApplication::processEvents();
    const QPointer<QWidget> row = page.findChild<QWidget *>("client:c1");
    ASSERT_TRUE(row);
    const QPointer<QLabel> status = statusLabel(row);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), "Paired \u2014 last seen 2m ago");

    // A client polling a hundred times a second.
    for (int i = 0; i < 100; ++i) {
        pairing.updateLastSeen("c1");
        env.clock().advance(10ms);
        QApplication::processEvents();
    }
    env.clock().advance(ClientsPage::kLastSeenInterval);
    QApplication::processEvents();
    EXPECT_TRUE(row && status) << "the row and its labels stay";
    EXPECT_EQ(statusLabel(row), status.data());
    EXPECT_EQ(status->text(), "Connected \u2014 last seen just now");
}

TEST_F(ClientsPageTest, AShownRowFollowsTimeAcrossItsSixtySecondMark)
{
    pairing.updateLastSeen("c1");
    test::runToEnd(pairing.requestPairing("c2", "field-laptop", "Linux", ""));
    ClientsPage page(pairing, env.clock(), alerts);
    page.show();
    QApplication::processEvents();
    QWidget *row = page.findChild<QWidget *>("client:c1");
    ASSERT_NE(row, nullptr);
    const auto shown = [&] { return statusLabel(row)->text(); };
    const auto dot = [&] { return row->findChild<StateDot *>()->tone(); };

    env.clock().advance(59s);
    EXPECT_EQ(shown(), "Connected \u2014 last seen just now");
    EXPECT_EQ(dot(), Tone::green);
    env.clock().advance(1s);
    EXPECT_EQ(shown(), "Paired \u2014 last seen 1m ago");
    EXPECT_EQ(dot(), Tone::gray);
    // The line fades the page's text colour, not the green it had.
    EXPECT_EQ(statusLabel(row)->palette().color(QPalette::WindowText), toneColour(Tone::secondary, page.palette()));
    env.clock().advance(60s);
    EXPECT_EQ(shown(), "Paired \u2014 last seen 2m ago");

    // Hidden, the page waits for nothing; shown again, it is current at once.
    page.hide();
    QApplication::processEvents();
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
    env.clock().advance(10min);
    page.show();
    EXPECT_EQ(shown(), "Paired \u2014 last seen 12m ago");
}

} // namespace
} // namespace cordavelle
