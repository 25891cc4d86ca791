#include "own_file_modes.h"

#include "platform/program_file.h"
#include "platform/tool_locator.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
// Folders nftw keeps open at once.
constexpr int kOpenFolders = 16;

// nftw passes no context; the walk runs on one thread at a time.
thread_local ModeTightening *t_result = nullptr;

int visit(const char *path, const struct stat *st, int type, struct FTW *)
{
    const bool fileOrFolder = type == FTW_F || type == FTW_D || type == FTW_DNR;
    if (!fileOrFolder || st->st_uid != ::geteuid() || (st->st_mode & kOthersWrite) == 0 ||
        !(S_ISREG(st->st_mode) || S_ISDIR(st->st_mode))) {
        return 0;
    }
    if (::chmod(path, st->st_mode & 07777 & ~kOthersWrite) == 0) {
        ++t_result->tightened;
    } else {
        if (!t_result->firstFailure) {
            t_result->firstFailure = QStringLiteral("%1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        }
        ++t_result->failed;
    }
    return 0;
}

} // namespace

ModeTightening tightenOwnModes(const QString &folder)
{
    ModeTightening result;
    t_result = &result;
    ::nftw(QFile::encodeName(folder).constData(), visit, kOpenFolders, FTW_PHYS);
    t_result = nullptr;
    return result;
}

bool isRunnableOwnCopy(const QString &path)
{
    if (!ToolLocator::isExecutableFile(path)) {
        return false;
    }
    const ProgramFile file = inspectProgramFile(path);
    return !file.changeable && !file.unusable;
}

} // namespace cordavelle
