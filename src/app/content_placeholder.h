#pragma once

#include <QString>
#include <QWidget>

namespace cordavelle {

// A "content unavailable" view: a large symbol and a title, centred.
class ContentPlaceholder final : public QWidget {
    Q_OBJECT
public:
    ContentPlaceholder(const QString &symbol, const QString &title, QWidget *parent = nullptr);
    QString title() const { return m_title; }

private:
    QString m_title;
};

} // namespace cordavelle
