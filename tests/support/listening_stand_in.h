#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>

namespace cordavelle::test {

// A stand-in for rigctld or Direwolf, in perl, for starts that wait for the child's own listener:
// it listens on `address` where the real program would (rigctld's "-t" port, the KISSPORT and
// AGWPORT of the Direwolf configuration that "-c" names), then makes the file `ready`, and stays,
// as Direwolf does, even when a port could not be had. With `ignoresTerm` only SIGKILL ends it.
inline QByteArray listeningStandIn(const QString &ready, bool ignoresTerm = false,
                                   const QString &address = QStringLiteral("127.0.0.1"))
{
    return QStringLiteral(R"(#!/usr/bin/perl
use IO::Socket::INET;
$SIG{TERM} = 'IGNORE' if %2;
my @ports;
for (my $i = 0; $i < @ARGV; ++$i) {
    push @ports, $ARGV[$i + 1] if $ARGV[$i] eq '-t';
    if ($ARGV[$i] eq '-c') {
        open(my $conf, '<', $ARGV[$i + 1]) or die "conf: $!";
        while (<$conf>) { push @ports, $1 if /^(?:KISSPORT|AGWPORT)\s+(\d+)/; }
    }
}
# A port in use a moment (a connection of a busy machine's that took it as its own end) is tried
# again for a while.
my @listeners = map {
    my ($port, $socket) = ($_, undef);
    for my $try (1 .. 20) {
        last if $socket = IO::Socket::INET->new(LocalAddr => '%3', LocalPort => $port, Listen => 5, ReuseAddr => 1);
        select(undef, undef, undef, 0.05);
    }
    warn "listen $port: $!\n" unless $socket;
    $socket
} grep { $_ > 0 } @ports;
open(my $ready, '>', '%1') or die "ready: $!";
close $ready;
sleep 600;
)")
        .arg(ready, ignoresTerm ? QStringLiteral("1") : QStringLiteral("0"), address)
        .toUtf8();
}

// Whether the stand-in that makes `ready` has taken what ports it could.
inline std::function<bool()> standInReady(const QString &ready)
{
    return [ready] { return QFile::exists(ready); };
}

} // namespace cordavelle::test
