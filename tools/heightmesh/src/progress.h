// A progress line on the terminal for steps that take longer than a second.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

namespace heightmesh::tool {

class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // Shows nothing unless enabled (the tool enables it when stderr is a terminal).
    ProgressLine(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
    ~ProgressLine() { End(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Starts a step; the line appears once the step has run for a second.
    void Begin(std::string label);
    // Reports the fraction done of the current step (0..1).
    void Update(double fraction);
    // Ends the step and clears the line if one was shown.
    void End();

    bool shown() const noexcept { return shown_; }

private:
    std::ostream& out_;
    bool enabled_;
    bool active_ = false;
    bool shown_ = false;
    std::string label_;
    Clock::time_point start_;
    Clock::time_point lastDraw_;
};

}  // namespace heightmesh::tool
