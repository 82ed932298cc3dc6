#include "progress.h"

#include <algorithm>

#include <fmt/format.h>

namespace heightmesh::tool {

namespace {
constexpr auto kDelay = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(100);
}  // namespace

void ProgressLine::Begin(std::string label) {
    End();
    label_ = std::move(label);
    active_ = true;
    start_ = Clock::now();
}

void ProgressLine::Update(double fraction) {
    if (!enabled_ || !active_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < kDelay || (shown_ && now - lastDraw_ < kRedraw)) return;
    const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
    out_ << fmt::format("\rheightmesh: {} {:3d}%", label_, percent) << std::flush;
    shown_ = true;
    lastDraw_ = now;
}

void ProgressLine::End() {
    if (shown_) out_ << "\r\033[K" << std::flush;
    shown_ = false;
    active_ = false;
}

}  // namespace heightmesh::tool
