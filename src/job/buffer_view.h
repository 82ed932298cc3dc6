// Element access through the host's buffer views, and the two checks every
// access is made under.
//
// The range check: the index must lie in the view's allowed range [minIndex,
// maxIndex]. ReadChecked and WriteChecked make it at each access; a caller
// that has already found a whole row stretch allowed (StretchInRange in
// vertex_footprint.h) goes through ReadInRange and WriteInRange, or, on the
// packed roads, through ElementAddress, and skips it. A failed range check
// never reaches memory: it reports through the abort slot and does not return.
//
// The safety check: the view's version word is loaded afresh at every access,
// on every road, and a mismatch hands the host a copy of the safety record
// before the access (CheckReadAccess, CheckWriteAccess). The packed roads
// make these comparisons themselves (vertex_lanes.h).
#pragma once

#include <stdint.h>

#include "host/host_binding.h"
#include "job/job_types.h"

namespace heightmesh {

inline constexpr uint32_t kReadVersionMask = HEIGHTMESH_READ_VERSION_MASK;
inline constexpr uint32_t kWriteVersionMask = HEIGHTMESH_WRITE_VERSION_MASK;

// Builds the index message for view and ends the job with
// "System.IndexOutOfRangeException".
//
// The failure paths take the view and the safety record by value: a kernel
// that keeps a view in locals for a whole batch never lets their address out,
// so the compiler can hold the fields in registers across the batch.
[[noreturn, gnu::cold]] void ReportIndexOutOfRange(BufferView view, int32_t index);

// Hands the host a copy of the view's safety record after a version mismatch;
// the host raises its own error or returns, and then the access goes ahead.
[[gnu::cold]] void CheckReadAccess(AtomicSafetyHandle handle);
[[gnu::cold]] void CheckWriteAccess(AtomicSafetyHandle handle);

// The host may change the version word at any time; it is read once per access.
inline uint32_t LoadVersionWord(const uint32_t* versionCell) { return __atomic_load_n(versionCell, __ATOMIC_RELAXED); }

// The index is an allowed one, so it fits 32 bits; it is taken as 64 bits so
// that callers may pass a sum whose parts the compiler can fold separately.
template <typename T>
inline T* ElementAddress(const BufferView& view, int64_t index)
{
    return reinterpret_cast<T*>(static_cast<uint8_t*>(view.data) + index * int64_t(sizeof(T)));
}

// Stores element by element, so that a float triple goes straight from
// registers to the buffer.
template <typename T>
inline void StoreElement(T* address, const T& value)
{
    *address = value;
}

inline void StoreElement(Float3* address, const Float3& value)
{
    address->x = value.x;
    address->y = value.y;
    address->z = value.z;
}

// The index must lie in [minIndex, maxIndex]: a view's allowed range.
inline bool InAllowedRange(const BufferView& view, int64_t index)
{
    return index >= view.minIndex && index <= view.maxIndex;
}

// Whether every index of [first, last] is allowed.
inline bool SpanInAllowedRange(const BufferView& view, int64_t first, int64_t last)
{
    return InAllowedRange(view, first) && InAllowedRange(view, last);
}

// The safety check and the access, for an index whose range check has passed.
template <typename T>
[[gnu::always_inline]] inline T ReadInRange(const BufferView& view, int64_t index)
{
    if (view.safety.version != (LoadVersionWord(view.safety.versionCell) & kReadVersionMask)) [[unlikely]]
        CheckReadAccess(view.safety);
    return *ElementAddress<const T>(view, index);
}

template <typename T>
[[gnu::always_inline]] inline void WriteInRange(const BufferView& view, int64_t index, const T& value)
{
    if (view.safety.version != (LoadVersionWord(view.safety.versionCell) & kWriteVersionMask)) [[unlikely]]
        CheckWriteAccess(view.safety);
    StoreElement(ElementAddress<T>(view, index), value);
}

template <typename T>
[[gnu::always_inline]] inline T ReadChecked(const BufferView& view, int32_t index)
{
    if (!InAllowedRange(view, index)) [[unlikely]]
        ReportIndexOutOfRange(view, index);
    return ReadInRange<T>(view, index);
}

template <typename T>
[[gnu::always_inline]] inline void WriteChecked(const BufferView& view, int32_t index, const T& value)
{
    if (!InAllowedRange(view, index)) [[unlikely]]
        ReportIndexOutOfRange(view, index);
    WriteInRange(view, index, value);
}

// A checked access, or, where the caller has already found the index in the
// allowed range, the safety check and the access alone.
template <typename T, bool kRangeKnown>
[[gnu::always_inline]] inline T Read(const BufferView& view, int32_t index)
{
    if constexpr (kRangeKnown)
        return ReadInRange<T>(view, index);
    else
        return ReadChecked<T>(view, index);
}

template <bool kRangeKnown, typename T>
[[gnu::always_inline]] inline void Write(const BufferView& view, int32_t index, const T& value)
{
    if constexpr (kRangeKnown)
        WriteInRange(view, index, value);
    else
        WriteChecked(view, index, value);
}

}  // namespace heightmesh
