#include "reset_section_model.h"

#include <QPointer>

namespace cordavelle {

namespace reset_texts {

QString title(ResetLevel level)
{
    switch (level) {
    case ResetLevel::settings:
        return QStringLiteral("Reset Settings");
    case ResetLevel::prefix:
        return QStringLiteral("Reset Wine Prefix");
    case ResetLevel::everything:
        return QStringLiteral("Reset Everything\u2026");
    }
    return {};
}

QString subtitle(ResetLevel level)
{
    switch (level) {
    case ResetLevel::settings:
        return QStringLiteral("Clear Helper settings and paired clients.  Keeps installs on disk.");
    case ResetLevel::prefix:
        return QStringLiteral("Remove the Wine prefix.  Keeps Wine, Hamlib, Direwolf, and settings.");
    case ResetLevel::everything:
        return QStringLiteral("Remove the entire Helper state from disk.  Helper will quit afterwards.");
    }
    return {};
}

QString alertTitle(ResetLevel level) { return title(level).replace(QChar(0x2026), QLatin1Char('?')); }

QString confirmLabel(ResetLevel level)
{
    switch (level) {
    case ResetLevel::settings:
        return QStringLiteral("Reset Settings");
    case ResetLevel::prefix:
        return QStringLiteral("Reset Prefix");
    case ResetLevel::everything:
        return QStringLiteral("Reset Everything");
    }
    return {};
}

QString alertMessage(ResetLevel level, const QString &prefixDisplay)
{
    switch (level) {
    case ResetLevel::settings:
        return QStringLiteral("Clears the Helper's settings, paired-client tokens stored in the keyring, and the "
                              "\"Launch at Login\" registration.  Keeps Wine, the VARA modems, Hamlib, and Direwolf "
                              "on disk so they do not need to be re-downloaded.\n\n"
                              "You will see the first-run setup wizard again on next launch.");
    case ResetLevel::prefix:
        return QStringLiteral("Kills any running Wine processes for the Helper's prefix, then removes the entire "
                              "wine-prefix directory (") +
               prefixDisplay +
               QStringLiteral(").\n\n"
                              "Wine itself, Hamlib, Direwolf, and your Helper settings are kept.  VARA will need to "
                              "be re-installed because its files live inside the prefix.\n\n"
                              "Use this if the Wine prefix is in a bad state (e.g. VARA crashes on launch).");
    case ResetLevel::everything:
        return QStringLiteral("Removes EVERYTHING the Helper has written to disk:\n\n"
                              "  \u2022 Wine binary and prefix (~600 MB)\n"
                              "  \u2022 VARA HF and VARA FM installs\n"
                              "  \u2022 Hamlib and Direwolf binaries\n"
                              "  \u2022 All Helper settings\n"
                              "  \u2022 Paired-client tokens (keyring)\n"
                              "  \u2022 \"Launch at Login\" registration\n\n"
                              "The Helper application itself stays installed \u2014 you can remove it separately.\n\n"
                              "The Helper will quit after running this reset.");
    }
    return {};
}

Alert confirmationAlert(ResetLevel level, const QString &prefixDisplay)
{
    Alert alert;
    alert.style = level == ResetLevel::everything ? Alert::Style::critical : Alert::Style::warning;
    alert.message = alertTitle(level);
    alert.informativeText = alertMessage(level, prefixDisplay);
    alert.buttons = {confirmLabel(level), QStringLiteral("Cancel")};
    // Every level removes something for good.
    alert.destructive = true;
    return alert;
}

} // namespace reset_texts

QString displayPath(const QString &path, const QString &home)
{
    if (!home.isEmpty() && path.startsWith(home)) {
        return QLatin1Char('~') + path.mid(home.size());
    }
    return path;
}

ResetSheet resetSheet(const ResetReport &report, bool wasFullReset, const QString &home)
{
    ResetSheet sheet;
    const bool warnings = !report.errors.isEmpty();
    sheet.symbol = warnings ? QStringLiteral("exclamationmark.triangle.fill") : QStringLiteral("checkmark.circle.fill");
    sheet.symbolTone = warnings ? Tone::orange : Tone::green;
    sheet.title = warnings ? QStringLiteral("Reset completed with warnings") : QStringLiteral("Reset complete");
    if (!report.removedPaths.isEmpty()) {
        ResetSheet::Entry removed{QStringLiteral("folder.badge.minus"),
                                  QStringLiteral("Removed %1 path(s):").arg(report.removedPaths.size()),
                                  {}};
        for (const QString &path : report.removedPaths) {
            removed.lines << displayPath(path, home);
        }
        sheet.entries.push_back(removed);
    }
    if (report.userDefaultsCleared) {
        sheet.entries.push_back({QStringLiteral("gearshape"), QStringLiteral("Cleared Helper settings"), {}});
    }
    if (report.keychainItemsRemoved >= 1) {
        sheet.entries.push_back(
            {QStringLiteral("key"), QStringLiteral("Removed %1 keyring item(s)").arg(report.keychainItemsRemoved), {}});
    }
    if (report.loginItemUnregistered) {
        sheet.entries.push_back({QStringLiteral("power"), QStringLiteral("Unregistered Launch at Login"), {}});
    }
    for (const QString &error : report.errors) {
        sheet.warnings << QStringLiteral("\u2022 ") + error;
    }
    sheet.wasFullReset = wasFullReset;
    sheet.buttonLabel = wasFullReset ? QStringLiteral("Quit") : QStringLiteral("Done");
    return sheet;
}

ResetSectionModel::ResetSectionModel(Runner runner, std::function<void()> quit, QObject *parent)
    : QObject(parent), m_runner(std::move(runner)), m_quit(std::move(quit))
{
}

void ResetSectionModel::setState(State state)
{
    m_state = state;
    Q_EMIT changed();
}

void ResetSectionModel::request(ResetLevel level)
{
    if (m_state != State::idle) {
        return;
    }
    m_pending = level;
    setState(State::confirming);
}

void ResetSectionModel::cancel()
{
    if (m_state != State::confirming) {
        return;
    }
    m_pending.reset();
    setState(State::idle);
}

QCoro::Task<void> ResetSectionModel::confirm()
{
    if (m_state != State::confirming || !m_pending) {
        co_return;
    }
    const ResetLevel level = *m_pending;
    m_pending.reset();
    setState(State::running);
    QPointer<ResetSectionModel> self(this);
    ResetReport report = co_await m_runner(level);
    if (!self) {
        co_return;
    }
    m_report = std::move(report);
    m_wasFullReset = level == ResetLevel::everything;
    setState(State::result);
}

void ResetSectionModel::dismiss()
{
    if (m_state != State::result) {
        return;
    }
    const bool quit = m_wasFullReset;
    m_report.reset();
    m_wasFullReset = false;
    setState(State::idle);
    if (quit && m_quit) {
        m_quit();
    }
}

} // namespace cordavelle
