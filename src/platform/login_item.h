#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// Whether the helper starts when the user logs in.
class LoginItem {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    virtual ~LoginItem() = default;

    virtual Status status() const = 0;
    // Each gives no value on success, else the error's text.
    virtual std::optional<QString> registerItem() = 0;
    virtual std::optional<QString> unregisterItem() = 0;
};

// An XDG autostart entry: "<autostart folder>/<identifier>.desktop" whose Exec line starts the
// running executable and whose icon is the identifier's. It counts as enabled while the file
// exists and is not marked Hidden.
class XdgAutostartLoginItem final : public LoginItem {
public:
    XdgAutostartLoginItem(QString autostartFolder, QString identifier, QString executable);

    Status status() const override;
    std::optional<QString> registerItem() override;
    std::optional<QString> unregisterItem() override;

    QString filePath() const;
    // The entry's text as registerItem writes it.
    QString desktopEntry() const;

    // The folder the desktop session reads: $XDG_CONFIG_HOME/autostart.
    static QString defaultAutostartFolder(const QString &configHome);
    // This process's executable, from the application when there is one, else from /proc.
    static QString runningExecutable();
    // Quotes one Exec argument as desktop entries require (and escapes it as a string value).
    static QString quoteExecArgument(const QString &argument);

private:
    QString m_folder;
    QString m_identifier;
    QString m_executable;
};

} // namespace cordavelle
