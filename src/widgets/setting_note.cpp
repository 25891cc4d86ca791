#include "widgets/setting_note.h"

#include "widgets/form_parts.h"

#include <QPointer>
#include <QVBoxLayout>
#include <QVariant>

namespace cordavelle {

namespace {

constexpr const char *kNoteProperty = "cordavelleSettingNote";

} // namespace

SettingNote::SettingNote(QWidget *control, QString outcome, QWidget *parent)
    : QLabel(parent), m_outcome(std::move(outcome))
{
    setWordWrap(true);
    setFont(textStyle::caption(font()));
    setToneText(this, QString(), Tone::red);
    hide();
    if (control) {
        serve(control);
    }
}

void SettingNote::serve(QWidget *control)
{
    control->setProperty(kNoteProperty, QVariant::fromValue(QPointer<QObject>(this)));
}

SettingNote *SettingNote::of(const QWidget *control)
{
    if (!control) {
        return nullptr;
    }
    return qobject_cast<SettingNote *>(control->property(kNoteProperty).value<QPointer<QObject>>().data());
}

bool SettingNote::answer(const StoreAnswer &refusal, const std::function<void()> &showStored)
{
    if (!refusal) {
        say(std::nullopt);
        return false;
    }
    if (showStored) {
        showStored();
    }
    QString reason = refusal->trimmed();
    if (!reason.isEmpty() && !reason.endsWith(QLatin1Char('.'))) {
        reason += QLatin1Char('.');
    }
    say(m_outcome.isEmpty() ? reason : reason + QLatin1Char(' ') + m_outcome);
    return true;
}

void SettingNote::say(const std::optional<QString> &text)
{
    if (text) {
        // The text of a store or a system: never markup.
        setToneText(this, *text, Tone::red);
    }
    setVisible(text.has_value());
}

bool answerChange(const QWidget *control, const StoreAnswer &answer, const std::function<void()> &showStored)
{
    if (SettingNote *note = SettingNote::of(control)) {
        return note->answer(answer, showStored);
    }
    // A control without a note still goes back to the stored value.
    if (answer && showStored) {
        showStored();
    }
    return answer.has_value();
}

QWidget *withNoteBelow(QWidget *part, SettingNote *note)
{
    auto *area = new QWidget;
    auto *column = bareColumn(area, 4);
    column->addWidget(part);
    column->addWidget(note);
    return area;
}

} // namespace cordavelle
