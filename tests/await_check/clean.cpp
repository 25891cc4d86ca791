// The same work in the forms the await check lets through: it names nothing here.
namespace cordavelle {
QCoro::Task<void> clean(Clock &clock, Runner &runner, std::stop_token stop)
{
    const bool slept = co_await clock.sleep(1s, stop);
    if (!slept || ready) {
    }
    for (;;) {
        const bool more = co_await clock.sleep(1s, stop);
        if (!more) {
            break;
        }
    }
    auto &&code = co_await runner.code();
    const QStringList arguments{QStringLiteral("-c"), QStringLiteral("true")};
    co_await runner.run(arguments, {}, stop);
    OutputHandler collect = [&output](const QByteArray &chunk) { output += chunk; };
    co_await runner.stream(std::move(collect), [](int code) { return code > 0; }, stop);
    int i = 0;
    for (; i < 3; ++i) {
        co_await clock.sleep(1s, stop);
    }
    for (const QString &name : names) {
        co_await runner.stop(name);
    }
    for (int j = 0; j < 3; ++j) {
        runner.queue([&clock]() -> QCoro::Task<void> { co_await clock.sleep(1s); });
    }
    if (std::any_of(names.begin(), names.end(), [](const QString &name) { return name.isEmpty(); })) {
        co_await clock.sleep(1s, stop);
    }
    struct Pair {
        int first;
    };
    co_return co_await runner.code() + 1;
}
} // namespace cordavelle
