#pragma once

#include <QString>

namespace cordavelle::test {

// A small file system of its own (tmpfs) mounted on a folder, which a test can fill up to the last
// byte or make read-only, so that writes there fail as on a full disk or a read-only folder. The mount is made in a mount namespace private to
// the calling thread, so nothing outside the test sees it; it needs root, and a test that makes
// one as a user is noted as needing root (see runsAsRoot()). `available()` is false, with the
// reason in `whyNot()`, where the file system could not be mounted.
class SmallDisk {
public:
    // Mounts the file system on `folder` (made if missing); files written into `folder` before
    // filling survive, since they are written after the mount.
    explicit SmallDisk(const QString &folder);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool available() const { return m_mounted; }
    const QString &whyNot() const { return m_whyNot; }
    // Takes every free byte; false when the file system did not fill.
    bool fill();
    // Gives the space back.
    void free();
    // Refuses every change from now on; false when the file system could not be remounted.
    bool makeReadOnly();

private:
    QString m_folder;
    QString m_filler;
    QString m_whyNot;
    bool m_mounted = false;
};

// A folder bound onto another (mount --bind) while it lives, in the same private mount namespace
// as SmallDisk's: the same disk, and still another file system at that place. Needs root.
class BindMount {
public:
    BindMount(const QString &from, const QString &onto);
    ~BindMount();
    BindMount(const BindMount &) = delete;
    BindMount &operator=(const BindMount &) = delete;

    bool available() const { return m_mounted; }
    const QString &whyNot() const { return m_whyNot; }

private:
    QString m_onto;
    QString m_whyNot;
    bool m_mounted = false;
};

// An overlay file system at "<folder>/merged" while it lives, as a live session's root is: the
// files of "<folder>/lower", put there before mount(), under changes kept on a second small disk.
// A file shows the device of the layer it lies in, its folder the overlay's. Needs root.
class OverlayMount {
public:
    explicit OverlayMount(const QString &folder);
    ~OverlayMount();
    OverlayMount(const OverlayMount &) = delete;
    OverlayMount &operator=(const OverlayMount &) = delete;

    QString lower() const { return m_folder + QStringLiteral("/lower"); }
    QString merged() const { return m_folder + QStringLiteral("/merged"); }
    // Mounts the overlay; false, with whyNot() saying why, when it could not be.
    bool mount();
    const QString &whyNot() const { return m_whyNot; }

private:
    QString m_folder;
    SmallDisk m_lower;
    SmallDisk m_upper;
    QString m_whyNot;
    bool m_mounted = false;
};

} // namespace cordavelle::test
