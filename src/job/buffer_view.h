// Checked element access through the host's buffer views.
//
// Every element the job touches goes through ReadChecked or WriteChecked: the
// allowed-range check, then the safety version check (the version word is
// loaded afresh at every access), then the load or store. A failed range check
// never reaches memory: it reports through the abort slot and does not return.
#pragma once

#include <stdint.h>

#include "host/host_binding.h"

namespace heightmesh {

inline constexpr uint32_t kReadVersionMask = HEIGHTMESH_READ_VERSION_MASK;
inline constexpr uint32_t kWriteVersionMask = HEIGHTMESH_WRITE_VERSION_MASK;

// Builds the index message for view and ends the job with
// "System.IndexOutOfRangeException".
[[noreturn, gnu::cold]] void ReportIndexOutOfRange(const BufferView& view, int32_t index);

// Hands the host a copy of the view's safety record after a version mismatch;
// the host raises its own error or returns, and then the access goes ahead.
[[gnu::cold]] void CheckReadAccess(const AtomicSafetyHandle& handle);
[[gnu::cold]] void CheckWriteAccess(const AtomicSafetyHandle& handle);

// The host may change the version word at any time; it is read once per access.
inline uint32_t LoadVersionWord(const uint32_t* versionCell)
{
    return __atomic_load_n(versionCell, __ATOMIC_RELAXED);
}

template <typename T>
inline T* ElementAddress(const BufferView& view, int32_t index)
{
    return reinterpret_cast<T*>(static_cast<uint8_t*>(view.data) + static_cast<int64_t>(index) * int64_t(sizeof(T)));
}

template <typename T>
inline T ReadChecked(const BufferView& view, int32_t index)
{
    if (index < view.minIndex || index > view.maxIndex) [[unlikely]]
        ReportIndexOutOfRange(view, index);
    if (view.safety.version != (LoadVersionWord(view.safety.versionCell) & kReadVersionMask)) [[unlikely]]
        CheckReadAccess(view.safety);
    return *ElementAddress<const T>(view, index);
}

template <typename T>
inline void WriteChecked(const BufferView& view, int32_t index, const T& value)
{
    if (index < view.minIndex || index > view.maxIndex) [[unlikely]]
        ReportIndexOutOfRange(view, index);
    if (view.safety.version != (LoadVersionWord(view.safety.versionCell) & kWriteVersionMask)) [[unlikely]]
        CheckWriteAccess(view.safety);
    *ElementAddress<T>(view, index) = value;
}

}  // namespace heightmesh
