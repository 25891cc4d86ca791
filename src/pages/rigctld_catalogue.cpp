#include "pages/rigctld_page_model.h"

#include "base/spaces_and_tabs.h"
#include "platform/command_runner.h"

#include <QCollator>
#include <QStringDecoder>

#include <algorithm>

namespace cordavelle::rigctld_page {

namespace {

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == QChar(0x85) || c == QChar(0x2028) ||
           c == QChar(0x2029);
}

// An optional sign and decimal digits, nothing else.
std::optional<int> modelNumber(const QString &word)
{
    const qsizetype digitsFrom = word.startsWith(u'+') || word.startsWith(u'-') ? 1 : 0;
    if (word.size() == digitsFrom) {
        return std::nullopt;
    }
    for (qsizetype i = digitsFrom; i < word.size(); ++i) {
        if (word.at(i) < u'0' || word.at(i) > u'9') {
            return std::nullopt;
        }
    }
    bool ok = false;
    const int number = word.toInt(&ok, 10);
    return ok ? std::optional<int>(number) : std::nullopt;
}

std::optional<RigModel> modelRow(const QString &raw)
{
    const QString line = trimmedSpacesAndTabs(raw);
    const qsizetype space = line.indexOf(u' ');
    if (space <= 0) {
        return std::nullopt;
    }
    const std::optional<int> id = modelNumber(line.left(space));
    if (!id || *id < 1) {
        return std::nullopt;
    }
    // Columns are set apart by runs of two or more spaces; one space belongs to the column.
    QStringList columns;
    for (const QString &piece : trimmedSpacesAndTabs(line.mid(space)).split(QStringLiteral("  "))) {
        const QString column = trimmedSpacesAndTabs(piece);
        if (!column.isEmpty()) {
            columns << column;
        }
    }
    if (columns.size() < 2) {
        return std::nullopt;
    }
    return RigModel{*id, columns.at(0) + u' ' + columns.at(1)};
}

} // namespace

std::vector<RigModel> parseRigctldList(const QByteArray &output)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(output);
    if (decoder.hasError()) {
        return {};
    }
    std::vector<RigModel> models;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || isLineBreak(text.at(i))) {
            if (auto model = modelRow(text.mid(start, i - start))) {
                models.push_back(std::move(*model));
            }
            start = i + 1;
        }
    }
    // The user's own language decides where accented and other non-ASCII names go.
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(models.begin(), models.end(),
                     [&collator](const RigModel &a, const RigModel &b) { return collator.compare(a.name, b.name) < 0; });
    return models;
}

QCoro::Task<std::vector<RigModel>> readRigctldList(CommandRunner &runner, QString executable)
{
    Command command;
    command.program = std::move(executable);
    command.arguments = {QStringLiteral("-l")};
    command.captureOutput = true;
    const CommandResult result = co_await runner.run(std::move(command));
    if (!result.started) {
        co_return std::vector<RigModel>{};
    }
    co_return parseRigctldList(result.standardOutput);
}

std::vector<RigModel> availableRigModels(const std::vector<RigModel> &listed, int saved)
{
    std::vector<RigModel> out;
    out.reserve(listed.size() + 1);
    bool found = false;
    for (const RigModel &model : listed) {
        found = found || model.id == saved;
        if (model.id == 23005) {
            out.push_back({model.id, QStringLiteral("FlexRadio SmartSDR Slice A (recommended for Flex 6000/8000)")});
        } else if (model.id == 2036) {
            out.push_back({model.id, QStringLiteral("FlexRadio 6xxx (Windows only — on Linux pick SmartSDR Slice A)")});
        } else {
            out.push_back(model);
        }
    }
    if (saved != 0 && !found) {
        out.insert(out.begin(), RigModel{saved, QStringLiteral("Unknown (%1)").arg(saved)});
    }
    return out;
}

} // namespace cordavelle::rigctld_page
