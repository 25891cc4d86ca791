#pragma once

#include <QByteArray>

#include <optional>
#include <utility>
#include <vector>

namespace cordavelle::test {

// Changes variables of this process's environment for one scope and puts back what was there,
// also when an assertion ends the test early, so one test's variables never reach the next.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

    void set(const char *name, const QByteArray &value);
    void unset(const char *name);

private:
    void remember(const char *name);

    // The value each variable had before its first change here, in the order changed.
    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};

} // namespace cordavelle::test
