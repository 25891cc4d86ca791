// Each way of asking the uid itself that the root check names, one a line; the test that runs the
// check here expects every one named.
bool planted(bool ready)
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
    const bool root = ::geteuid() < 1;
    return ready && ::geteuid() > 0;
}
