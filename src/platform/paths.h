#pragma once

#include <QString>

namespace cordavelle {

// The well-known folders of the user's session.
class Paths {
public:
    virtual ~Paths() = default;
    // Stands for macOS's Application Support: the helper's support folder lies inside it.
    virtual QString applicationSupport() const = 0;
    // Where the property list of each user-defaults domain lives.
    virtual QString preferences() const = 0;
    virtual QString home() const = 0;
    virtual QString temporary() const = 0;

    // The helper's own folder inside temporary(), for scratch files (scripts, downloads, unpacked
    // archives): made when missing, mode 0700, owned by this user and no symbolic link, checked
    // again at every call. Throws FileError when it can't be made so.
    QString privateTemporary() const;
};

// XDG locations, read from the environment at each call so that a changed environment is seen.
class XdgPaths final : public Paths {
public:
    QString applicationSupport() const override;
    QString preferences() const override;
    QString home() const override;
    QString temporary() const override;
};

// Every folder under one root; used by tests and by anything that must not touch the real home.
class RootedPaths final : public Paths {
public:
    explicit RootedPaths(QString root);
    QString applicationSupport() const override;
    QString preferences() const override;
    QString home() const override;
    QString temporary() const override;

private:
    QString m_root;
};

} // namespace cordavelle
