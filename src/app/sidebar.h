#pragma once

#include "app/sidebar_model.h"

#include <QTreeWidget>

#include <map>
#include <optional>
#include <vector>

namespace cordavelle {

class SidebarRowWidget;

// The management window's list of sections in three titled groups, each row with its live
// mark. Shows what it is given; reports only the user's selection.
class Sidebar final : public QTreeWidget {
    Q_OBJECT
public:
    explicit Sidebar(QWidget *parent = nullptr);

    void display(const std::vector<SidebarGroup> &groups);
    void select(std::optional<SidebarSection> section);
    std::optional<SidebarSection> selectedSection() const;

    // The row as shown now, for the tests and the screenshots.
    const SidebarRow *row(SidebarSection section) const;
    QStringList groupTitles() const;

    QSize sizeHint() const override { return {200, QTreeWidget::sizeHint().height()}; }

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

Q_SIGNALS:
    void sectionSelected(std::optional<cordavelle::SidebarSection> section);

private:
    std::vector<QTreeWidgetItem *> m_headings;
    std::map<SidebarSection, QTreeWidgetItem *> m_items;
    std::map<SidebarSection, SidebarRowWidget *> m_rows;
    std::map<SidebarSection, SidebarRow> m_shown;
    bool m_selecting = false;
};

} // namespace cordavelle
