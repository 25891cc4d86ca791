#include "audio_system.h"

#include <alsa/asoundlib.h>

#include <cstdlib>

namespace cordavelle {

namespace {

QString takeHint(const void *hint, const char *id)
{
    char *value = snd_device_name_get_hint(hint, id);
    if (!value) {
        return {};
    }
    QString text = QString::fromUtf8(value);
    std::free(value);
    return text;
}

// A stable identifier for a PCM name, so that the same device keeps its identifier across
// refreshes and an unchanged system compares equal.
uint32_t identifierFor(const QString &name)
{
    uint32_t hash = 2166136261u;
    for (const char byte : name.toUtf8()) {
        hash = (hash ^ static_cast<uint8_t>(byte)) * 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

} // namespace

std::vector<uint32_t> AlsaAudioSystem::deviceIDs()
{
    void **hints = nullptr;
    const int status = snd_device_name_hint(-1, "pcm", &hints);
    if (status < 0) {
        throw AudioSystemError(status);
    }
    m_entries.clear();
    std::vector<uint32_t> ids;
    for (void **hint = hints; *hint; ++hint) {
        const QString name = takeHint(*hint, "NAME");
        // "null" discards everything; it is no sound device anybody would pick.
        if (name.isEmpty() || name == QLatin1String("null")) {
            continue;
        }
        const QString ioid = takeHint(*hint, "IOID");
        Entry entry;
        entry.name = name;
        entry.description = takeHint(*hint, "DESC").section(QLatin1Char('\n'), 0, 0).trimmed();
        entry.input = ioid.isEmpty() || ioid == QLatin1String("Input");
        entry.output = ioid.isEmpty() || ioid == QLatin1String("Output");
        entry.id = identifierFor(name);
        while (find(entry.id)) {
            ++entry.id;
        }
        ids.push_back(entry.id);
        m_entries.push_back(std::move(entry));
    }
    snd_device_name_free_hint(hints);
    return ids;
}

const AlsaAudioSystem::Entry *AlsaAudioSystem::find(uint32_t device) const
{
    for (const Entry &entry : m_entries) {
        if (entry.id == device) {
            return &entry;
        }
    }
    return nullptr;
}

std::optional<uint32_t> AlsaAudioSystem::defaultDevice(bool input)
{
    const Entry *chosen = nullptr;
    for (const Entry &entry : m_entries) {
        if (entry.name == QLatin1String("default")) {
            chosen = &entry;
            break;
        }
    }
    if (!chosen) {
        for (const Entry &entry : m_entries) {
            if (entry.name.startsWith(QLatin1String("sysdefault:"))) {
                chosen = &entry;
                break;
            }
        }
    }
    if (!chosen || !(input ? chosen->input : chosen->output)) {
        return std::nullopt;
    }
    return chosen->id;
}

std::optional<QString> AlsaAudioSystem::property(uint32_t device, Property property)
{
    const Entry *entry = find(device);
    if (!entry) {
        return std::nullopt;
    }
    switch (property) {
    case Property::uid:
    case Property::name:
        return entry->name;
    case Property::manufacturer:
        return entry->description;
    }
    return std::nullopt;
}

std::vector<int> AlsaAudioSystem::streamChannels(uint32_t device, bool input)
{
    const Entry *entry = find(device);
    // The hints tell only the direction; opening each device to count its channels could block
    // on a busy card, and the count matters only as "has this direction".
    if (!entry || !(input ? entry->input : entry->output)) {
        return {};
    }
    return {1};
}

} // namespace cordavelle
