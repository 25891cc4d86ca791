#include "python_plist.h"

#include <QProcess>

namespace cordavelle::test {

std::optional<Json> readWithPlistlib(const QString &path)
{
    static const char script[] =
        "import json, plistlib, sys\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    values = plistlib.load(f)\n"
        "plain = lambda o: o.decode('utf-8', 'replace') if isinstance(o, bytes) else str(o)\n"
        "print(json.dumps(values, default=plain))\n";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(script), path});
    if (!python.waitForFinished(30000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        return std::nullopt;
    }
    const QByteArray out = python.readAllStandardOutput();
    Json parsed = Json::parse(out.cbegin(), out.cend(), nullptr, false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return parsed;
}

} // namespace cordavelle::test
