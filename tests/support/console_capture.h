// Captures everything printed through the console module while an instance lives.
#pragma once

#include <string>

class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Returns the text printed since the last take and clears it.
    std::string take();
};
