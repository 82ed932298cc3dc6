// A progress line on the terminal for steps that take longer than a second.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace heightmesh::tool {

using Clock = std::chrono::steady_clock;

// Seconds of wall time since `start`, for the stage times --stats shows.
inline double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One step at a time. The line is drawn by a helper thread, so that a step
// that reports no fractions (or reports them rarely) still shows that it is
// running; it appears once the step has run for a second and is cleared when
// the step ends.
class ProgressLine {
public:
    // Shows nothing unless enabled (the tool enables it when stderr is a terminal).
    ProgressLine(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
    ~ProgressLine() { End(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Begin(std::string label);
    // The fraction done of the current step (0..1), and for steps that write
    // a file the bytes written so far (shown with the rate since Begin);
    // cheap, callable often, from any thread.
    void Update(double fraction);
    void Update(double fraction, uint64_t bytes);
    // Ends the step and clears the line if one was shown.
    void End();

private:
    void Draw();  // with mutex_ held
    void Tick();

    std::ostream& out_;
    const bool enabled_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread ticker_;
    std::string label_;
    double fraction_ = -1.0;  // below 0: none reported
    uint64_t bytes_ = 0;
    bool hasBytes_ = false;
    std::chrono::steady_clock::time_point start_;
    bool stopping_ = false;
    bool shown_ = false;
};

}  // namespace heightmesh::tool

namespace heightmesh::tool {

// The stages of a run that ran, in order, with their wall time in seconds.
using StageTimes = std::vector<std::pair<std::string, double>>;

}  // namespace heightmesh::tool
