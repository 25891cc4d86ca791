#pragma once

#include <QByteArray>
#include <QString>

namespace cordavelle::test {

// A stand-in for wine, in perl: appends `logged` (a perl expression, such as "$ARGV[0]\n" in
// double quotes) to `launchLog` at each launch, then runs the perl lines `then`.
inline QByteArray perlWineScript(const QString &launchLog, const QString &logged, const QString &then)
{
    return QStringLiteral(R"(#!/usr/bin/perl
use IO::Socket::INET;
$SIG{PIPE} = 'IGNORE';
$/ = "\r";
open(my $log, '>>', '%1') or die;
print $log %2;
close $log;
%3)")
        .arg(launchLog, logged, then)
        .toUtf8();
}

// Perl lines, for perlWineScript(), that play a VARA modem on its command port: every command is
// answered with the modem's version, for as long as the stand-in lives.
inline QString perlVaraModem()
{
    return QStringLiteral(R"(
my $server = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 8300, Listen => 5, ReuseAddr => 1)
    or die "listen: $!";
while (my $client = $server->accept()) {
    my $line = <$client>;
    print $client "VERSION VARA 4.8.7\r";
    close $client;
}
)");
}

} // namespace cordavelle::test
