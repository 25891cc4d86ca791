// What the root check lets through: the uid in an expectation or as a value, a skip for root
// alone, and words in comments and strings.
void clean(Accounts &accounts, const SystemInfo &real)
{
    EXPECT_EQ(real.lowestBindablePort(), ::geteuid() == 0 ? 1 : real.unprivilegedPortStart());
    ASSERT_TRUE(::getuid() != 0 || ready);
    accounts.users[::geteuid()] = {QStringLiteral("alice"), ::getegid()};
    const QString uid = QString::number(::getuid());
    SKIP_AS_ROOT("root reads every file");
    // if (::geteuid() == 0) passes over rows
    const char *text = "if (getuid() != 0) return;";
}
