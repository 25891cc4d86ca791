#pragma once

#include <QLabel>
#include <QString>

#include <functional>
#include <optional>

namespace cordavelle {

// What a settings store answers to a change: nothing once it kept the change, else why not.
using StoreAnswer = std::optional<QString>;

// The red line under a control that stores a setting. When the store refuses the user's change,
// the control shows the stored value again and this line says why, until the user's next change
// of that control: a value that was not kept never reads as kept.
class SettingNote final : public QLabel {
    Q_OBJECT
public:
    // What follows the store's reason on the line.
    static QString settingStays() { return QStringLiteral("The setting stays as it was."); }

    // Answers for `control` (when given); `outcome` follows the store's reason.
    explicit SettingNote(QWidget *control = nullptr, QString outcome = settingStays(), QWidget *parent = nullptr);

    // Also answers for `control`: another control of the same setting, or one made afresh.
    void serve(QWidget *control);
    // The note that answers for `control`, if it has one.
    static SettingNote *of(const QWidget *control);

    // The store's answer to the user's change: a refusal first puts the stored value back
    // (`showStored`), then says why; a kept change clears the line. True when refused.
    bool answer(const StoreAnswer &refusal, const std::function<void()> &showStored = {});
    // Shows `text` as it is (a change refused before it reached the store), or clears the line.
    void say(const std::optional<QString> &text);
    // What the line says; empty while it is hidden.
    QString shown() const { return isHidden() ? QString() : text(); }

private:
    QString m_outcome;
};

// A part made afresh on every refresh (banners, an installation section), with `note` kept under
// it, so that what its buttons could not store stays said across refreshes.
QWidget *withNoteBelow(QWidget *part, SettingNote *note);

// The store's answer to the user's change of `control`, handed to the note that answers for it.
bool answerChange(const QWidget *control, const StoreAnswer &answer, const std::function<void()> &showStored);

} // namespace cordavelle
