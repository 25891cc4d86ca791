#pragma once

#include "platform/app_activation.h"

#include <vector>

namespace cordavelle::test {

// Keeps every policy it is asked to set, in order.
class RecordingAppActivation final : public AppActivation {
public:
    bool setActivationPolicy(Policy policy) override
    {
        requests.push_back(policy);
        return accept;
    }
    Policy activationPolicy() const override { return requests.empty() ? Policy::regular : requests.back(); }

    std::vector<Policy> requests;
    bool accept = true;
};

} // namespace cordavelle::test
