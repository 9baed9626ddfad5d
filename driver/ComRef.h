#pragma once
// Owns one reference to a COM object and releases it when it goes.
#include <utility>

namespace driver
{

template <typename T> class CComRef
{
public:
    CComRef() noexcept = default;
    // Takes over a reference the caller already holds (no AddRef).
    explicit CComRef(T* owned) noexcept : m_object(owned) {}
    ~CComRef() { Reset(); }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;
    CComRef(CComRef&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    CComRef& operator=(CComRef&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            m_object = std::exchange(other.m_object, nullptr);
        }
        return *this;
    }

    void Reset() noexcept
    {
        if (T* object = std::exchange(m_object, nullptr))
        {
            object->Release();
        }
    }
    // The place for an out parameter; a reference held before is released first.
    T** Put() noexcept
    {
        Reset();
        return &m_object;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

private:
    T* m_object = nullptr;
};

} // namespace driver
