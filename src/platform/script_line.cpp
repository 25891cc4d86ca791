#include "script_line.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

// How much of a file the system's exec reads to find the "#!" line.
constexpr qsizetype kLineBytes = 256;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::optional<ScriptLine> parse(const QByteArray &start)
{
    if (!start.startsWith("#!")) {
        return std::nullopt;
    }
    qsizetype end = start.indexOf('\n');
    const bool cut = end < 0;
    if (cut) {
        end = start.size();
    }
    while (end > 2 && (isBlank(start[end - 1]) || start[end - 1] == '\0')) {
        --end;
    }
    qsizetype name = 2;
    while (name < end && isBlank(start[name])) {
        ++name;
    }
    qsizetype nameEnd = name;
    while (nameEnd < end && !isBlank(start[nameEnd]) && start[nameEnd] != '\0') {
        ++nameEnd;
    }
    ScriptLine line;
    // A name the read cut short is no program the system runs: it refuses the file, as it does
    // one that names nothing.
    if (nameEnd == name || (cut && nameEnd == end && start.size() >= kLineBytes)) {
        return line;
    }
    line.interpreter = QFile::decodeName(start.mid(name, nameEnd - name));
    qsizetype argument = nameEnd;
    while (argument < end && isBlank(start[argument])) {
        ++argument;
    }
    if (argument < end) {
        line.argument = QFile::decodeName(start.mid(argument, end - argument));
    }
    return line;
}

bool isFlag(const QString &word, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (word == QLatin1String(name)) {
            return true;
        }
    }
    return false;
}

// The words env was given through -S, as they reach the program; nothing when they hold what its
// own quoting would change.
std::optional<QString> programOfSplitWords(const QString &words)
{
    for (const QChar c : words) {
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('\\') || c == QLatin1Char('$')) {
            return std::nullopt;
        }
    }
    const QStringList list = words.split(QRegularExpression(QStringLiteral("[ \t]+")), Qt::SkipEmptyParts);
    bool options = true;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString &word = list[i];
        if (options && word == QLatin1String("--")) {
            options = false;
        } else if (options && isFlag(word, {"-", "-i", "--ignore-environment", "-0", "--null", "-v", "--debug"})) {
        } else if (options && isFlag(word, {"-u", "-C", "--unset", "--chdir"})) {
            ++i;
        } else if (options && (word.startsWith(QLatin1String("--unset=")) || word.startsWith(QLatin1String("--chdir=")) ||
                               ((word.startsWith(QLatin1String("-u")) || word.startsWith(QLatin1String("-C"))) &&
                                !word.startsWith(QLatin1String("--"))))) {
        } else if (options && word.startsWith(QLatin1Char('-'))) {
            return std::nullopt;
        } else if (word.contains(QLatin1Char('='))) {
            options = false;
        } else {
            return word;
        }
    }
    return QString();
}

} // namespace

ScriptRead readScriptLine(const QString &path, const FileIdentity &identity)
{
    ScriptRead read;
    // Something put in the file's place that is no file (a pipe) must not hold the window: its
    // opening would wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        // Gone, or a link or something else that is no file in its place.
        if (errno == ENOENT || errno == ELOOP || errno == ENXIO) {
            read.changed = true;
        } else {
            read.unreadable = errno;
        }
        return read;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || FileIdentity{st.st_dev, st.st_ino} != identity) {
        read.changed = true;
        ::close(fd);
        return read;
    }
    QByteArray start(kLineBytes, '\0');
    qsizetype got = 0;
    while (got < kLineBytes) {
        const ssize_t n = ::read(fd, start.data() + got, static_cast<size_t>(kLineBytes - got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            read.unreadable = errno;
            ::close(fd);
            return read;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    ::close(fd);
    start.truncate(got);
    read.line = parse(start);
    return read;
}

std::optional<QString> envProgram(const std::optional<QString> &argument)
{
    if (!argument) {
        return QString();
    }
    const QString &word = *argument;
    for (const char *split : {"--split-string=", "--split-string", "-S"}) {
        if (word.startsWith(QLatin1String(split))) {
            return programOfSplitWords(word.mid(qsizetype(std::strlen(split))));
        }
    }
    // Without -S the rest of the line reaches env as one word.
    if (word.startsWith(QLatin1Char('-'))) {
        return std::nullopt;
    }
    if (word.contains(QLatin1Char('='))) {
        return QString();
    }
    return word;
}

std::optional<QString> onSearchPath(const QString &name, const QString &folder, const QString &workingFolder)
{
    if (folder.startsWith(QLatin1Char('/'))) {
        return folder + QLatin1Char('/') + name;
    }
    if (workingFolder.isEmpty()) {
        return std::nullopt;
    }
    return workingFolder + QLatin1Char('/') + (folder.isEmpty() ? name : folder + QLatin1Char('/') + name);
}

bool takenOnSearchPath(const QString &candidate)
{
    const QByteArray encoded = QFile::encodeName(candidate);
    struct stat st {};
    return ::stat(encoded.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, encoded.constData(), X_OK, AT_EACCESS) == 0;
}

} // namespace cordavelle
