#pragma once
// Owns one reference to a COM object and releases it when it goes.
#include "platform/UniqueHandle.h"

namespace driver
{

template <typename T> struct ComReferenceTraits
{
    using Type = T*;
    static constexpr Type Empty() noexcept { return nullptr; }
    static void Close(Type object) noexcept { object->Release(); }
};

template <typename T> class CComRef : public platform::CUniqueAny<ComReferenceTraits<T>>
{
    using Base = platform::CUniqueAny<ComReferenceTraits<T>>;

public:
    CComRef() noexcept = default;
    // Takes over a reference the caller already holds (no AddRef).
    explicit CComRef(T* owned) noexcept : Base(owned) {}

    void Reset() noexcept { Base::reset(); }
    // The place for an out parameter; a reference held before is released first.
    T** Put() noexcept { return Base::put(); }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    T* Get() const noexcept { return Base::get(); }
    T* operator->() const noexcept { return Base::get(); }
};

} // namespace driver
