// The host functions a job library resolves by name, the per-thread frame
// list and the abort that turns a job's failure into a C++ exception.
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "internal.h"
#include "jobhost/jobhost.h"

namespace jobhost {

JobError::JobError(std::string typeName, std::string message)
    : std::runtime_error(typeName + ": " + message), typeName_(std::move(typeName)), message_(std::move(message))
{
}

namespace detail {

// Raises the job's failure as a JobError. It leaves through the library's
// frames by unwinding; the library built them with unwind tables for this.
void Abort(const char* typeName, const char* message)
{
    throw JobError(typeName != nullptr ? typeName : "(null)", message != nullptr ? message : "(null)");
}

}  // namespace detail

namespace {

thread_local HeightmeshAbortFrame* tFrameListHead = nullptr;

// Names a library asked for that this host does not serve. Each gets its own
// function, so that the failure can say which name it was; past the last
// slot, names share one function that cannot tell them apart.
constexpr std::size_t kUnknownSlots = 32;

struct UnknownNames {
    std::mutex mutex;
    std::array<std::string, kUnknownSlots> names;
    std::size_t used = 0;
};

UnknownNames& Unknown()
{
    static UnknownNames* names = new UnknownNames;  // outlives every library that holds its functions
    return *names;
}

[[noreturn]] void RaiseUnknown(std::size_t slot)
{
    std::string name;
    {
        UnknownNames& unknown = Unknown();
        std::lock_guard lock(unknown.mutex);
        name = unknown.names[slot];
    }
    throw JobError("System.MissingMethodException",
                   "The job called the host function '" + name + "', which this host does not provide.");
}

template <std::size_t Slot>
void UnknownFunction()
{
    RaiseUnknown(Slot);
}

void UnknownOverflowFunction()
{
    throw JobError("System.MissingMethodException",
                   "The job called a host function this host does not provide (more than " +
                       std::to_string(kUnknownSlots) + " unknown names were asked for, so its name was not kept).");
}

template <std::size_t... Slots>
constexpr std::array<void (*)(), kUnknownSlots> MakeUnknownFunctions(std::index_sequence<Slots...>)
{
    return {&UnknownFunction<Slots>...};
}

constexpr std::array<void (*)(), kUnknownSlots> kUnknownFunctions =
    MakeUnknownFunctions(std::make_index_sequence<kUnknownSlots>());

void* ResolveUnknown(const char* name)
{
    const std::string text = name != nullptr ? name : "(null)";
    UnknownNames& unknown = Unknown();
    std::lock_guard lock(unknown.mutex);
    for (std::size_t slot = 0; slot < unknown.used; ++slot) {
        if (unknown.names[slot] == text)
            return reinterpret_cast<void*>(kUnknownFunctions[slot]);
    }
    if (unknown.used == kUnknownSlots)
        return reinterpret_cast<void*>(&UnknownOverflowFunction);
    unknown.names[unknown.used] = text;
    return reinterpret_cast<void*>(kUnknownFunctions[unknown.used++]);
}

// The exact pointer types of the ABI, so that a signature that drifts fails
// to compile here.
constexpr HeightmeshAbortFn kAbort = &detail::Abort;
constexpr HeightmeshGetWorkStealingRangeFn kGetWorkStealingRange = &detail::GetWorkStealingRange;
constexpr HeightmeshPatchBufferMinMaxRangesFn kPatchBufferMinMaxRanges = &detail::PatchBufferMinMaxRanges;
constexpr HeightmeshSafetyCheckFn kCheckRead = &host::CheckRead;
constexpr HeightmeshSafetyCheckFn kCheckWrite = &host::CheckWrite;

}  // namespace

namespace host {

HeightmeshAbortFrame** FrameListHead() { return &tFrameListHead; }

void* Resolve(const char* name)
{
    if (name != nullptr) {
        if (std::strcmp(name, HEIGHTMESH_HOST_ABORT) == 0)
            return reinterpret_cast<void*>(kAbort);
        if (std::strcmp(name, HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE) == 0)
            return reinterpret_cast<void*>(kGetWorkStealingRange);
        if (std::strcmp(name, HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES) == 0)
            return reinterpret_cast<void*>(kPatchBufferMinMaxRanges);
        if (std::strcmp(name, HEIGHTMESH_HOST_CHECK_READ) == 0)
            return reinterpret_cast<void*>(kCheckRead);
        if (std::strcmp(name, HEIGHTMESH_HOST_CHECK_WRITE) == 0)
            return reinterpret_cast<void*>(kCheckWrite);
    }
    return ResolveUnknown(name);
}

}  // namespace host

}  // namespace jobhost
