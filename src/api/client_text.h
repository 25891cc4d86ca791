#pragma once

#include "base/json_support.h"

#include <QString>

#include <algorithm>

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

// The same test for every text value of a JSON document, at any depth.
inline bool holdsControlCharacters(const Json &value)
{
    if (value.is_string()) {
        return holdsControlCharacters(QString::fromStdString(value.get<std::string>()));
    }
    if (value.is_structured()) {
        return std::any_of(value.cbegin(), value.cend(), [](const Json &item) { return holdsControlCharacters(item); });
    }
    return false;
}

} // namespace cordavelle
