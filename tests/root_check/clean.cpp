// What the root check lets through: the uid in an expectation or as a value, compared with an owner
// where nothing is skipped on it, a skip for root alone, and words in comments and strings.
void clean(Accounts &accounts, const SystemInfo &real, const struct stat &st, QStringList &found)
{
    EXPECT_EQ(real.lowestBindablePort(), ::geteuid() == 0 ? 1 : real.unprivilegedPortStart());
    ASSERT_TRUE(::getuid() != 0 || ready);
    EXPECT_EQ(st.st_uid == ::geteuid(), row.own);
    accounts.users[::geteuid()] = {QStringLiteral("alice"), ::getegid()};
    const QString uid = QString::number(::getuid());
    std::cout << ::getuid() << static_cast<long>(::geteuid()) << '\n';
    if (st.st_uid != ::geteuid()) {
        found << path;
    }
    if (owner != ::geteuid() && !test::runsAsRoot()) {
        continue;
    }
    SKIP_AS_ROOT("root reads every file");
    // if (::geteuid() == 0) passes over rows
    const char *text = "if (getuid() != 0) return;";
    const uid_t self = ::geteuid();
    EXPECT_EQ(st.st_uid, self);
    if (owner != self && !test::runsAsRoot()) {
        continue;
    }
    const QString error = owner == self ? ownText : theirText;
}
