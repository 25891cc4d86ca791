#include "base/shell_words.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(ShellWords, QuotesOnlyWhatAShellWouldSplitOrExpand)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/usr/bin/direwolf", "/usr/bin/direwolf"},
        {"-t", "-t"},
        {"0", "0"},
        {"", "''"},
        {"/home/ann/My Tools/direwolf.conf", "'/home/ann/My Tools/direwolf.conf'"},
        {"it's", "'it'\\''s'"},
        {"$HOME", "'$HOME'"},
        {"a*b", "'a*b'"},
        {"~/x", "'~/x'"},
        {"caf\u00e9", "'caf\u00e9'"},
    };
    for (const auto &[word, quoted] : cases) {
        EXPECT_EQ(shellWord(QString::fromUtf8(word)), QString::fromUtf8(quoted)) << word;
    }
    EXPECT_EQ(shellLine({"/opt/My Radio/direwolf", "-c", "/home/ann/dw.conf", "-t", "0"}),
              "'/opt/My Radio/direwolf' -c /home/ann/dw.conf -t 0");
}

} // namespace
} // namespace cordavelle
