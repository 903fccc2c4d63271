// A thread that runs while its flag is raised: stopping lowers the flag and joins the thread, so
// nothing of it outlives the stop.
#pragma once

#include <atomic>

#include "win32.h"

struct TaskThread {
    HANDLE handle = nullptr;
    DWORD id = 0;
};

// Raises `running` and starts `routine`; false when the thread did not start (GetLastError says
// why).
bool taskThreadStart(TaskThread& thread, std::atomic<bool>& running,
                     LPTHREAD_START_ROUTINE routine);

// Lowers `running` and waits for the thread to end; does nothing more for a thread never started.
void taskThreadStop(TaskThread& thread, std::atomic<bool>& running);
