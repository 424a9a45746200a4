#pragma once
// A listener table as the driver's listener search fills it: slot 0 holds the count, slots 1 to
// 14 the addresses. The count is clamped on every use, since a table is only as sound as the
// driver that filled it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumix::gpib {

class ListenerTable {
public:
    static constexpr int MaxListeners = 14;

    int16_t& operator[](std::size_t slot) { return slots_[slot]; }
    int16_t operator[](std::size_t slot) const { return slots_[slot]; }
    int16_t* data() { return slots_.data(); }
    void fill(int16_t value) { slots_.fill(value); }

    // Number of listeners, 0 to 14, whatever slot 0 holds.
    int count() const { return std::clamp<int>(slots_[0], 0, MaxListeners); }
    // Address in slot 1..count().
    int16_t address(int slot) const { return slots_[static_cast<std::size_t>(slot)]; }

private:
    std::array<int16_t, MaxListeners + 1> slots_{};
};

} // namespace vellumix::gpib
