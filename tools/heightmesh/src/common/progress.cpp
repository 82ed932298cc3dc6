#include "common/progress.h"

#include <algorithm>

#include <fmt/format.h>

namespace heightmesh::tool {

namespace {
constexpr auto kDelay = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(100);
}  // namespace

void ProgressLine::Begin(std::string label)
{
    End();
    if (!enabled_)
        return;
    {
        std::lock_guard lock(mutex_);
        label_ = std::move(label);
        fraction_ = -1.0;
        bytes_ = 0;
        hasBytes_ = false;
        start_ = std::chrono::steady_clock::now();
        stopping_ = false;
    }
    ticker_ = std::thread([this] { Tick(); });
}

void ProgressLine::Update(double fraction)
{
    if (!enabled_)
        return;
    std::lock_guard lock(mutex_);
    fraction_ = std::clamp(fraction, 0.0, 1.0);
}

void ProgressLine::Update(double fraction, uint64_t bytes)
{
    if (!enabled_)
        return;
    std::lock_guard lock(mutex_);
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    bytes_ = bytes;
    hasBytes_ = true;
}

void ProgressLine::End()
{
    if (!ticker_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    ticker_.join();
    if (shown_)
        out_ << "\r\033[K" << std::flush;
    shown_ = false;
}

void ProgressLine::Draw()
{
    std::string line = fraction_ < 0.0
                           ? fmt::format("\rheightmesh: {} ...", label_)
                           : fmt::format("\rheightmesh: {} {:3d}%", label_, static_cast<int>(fraction_ * 100.0));
    if (hasBytes_) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        line += fmt::format(", {:.1f} MB at {:.0f} MB/s", bytes_ / 1e6, seconds > 0.0 ? bytes_ / 1e6 / seconds : 0.0);
    }
    out_ << line << "\033[K" << std::flush;
    shown_ = true;
}

void ProgressLine::Tick()
{
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, kDelay, [this] { return stopping_; }))
        return;
    do {
        Draw();
    } while (!wake_.wait_for(lock, kRedraw, [this] { return stopping_; }));
}

}  // namespace heightmesh::tool
