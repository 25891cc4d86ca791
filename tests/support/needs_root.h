#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

namespace cordavelle::test {

// The environment variable that names the file of tests that asked for root.
inline constexpr char kNeedsRootListVariable[] = "CORDAVELLE_TESTS_NEEDING_ROOT";

// Whether the test runs as root. Where it does not, the running test is noted as one that needs
// root: its name is added to the file that CORDAVELLE_TESTS_NEEDING_ROOT names, and scripts/test
// runs every test noted there again as root, failing the run when one of them does not pass there.
// A test, or a row of a table, that only root can run asks here (or through OtherUserClient,
// SmallDisk or ownLinkLocalAddress, which do) rather than looking at its uid, so that it is never
// left out of the run as root.
bool runsAsRoot();

} // namespace cordavelle::test

// Ends the running test as skipped unless it runs as root, saying what needs root. A table whose
// rows for root were passed over as the user ends with it once the other rows have run.
#define SKIP_UNLESS_ROOT(what)                                                                                          \
    if (::cordavelle::test::runsAsRoot()) {                                                                             \
    } else                                                                                                             \
        GTEST_SKIP() << "needs root: " << what

// Ends the running test as skipped when it runs as root, which reads and writes every file,
// saying why only a user can run it: scripts/test runs the unit and ui tests as a user.
#define SKIP_AS_ROOT(why)                                                                                               \
    if (::geteuid() != 0) {                                                                                            \
    } else                                                                                                             \
        GTEST_SKIP() << why
