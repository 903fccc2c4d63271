#include "task_thread.h"

bool taskThreadStart(TaskThread& thread, std::atomic<bool>& running,
                     LPTHREAD_START_ROUTINE routine) {
    running.store(true);
    thread.handle = CreateThread(nullptr, 0, routine, nullptr, 0, &thread.id);
    return thread.handle != nullptr;
}

void taskThreadStop(TaskThread& thread, std::atomic<bool>& running) {
    running.store(false);
    if (thread.handle != nullptr) {
        WaitForSingleObject(thread.handle, INFINITE);
        CloseHandle(thread.handle);
        thread.handle = nullptr;
    }
}
