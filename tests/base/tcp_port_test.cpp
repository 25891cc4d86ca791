#include "base/tcp_port.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(TcpPort, AcceptsOnlyPortsWrittenInPlainDigits)
{
    const std::pair<const char *, std::optional<int>> cases[] = {
        {"8380", 8380},          {" 4532 ", 4532},        {"1", 1},
        {"65535", 65535},        {" 65535 ", 65535},      {"9000", 9000},
        {"0", std::nullopt},     {"65536", std::nullopt}, {"8.380", std::nullopt},
        {"8,380", std::nullopt}, {"80.5", std::nullopt},  {"-1", std::nullopt},
        {"+80", std::nullopt},   {"", std::nullopt},      {"abc", std::nullopt},
        {"999999", std::nullopt}, {"99999999999", std::nullopt}, {"٨٣٨٠", std::nullopt},
    };
    for (const auto &[text, port] : cases) {
        EXPECT_EQ(parsePort(QString::fromUtf8(text)), port) << text;
    }
}

} // namespace
} // namespace cordavelle
