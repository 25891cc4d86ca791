// Each form the await check refuses, one a line, named by the test that runs the check here.
QCoro::Task<void> planted(Clock &clock, Runner &runner, std::stop_token stop)
{
    if (!co_await clock.sleep(1s, stop)) {
    }
    while (co_await clock.sleep(1s, stop)) {
    }
    for (auto slept = co_await clock.sleep(1s, stop); slept;) {
    }
    switch (co_await runner.code()) {
    }
    const bool both = ready && co_await clock.sleep(1s, stop);
    const bool either = co_await clock.sleep(1s, stop) || ready;
    const int chosen = ready ? co_await runner.code() : 0;
    co_await runner.run(QStringList{QStringLiteral("-c"), QStringLiteral("true")}, stop);
    co_await runner.stream([&output](const QByteArray &chunk) { output += chunk; }, stop);
    for (int i = 0; i < 3; ++i) {
        co_await clock.sleep(1s, stop);
    }
    for (const int id : {1, 2}) {
        co_await runner.stop(id);
    }
    do {
    } while (ready || (co_await runner.code()) > 0);
}
