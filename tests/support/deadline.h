// A deadline for a test's waits on another thread: a wait that reaches it fails the test instead of
// hanging it until the test runner gives up.
#pragma once

#include <chrono>

class Deadline {
  public:
    // Far beyond what any of these waits needs on a loaded machine; it only turns a hang into a
    // failure.
    explicit Deadline(std::chrono::seconds limit = std::chrono::seconds(30))
        : end(std::chrono::steady_clock::now() + limit) {}
    bool passed() const { return std::chrono::steady_clock::now() >= end; }

  private:
    std::chrono::steady_clock::time_point end;
};
