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
    // The user's cache folder.
    virtual QString cache() const = 0;
    // The session's runtime folder, empty when the session names none.
    virtual QString runtime() const = 0;

    // The helper's own folder for scratch files (scripts, downloads, unpacked archives): the first
    // of its places that is, or can be made, a folder of this user's own (mode 0700, no symbolic
    // link, with no folder on its way from "/" that another user may rearrange), checked again at
    // every call, so that one install or look-up asks once and keeps the answer for its whole run. The
    // answer is where the folder really is (realFolderPath), the place that was checked. Its name is
    // fixed, so that what an earlier run left there is found again, and it never lies in a folder
    // other users can write, where anyone could take that name first. Throws FileError naming
    // every place tried when none can be had.
    QString privateTemporary() const;
    // The session's runtime folder when it is this user's alone (a folder of hers that nobody
    // else may enter or write, on a way from "/" that no other user may change), by the path it
    // really has (realFolderPath); else empty.
    QString privateRuntime() const;
    // Every place where this run or an earlier one may have kept scratch files and that is a
    // folder of this user's own now, on a way no other user may rearrange (the shared temporary folder's, where earlier versions kept
    // them, among them), each by the path it really has; made nowhere, for sweeps and resets.
    QStringList ownScratchFolders() const;
};

// XDG locations, read from the environment at each call so that a changed environment is seen.
class XdgPaths final : public Paths {
public:
    QString applicationSupport() const override;
    QString preferences() const override;
    QString home() const override;
    QString temporary() const override;
    QString cache() const override;
    // XDG_RUNTIME_DIR.
    QString runtime() const override;
};

// Every folder under one root; used by tests and by anything that must not touch the real home.
class RootedPaths final : public Paths {
public:
    explicit RootedPaths(QString root);
    QString applicationSupport() const override;
    QString preferences() const override;
    QString home() const override;
    QString temporary() const override;
    QString cache() const override;
    // "runtime" under the root when it is there.
    QString runtime() const override;

private:
    QString m_root;
};

} // namespace cordavelle
