#include "widgets/lifecycle_picker.h"

#include "widgets/form_parts.h"
#include "widgets/input_rules.h"
#include "widgets/status_look.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace cordavelle {

QString lifecycleCaption(ServiceLifecycleMode mode)
{
    switch (mode) {
    case ServiceLifecycleMode::onDemand:
        return QStringLiteral("Started when a Cordavelle client requests a connection. Stopped after the idle "
                              "shutdown delay (see Settings).");
    case ServiceLifecycleMode::alwaysOn:
        return QStringLiteral("Launched at app start and kept running. Auto-restarts on crash.");
    case ServiceLifecycleMode::disabled: return QStringLiteral("Service will not be started.");
    }
    return {};
}

LifecyclePicker::LifecyclePicker(ServiceLifecycleMode mode, QWidget *parent)
    : QWidget(parent), m_mode(mode), m_segments(new QButtonGroup(this))
{
    auto *column = bareColumn(this);
    auto *row = new QHBoxLayout;
    row->setSpacing(0);
    // The title stays for assistive technology only.
    setAccessibleName(QStringLiteral("Mode"));
    const auto &modes = allCases<ServiceLifecycleMode>();
    for (std::size_t i = 0; i < modes.size(); ++i) {
        auto *segment = new QPushButton(displayName(modes[i]));
        segment->setCheckable(true);
        segment->setAccessibleName(QStringLiteral("Mode: ") + displayName(modes[i]));
        m_segments->addButton(segment, static_cast<int>(i));
        row->addWidget(segment);
    }
    row->addStretch();
    column->addLayout(row);
    m_caption = new QLabel;
    m_caption->setWordWrap(true);
    m_caption->setFont(textStyle::caption(font()));
    QPalette palette = m_caption->palette();
    palette.setColor(QPalette::WindowText, toneColour(Tone::secondary, palette));
    m_caption->setPalette(palette);
    column->addWidget(m_caption);

    onChosen(m_segments, this, [this](int index) {
        const ServiceLifecycleMode chosen = allCases<ServiceLifecycleMode>()[static_cast<std::size_t>(index)];
        display(chosen);
        Q_EMIT modeActivated(chosen);
    });
    display(mode);
}

void LifecyclePicker::setMode(ServiceLifecycleMode mode)
{
    display(mode);
}

QString LifecyclePicker::caption() const
{
    return m_caption->text();
}

void LifecyclePicker::display(ServiceLifecycleMode mode)
{
    m_mode = mode;
    const auto &modes = allCases<ServiceLifecycleMode>();
    for (std::size_t i = 0; i < modes.size(); ++i) {
        if (modes[i] == mode) {
            showChosen(m_segments, static_cast<int>(i));
        }
    }
    m_caption->setText(lifecycleCaption(mode));
}

} // namespace cordavelle
