#include "vara_config_manager.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/spaces_and_tabs.h"
#include "base/text_file.h"
#include "platform/files.h"

#include <QFile>
#include <QHash>

#include <vector>

namespace cordavelle {

VARAConfigError::VARAConfigError(Code code, QString path)
    : DescribedError(QStringLiteral("VARA configuration file not found at ") + path), m_code(code), m_path(std::move(path))
{
}

namespace {

const QString kSoundcard = QStringLiteral("Soundcard");
const QString kSetup = QStringLiteral("Setup");
const QString kInputDeviceName = QStringLiteral("Input Device Name");
const QString kOutputDeviceName = QStringLiteral("Output Device Name");
const QString kCallsign = QStringLiteral("Callsign Licence 0");
const QString kCommandPort = QStringLiteral("TCP Command Port");

// The section named by a header line ("[name]" once trimmed), or nothing for any other line.
// The name is not trimmed further: "[ Setup ]" is not the Setup section.
std::optional<QString> sectionHeader(const QString &line)
{
    const QString t = textfile::trimmed(line);
    if (t.size() >= 2 && t.startsWith(u'[') && t.endsWith(u']')) {
        return t.mid(1, t.size() - 2);
    }
    return std::nullopt;
}

struct KeyValue {
    QString key;
    QString value;
};

// Key and value of a "key = value" line; nothing for a header or a line without "=".
std::optional<KeyValue> keyLine(const QString &line)
{
    if (sectionHeader(line)) {
        return std::nullopt;
    }
    const QString t = textfile::trimmed(line);
    const qsizetype eq = t.indexOf(u'=');
    if (eq < 0) {
        return std::nullopt;
    }
    return KeyValue{trimmedSpacesAndTabs(t.left(eq)), trimmedSpacesAndTabs(t.mid(eq + 1))};
}

// A whole decimal number with an optional sign that fits 64 bits.
std::optional<int64_t> wholeNumber(const QString &text)
{
    qsizetype i = (text.startsWith(u'+') || text.startsWith(u'-')) ? 1 : 0;
    if (i == text.size()) {
        return std::nullopt;
    }
    for (qsizetype j = i; j < text.size(); ++j) {
        if (text[j] < u'0' || text[j] > u'9') {
            return std::nullopt;
        }
    }
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    return ok ? std::optional<int64_t>(value) : std::nullopt;
}

bool isBlankLine(const QString &line) { return textfile::trimmed(line).isEmpty(); }

} // namespace

QString VARAConfigManager::iniPath(VARAVariant variant)
{
    return places::varaIniFile(variant);
}

VARAConfigManager::VARASettings VARAConfigManager::readSettings(VARAVariant variant)
{
    const QString path = iniPath(variant);
    QString error;
    const auto file = textfile::readUtf8(path, &error);
    if (!file) {
        if (QFile::exists(path)) {
            HelperLogger::warning(QStringLiteral("[VARAConfig] Could not read %1 ini at %2: %3")
                                      .arg(displayName(variant), path, error),
                                  HelperLogger::Category::services);
        }
        VARASettings defaults;
        defaults.tcpCommandPort = commandPort(variant);
        return defaults;
    }
    return parseINI(file->text, variant);
}

VARAConfigManager::VARASettings VARAConfigManager::parseINI(const QString &text, VARAVariant variant)
{
    VARASettings settings;
    settings.tcpCommandPort = commandPort(variant);
    QString section;
    bool inSection = false;
    for (const QString &line : textfile::splitLines(text)) {
        if (const auto name = sectionHeader(line)) {
            section = *name;
            inSection = true;
            continue;
        }
        if (!inSection) {
            continue;
        }
        const auto kv = keyLine(line);
        if (!kv) {
            continue;
        }
        if (section == kSoundcard) {
            if (kv->key == kInputDeviceName) {
                settings.inputDeviceName = kv->value;
            } else if (kv->key == kOutputDeviceName) {
                settings.outputDeviceName = kv->value;
            }
        } else if (section == kSetup) {
            if (kv->key == kCallsign) {
                settings.callsign = kv->value;
            } else if (kv->key == kCommandPort) {
                if (const auto port = wholeNumber(kv->value)) {
                    settings.tcpCommandPort = *port;
                }
            }
        }
    }
    return settings;
}

void VARAConfigManager::writeSettings(const VARASettings &settings, VARAVariant variant)
{
    const QString path = iniPath(variant);
    const auto file = textfile::readUtf8(path);
    if (!file) {
        throw VARAConfigError::iniNotFound(path);
    }

    const QString ending = detectLineEnding(file->text);
    QString text = file->text;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    text = dedupeSections(text, {kSoundcard, kSetup});
    text = upsertINIValue(text, kSoundcard, kInputDeviceName, settings.inputDeviceName);
    text = upsertINIValue(text, kSoundcard, kOutputDeviceName, settings.outputDeviceName);
    text = upsertINIValue(text, kSetup, kCallsign, settings.callsign);
    text = upsertINIValue(text, kSetup, kCommandPort, QString::number(settings.tcpCommandPort));
    if (ending != QStringLiteral("\n")) {
        text.replace(QStringLiteral("\n"), ending);
    }

    QByteArray bytes = text.toUtf8();
    if (file->hasByteOrderMark) {
        bytes.prepend("\xEF\xBB\xBF");
    }
    writeFileAtomically(path, bytes);
}

QString VARAConfigManager::detectLineEnding(const QString &text)
{
    if (text.contains(QStringLiteral("\r\n"))) {
        return QStringLiteral("\r\n");
    }
    if (text.contains(u'\r')) {
        return QStringLiteral("\r");
    }
    return QStringLiteral("\n");
}

QString VARAConfigManager::dedupeSections(const QString &text, const QStringList &sectionNames)
{
    const QStringList lines = textfile::splitLines(text);
    std::vector<bool> removed(lines.size(), false);

    struct Merged {
        qsizetype firstHeader = -1;
        QStringList keys; // in order of first appearance
        QHash<QString, QString> values; // last appearance wins
    };
    QHash<QString, Merged> sections;
    std::optional<QString> current;
    bool inFirstOccurrence = false;
    bool anyRepeated = false;

    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (const auto name = sectionHeader(lines[i])) {
            if (!sectionNames.contains(*name)) {
                current.reset();
                continue;
            }
            current = *name;
            Merged &merged = sections[*name];
            if (merged.firstHeader < 0) {
                merged.firstHeader = i;
                inFirstOccurrence = true;
            } else {
                removed[i] = true;
                inFirstOccurrence = false;
                anyRepeated = true;
            }
            continue;
        }
        if (!current) {
            continue;
        }
        if (const auto kv = keyLine(lines[i])) {
            removed[i] = true;
            Merged &merged = sections[*current];
            if (!merged.values.contains(kv->key)) {
                merged.keys.append(kv->key);
            }
            merged.values.insert(kv->key, kv->value);
        } else if (!inFirstOccurrence) {
            removed[i] = true;
        }
    }
    if (!anyRepeated) {
        return text;
    }

    QHash<qsizetype, QString> headerSection;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        headerSection.insert(it->firstHeader, it.key());
    }
    QStringList result;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (removed[i]) {
            continue;
        }
        result.append(lines[i]);
        const auto header = headerSection.constFind(i);
        if (header == headerSection.cend()) {
            continue;
        }
        const Merged &merged = sections[*header];
        for (const QString &key : merged.keys) {
            result.append(key + u'=' + merged.values.value(key));
        }
    }
    return result.join(u'\n');
}

QString VARAConfigManager::upsertINIValue(const QString &text, const QString &section, const QString &key,
                                          const QString &value)
{
    QStringList lines = textfile::splitLines(text);
    const QString newLine = key + u'=' + value;

    qsizetype header = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (sectionHeader(lines[i]) == section) {
            header = i;
            break;
        }
    }
    if (header < 0) {
        if (!text.endsWith(u'\n')) {
            lines.append(QString());
        }
        lines.append(u'[' + section + u']');
        lines.append(newLine);
        return lines.join(u'\n');
    }

    qsizetype end = header + 1;
    while (end < lines.size() && !sectionHeader(lines[end])) {
        ++end;
    }
    const QString exact = key + u'=';
    const QString spaced = key + QStringLiteral(" =");
    for (qsizetype i = header + 1; i < end; ++i) {
        const QString t = textfile::trimmed(lines[i]);
        if (t.startsWith(exact) || t.startsWith(spaced)) {
            lines[i] = newLine;
            return lines.join(u'\n');
        }
    }
    // Above the blank lines that close the section, so separators before the next header (and
    // the final empty line of a file ending in a newline) stay below the new line, also in a
    // section that holds nothing but blank lines.
    qsizetype insertAt = end;
    while (insertAt > header + 1 && isBlankLine(lines[insertAt - 1])) {
        --insertAt;
    }
    lines.insert(insertAt, newLine);
    return lines.join(u'\n');
}

} // namespace cordavelle
