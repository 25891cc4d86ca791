#include "app/sidebar.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>

namespace cordavelle {

namespace {
constexpr int kSectionRole = Qt::UserRole + 1;
}

// One row: icon, title, then at the right the dot or "Disabled", a count badge and the
// trailing text.
class SidebarRowWidget final : public QWidget {
public:
    explicit SidebarRowWidget(QWidget *parent = nullptr) : QWidget(parent)
    {
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(6, 3, 8, 3);
        m_icon = new QLabel;
        m_title = new QLabel;
        m_badge = new QLabel(this);
        m_dot = new StateDot;
        m_disabled = new QLabel(QStringLiteral("Disabled"));
        m_trailing = new QLabel;
        m_badge->setFont(textStyle::caption2(font()));
        m_disabled->setFont(textStyle::caption2(font()));
        m_trailing->setFont(textStyle::caption2(font()));
        m_badge->setAlignment(Qt::AlignCenter);
        setColour(m_disabled, toneColour(Tone::tertiary, palette()));
        setColour(m_trailing, toneColour(Tone::secondary, palette()));
        row->addWidget(m_icon);
        row->addWidget(m_title);
        // The update badge sits right after "Setup"; the pairing badge is at the far right.
        m_leadingBadge = new QHBoxLayout;
        m_leadingBadge->setContentsMargins(0, 0, 0, 0);
        row->addLayout(m_leadingBadge);
        row->addStretch();
        m_trailingBadge = new QHBoxLayout;
        m_trailingBadge->setContentsMargins(0, 0, 0, 0);
        row->addLayout(m_trailingBadge);
        row->addWidget(m_disabled);
        row->addWidget(m_dot, 0, Qt::AlignVCenter);
        row->addWidget(m_trailing);
    }

    void display(const SidebarRow &model)
    {
        m_symbol = model.icon;
        paintIcon();
        m_title->setText(model.title);
        m_dot->setVisible(model.dot.has_value());
        if (model.dot) {
            m_dot->setTone(*model.dot);
            m_dot->setAccessibleName(model.dotMeaning);
        }
        m_disabled->setVisible(model.disabled);
        m_badge->setVisible(!model.badge.isEmpty());
        m_badge->setText(model.badge);
        m_badge->setToolTip(model.badgeTooltip);
        const QColor fill = toneColour(model.badgeTone, palette());
        const int height = m_badge->fontMetrics().height() + 2;
        m_badge->setStyleSheet(QStringLiteral("QLabel { background: rgba(%1, %2, %3, 20%); border-radius: %4px; "
                                              "padding: 1px 6px; }")
                                   .arg(fill.red())
                                   .arg(fill.green())
                                   .arg(fill.blue())
                                   .arg(height / 2));
        if (!m_badgePlaced) {
            (model.section == SidebarSection::setup ? m_leadingBadge : m_trailingBadge)->addWidget(m_badge);
            m_badgePlaced = true;
        }
        m_trailing->setVisible(!model.trailing.isEmpty());
        m_trailing->setText(model.trailing);
    }

    void setSelected(bool selected)
    {
        if (selected != m_selected) {
            m_selected = selected;
            paintIcon();
            setColour(m_title, palette().color(selected ? QPalette::HighlightedText : QPalette::WindowText));
        }
    }

private:
    // In the accent colour, or the selection's text colour on a selected row.
    void paintIcon()
    {
        const QColor colour = palette().color(m_selected ? QPalette::HighlightedText : QPalette::Highlight);
        m_icon->setPixmap(tintedPixmap(symbolIcon(m_symbol), 16, colour, devicePixelRatioF()));
    }

    // Item views hand their own palette down to the widgets in their rows, so a colour set
    // through the label's palette is lost; a style sheet stays.
    static void setColour(QLabel *label, const QColor &colour)
    {
        label->setStyleSheet(QStringLiteral("QLabel { color: %1; }").arg(colour.name(QColor::HexArgb)));
    }

    QLabel *m_icon;
    QLabel *m_title;
    QLabel *m_badge;
    StateDot *m_dot;
    QLabel *m_disabled;
    QLabel *m_trailing;
    QHBoxLayout *m_leadingBadge;
    QHBoxLayout *m_trailingBadge;
    QString m_symbol;
    bool m_selected = false;
    bool m_badgePlaced = false;
};

namespace {

// The row as a screen reader says it: its title, then what the marks beside it show.
QString accessibleRowText(const SidebarRow &row)
{
    QStringList parts{row.title};
    if (row.disabled) {
        parts << QStringLiteral("Disabled");
    } else if (row.dot) {
        parts << row.dotMeaning;
    }
    if (!row.trailing.isEmpty()) {
        parts << row.trailing;
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

Sidebar::Sidebar(QWidget *parent) : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setRootIsDecorated(false);
    setIndentation(0);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setMinimumWidth(180);
    setFrameShape(QFrame::NoFrame);
    setAccessibleName(QStringLiteral("Sidebar"));
    header()->setStretchLastSection(true);

    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] {
        for (const auto &[section, widget] : m_rows) {
            widget->setSelected(m_items[section]->isSelected());
        }
        // A row that assistive technology selected is where the arrow keys go on from.
        if (const auto items = selectedItems(); items.size() == 1 && currentItem() != items.first()) {
            selectionModel()->setCurrentIndex(indexFromItem(items.first()), QItemSelectionModel::NoUpdate);
        }
        if (!m_selecting) {
            Q_EMIT sectionSelected(selectedSection());
        }
    });
}

void Sidebar::display(const std::vector<SidebarGroup> &groups)
{
    if (m_items.empty()) {
        // Headings and rows are all top-level items: Qt's accessible tree selects a row by its
        // place among its siblings as if it were its place in the whole list, so a screen reader
        // selecting a row nested under a heading would select another row, or a heading.
        for (const SidebarGroup &group : groups) {
            auto *heading = new QTreeWidgetItem(this);
            heading->setData(0, Qt::AccessibleTextRole, group.title);
            heading->setFlags(Qt::ItemIsEnabled);
            auto *title = new QLabel(group.title);
            QFont font = textStyle::caption(this->font());
            font.setWeight(QFont::Bold);
            title->setFont(font);
            title->setContentsMargins(6, 10, 6, 2);
            title->setStyleSheet(QStringLiteral("QLabel { color: %1; }")
                                     .arg(toneColour(Tone::secondary, palette()).name(QColor::HexArgb)));
            setItemWidget(heading, 0, title);
            m_headings.push_back(heading);
            for (const SidebarRow &row : group.rows) {
                auto *item = new QTreeWidgetItem(this);
                item->setData(0, kSectionRole, static_cast<int>(row.section));
                item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
                auto *widget = new SidebarRowWidget;
                setItemWidget(item, 0, widget);
                m_items[row.section] = item;
                m_rows[row.section] = widget;
            }
        }
    }
    for (const SidebarGroup &group : groups) {
        for (const SidebarRow &row : group.rows) {
            // A row restyles and repaints when shown again: only a changed one is.
            if (const auto shown = m_shown.find(row.section); shown != m_shown.end() && shown->second == row) {
                continue;
            }
            m_shown[row.section] = row;
            if (auto found = m_rows.find(row.section); found != m_rows.end()) {
                found->second->display(row);
                // The row draws its title in a widget of its own; assistive technology reads the item.
                m_items[row.section]->setData(0, Qt::AccessibleTextRole, accessibleRowText(row));
            }
        }
    }
}

QModelIndex Sidebar::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers)
{
    // The arrow keys step over the headings, which can't be selected: landing on one would
    // leave no section chosen. Home lands on the first heading and goes on down from it.
    const int step = action == MoveUp || action == MovePrevious || action == MovePageUp ? -1 : 1;
    QModelIndex index = QTreeWidget::moveCursor(action, modifiers);
    while (index.isValid() && !model()->flags(index).testFlag(Qt::ItemIsSelectable)) {
        index = index.siblingAtRow(index.row() + step);
    }
    return index.isValid() ? index : currentIndex();
}

void Sidebar::select(std::optional<SidebarSection> section)
{
    m_selecting = true;
    clearSelection();
    if (!section) {
        setCurrentItem(nullptr);
    } else if (auto found = m_items.find(*section); found != m_items.end()) {
        found->second->setSelected(true);
        setCurrentItem(found->second);
    }
    m_selecting = false;
}

std::optional<SidebarSection> Sidebar::selectedSection() const
{
    const auto items = selectedItems();
    if (items.isEmpty()) {
        return std::nullopt;
    }
    return static_cast<SidebarSection>(items.first()->data(0, kSectionRole).toInt());
}

const SidebarRow *Sidebar::row(SidebarSection section) const
{
    const auto found = m_shown.find(section);
    return found == m_shown.end() ? nullptr : &found->second;
}

QStringList Sidebar::groupTitles() const
{
    QStringList titles;
    for (const QTreeWidgetItem *heading : m_headings) {
        titles << heading->data(0, Qt::AccessibleTextRole).toString();
    }
    return titles;
}

} // namespace cordavelle
