#pragma once

namespace cordavelle {

// Draws the user's eye to the helper (a pairing request waits for a decision).
class Attention {
public:
    virtual ~Attention() = default;
    virtual void requestUserAttention(bool critical) = 0;
};

// Used while the helper has no window: there is nothing to raise or flash.
class NoWindowAttention final : public Attention {
public:
    void requestUserAttention(bool) override {}
};

} // namespace cordavelle
