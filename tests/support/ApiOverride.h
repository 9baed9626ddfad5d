#pragma once
// Swaps one entry of a function-pointer table for the lifetime of the object and restores it after.
//   CApiOverride guard(platform::Api().SetEvent, &FailingSetEvent);
template <typename Fn> class CApiOverride
{
public:
    CApiOverride(Fn& slot, Fn replacement) : m_slot(slot), m_saved(slot) { m_slot = replacement; }
    ~CApiOverride() { m_slot = m_saved; }
    CApiOverride(const CApiOverride&) = delete;
    CApiOverride& operator=(const CApiOverride&) = delete;

private:
    Fn& m_slot;
    Fn m_saved;
};
