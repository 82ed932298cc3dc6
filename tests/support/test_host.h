// A minimal host for driving the job library in tests: scripted ranges, an
// abort that throws, long-jumps or (wrongly) returns, and recording safety
// checks. Host functions are plain C functions, so their state is static.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "heightmesh/job_abi.h"

namespace heightmesh::testing {

inline const std::vector<std::string> kHostFunctionNames = {
    HEIGHTMESH_HOST_ABORT,
    HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE,
    HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES,
    HEIGHTMESH_HOST_CHECK_READ,
    HEIGHTMESH_HOST_CHECK_WRITE,
};

struct AbortRecord {
    std::string typeName;
    std::string message;
    bool operator==(const AbortRecord&) const = default;
    friend void PrintTo(const AbortRecord& record, std::ostream* out)
    {
        *out << (record.typeName.empty() ? "no failure" : record.typeName + ": " + record.message);
    }
};

// What the test host's abort throws.
struct TestAbort {
    AbortRecord record;
};

enum class AbortMode { kThrow, kLongJump, kReturn };

// The ranges one worker is handed, in order.
struct ScriptedRanges {
    std::vector<std::pair<int32_t, int32_t>> ranges;
    std::size_t next = 0;

    HeightmeshWorkRanges* Address() { return reinterpret_cast<HeightmeshWorkRanges*>(this); }
};

struct TestHost {
    static inline AbortMode abortMode = AbortMode::kThrow;
    static inline std::jmp_buf* jumpTarget = nullptr;
    static inline std::vector<AbortRecord> aborts;
    static inline std::vector<std::string> resolvedNames;
    static inline std::vector<std::pair<int32_t, int32_t>> patches;  // (begin, count)
    static inline int readChecks = 0;
    static inline int writeChecks = 0;
    static inline HeightmeshAtomicSafetyHandle lastCheckedHandle{};
    static inline thread_local HeightmeshAbortFrame* frameHead = nullptr;

    static void Reset()
    {
        abortMode = AbortMode::kThrow;
        jumpTarget = nullptr;
        aborts.clear();
        resolvedNames.clear();
        patches.clear();
        readChecks = 0;
        writeChecks = 0;
        lastCheckedHandle = {};
        frameHead = nullptr;
    }

    static void Abort(const char* typeName, const char* message)
    {
        aborts.push_back({typeName, message});
        if (abortMode == AbortMode::kThrow)
            throw TestAbort{aborts.back()};
        if (abortMode == AbortMode::kLongJump)
            std::longjmp(*jumpTarget, 1);
    }

    static uint8_t GetWorkStealingRange(HeightmeshWorkRanges* ranges, int32_t, int32_t* begin, int32_t* end)
    {
        ScriptedRanges& script = *reinterpret_cast<ScriptedRanges*>(ranges);
        if (script.next == script.ranges.size())
            return 0;
        *begin = script.ranges[script.next].first;
        *end = script.ranges[script.next].second;
        ++script.next;
        return 1;
    }

    static void PatchBufferMinMaxRanges(void*, void*, int32_t begin, int32_t count)
    {
        patches.emplace_back(begin, count);
    }

    static void CheckRead(HeightmeshAtomicSafetyHandle* handle)
    {
        ++readChecks;
        lastCheckedHandle = *handle;
    }

    static void CheckWrite(HeightmeshAtomicSafetyHandle* handle)
    {
        ++writeChecks;
        lastCheckedHandle = *handle;
    }

    static HeightmeshAbortFrame** FrameList() { return &frameHead; }

    static void* Resolve(const char* name)
    {
        resolvedNames.emplace_back(name);
        const std::string key = name;
        if (key == HEIGHTMESH_HOST_ABORT)
            return reinterpret_cast<void*>(&Abort);
        if (key == HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE)
            return reinterpret_cast<void*>(&GetWorkStealingRange);
        if (key == HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES)
            return reinterpret_cast<void*>(&PatchBufferMinMaxRanges);
        if (key == HEIGHTMESH_HOST_CHECK_READ)
            return reinterpret_cast<void*>(&CheckRead);
        if (key == HEIGHTMESH_HOST_CHECK_WRITE)
            return reinterpret_cast<void*>(&CheckWrite);
        return nullptr;
    }
};

}  // namespace heightmesh::testing
