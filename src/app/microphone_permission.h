#pragma once

#include <functional>

namespace cordavelle {

// Whether the microphone may be used; Linux grants it to every desktop program.
class MicrophonePermission {
public:
    enum class Status { notDetermined, restricted, denied, authorized };
    virtual ~MicrophonePermission() = default;
    virtual Status status() const = 0;
    // Asks the user; `answer` receives whether access was granted, on the main thread.
    virtual void requestAccess(std::function<void(bool granted)> answer) = 0;
};

class GrantedMicrophonePermission final : public MicrophonePermission {
public:
    Status status() const override { return Status::authorized; }
    void requestAccess(std::function<void(bool)> answer) override { answer(true); }
};

} // namespace cordavelle
