#include "job/buffer_view.h"

#include "text/fixed_text.h"

namespace heightmesh {
namespace {

constexpr char kIndexOutOfRangeException[] = "System.IndexOutOfRangeException";

constexpr auto kIndexPrefix = MakeConstantText("Index ");
constexpr auto kOutOfRangeOf = MakeConstantText(" is out of range of '");
constexpr auto kLengthSuffix = MakeConstantText("' Length.");
constexpr auto kOutOfRestrictedRange = MakeConstantText(" is out of restricted IJobParallelFor range [");
constexpr auto kRangeDots = MakeConstantText("...");
constexpr auto kInReadWriteBuffer = MakeConstantText("] in ReadWriteBuffer.\n");
constexpr auto kRestrictedAdvice = MakeConstantText(
    "ReadWriteBuffers are restricted to only read & write the element at the job index. You can use double "
    "buffering strategies to avoid race conditions due to reading & writing in parallel to the same elements "
    "from a job.");

// "Index -2147483648 is out of range of '-2147483648' Length." is the longest
// plain message: 58 characters.
constexpr int kPlainMessageCapacity = 59;
// The restricted line is at most 109 characters; the advice follows it.
constexpr int kRestrictedLineCapacity = 110;
constexpr int kRestrictedMessageCapacity = kRestrictedLineCapacity + kRestrictedAdvice.length;
// The ABI tells hosts the longest message; the restricted text holds it.
static_assert(kRestrictedMessageCapacity >= HEIGHTMESH_MAX_MESSAGE_LENGTH);

[[noreturn]] void ReportRestricted(const BufferView& view, int32_t index)
{
    FixedText<kRestrictedMessageCapacity> text{};
    int32_t length = 0;
    const int32_t capacity = text.kCapacity;
    AppendText(text.bytes, &length, capacity, kIndexPrefix);
    AppendInteger(text.bytes, &length, capacity, index, kPlainFormat);
    AppendText(text.bytes, &length, capacity, kOutOfRestrictedRange);
    AppendInteger(text.bytes, &length, capacity, view.minIndex, kPlainFormat);
    AppendText(text.bytes, &length, capacity, kRangeDots);
    AppendInteger(text.bytes, &length, capacity, view.maxIndex, kPlainFormat);
    AppendText(text.bytes, &length, capacity, kInReadWriteBuffer);
    AppendText(text.bytes, &length, capacity, kRestrictedAdvice);
    CloseText(text, length);
    RaiseAbort(kIndexOutOfRangeException, reinterpret_cast<const char*>(text.bytes));
}

}  // namespace

// The range is "restricted" when the index lies below the buffer's length but
// the host narrowed the allowed range for this batch: the message then says
// which range was allowed and why. Otherwise the plain length message.
void ReportIndexOutOfRange(BufferView view, int32_t index)
{
    const bool narrowed = view.minIndex != 0 || view.maxIndex != static_cast<int32_t>(uint32_t(view.length) - 1u);
    if (index < view.length && narrowed)
        ReportRestricted(view, index);

    FixedText<kPlainMessageCapacity> text{};
    int32_t length = 0;
    const int32_t capacity = text.kCapacity;
    AppendText(text.bytes, &length, capacity, kIndexPrefix);
    AppendInteger(text.bytes, &length, capacity, index, kPlainFormat);
    AppendText(text.bytes, &length, capacity, kOutOfRangeOf);
    AppendInteger(text.bytes, &length, capacity, view.length, kPlainFormat);
    AppendText(text.bytes, &length, capacity, kLengthSuffix);
    CloseText(text, length);
    RaiseAbort(kIndexOutOfRangeException, reinterpret_cast<const char*>(text.bytes));
}

void CheckReadAccess(AtomicSafetyHandle handle) { HostFunctions().checkReadAndThrowNoEarlyOut(&handle); }

void CheckWriteAccess(AtomicSafetyHandle handle) { HostFunctions().checkWriteAndThrowNoEarlyOut(&handle); }

}  // namespace heightmesh
