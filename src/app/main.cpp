#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Cordavelle Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HELPER_VERSION));
    std::printf("Cordavelle Helper %s\n", HELPER_VERSION);
    return 0;
}
