// Each way of asking the uid itself that the root check names, one a line; the test that runs the
// check here expects every one named.
bool planted(bool ready, const struct stat &st, uid_t owner)
{
    if (::geteuid() == 0) {
    }
    if (getuid() != 0) {
    }
    if (0 == ::geteuid()) {
    }
    if (ready && !::getuid()) {
    }
    while (::geteuid()) {
    }
    EXPECT_TRUE(ready);
    if (::geteuid() == 0) {
    }
    if (st.st_uid == ::geteuid())
        GTEST_SKIP() << "the file is the test's own";
    for (const Row &row : rows) {
        if (ready && (owner != getuid())) {
            continue;
        }
    }
    if (::getuid() == owner) {
        EXPECT_TRUE(ready);
    }
    const bool root = ::geteuid() < 1;
    return ready && ::geteuid() > 0;
}

// The uid kept in a variable first decides as much when compared later.
bool kept(bool ready, uid_t owner)
{
    const auto self = ::geteuid();
    for (const Row &row : rows) {
        if (row.owner != self)
            continue;
    }
    uid_t me{::getuid()};
    if (ready && owner == me) {
        GTEST_SKIP() << "the file is the test's own";
    }
    return true;
}
