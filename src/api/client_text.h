#pragma once

#include "base/json_support.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <string>
#include <vector>

namespace cordavelle {

// Text that clients send for the helper to store or show. Control characters (U+0000 to U+001F,
// U+007F) have no place in names, paths or callsigns, and they and the non-characters U+FFFE and
// U+FFFF can't be written into a settings file that reads back.
inline bool holdsControlCharacters(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || u == 0x7f || u == 0xfffe || u == 0xffff;
    });
}

// The same test for every text value of a JSON document, at any depth, without recursion.
inline bool holdsControlCharacters(const Json &document)
{
    std::vector<const Json *> pending{&document};
    while (!pending.empty()) {
        const Json &value = *pending.back();
        pending.pop_back();
        if (value.is_string()) {
            if (holdsControlCharacters(QString::fromStdString(value.get_ref<const std::string &>()))) {
                return true;
            }
        } else if (value.is_structured()) {
            for (const Json &item : value) {
                pending.push_back(&item);
            }
        }
    }
    return false;
}

// Every text value of a JSON document, at any depth: what a client sent, which a reply may name
// back to it.
inline QStringList textValues(const Json &document)
{
    QStringList values;
    std::vector<const Json *> pending{&document};
    while (!pending.empty()) {
        const Json &value = *pending.back();
        pending.pop_back();
        if (value.is_string()) {
            values << QString::fromStdString(value.get_ref<const std::string &>());
        } else if (value.is_structured()) {
            for (const Json &item : value) {
                pending.push_back(&item);
            }
        }
    }
    return values;
}

// Request bodies nest a few levels; a deeper one is refused before anything walks it.
constexpr int kMaxJsonBodyDepth = 64;

// Whether a JSON text opens more than `limit` arrays and objects inside one another, read from
// the text itself (brackets inside strings don't count), so any length is safe to ask about.
inline bool jsonNestsDeeperThan(QByteArrayView text, int limit)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

} // namespace cordavelle
