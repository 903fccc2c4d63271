// The console output every layer prints through; tests swap the sink to capture the text.
#pragma once

#include <cstddef>

#if defined(__GNUC__)
#define CONSOLE_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define CONSOLE_PRINTF_FORMAT(fmt, args)
#endif

using ConsoleSink = void (*)(const char* text, size_t length);

// printf-style; writes one formatted piece to the current sink (stdout by default).
void consolePrint(const char* format, ...) CONSOLE_PRINTF_FORMAT(1, 2);

// Installs a sink; nullptr restores stdout. Returns the previous sink.
ConsoleSink consoleSetSink(ConsoleSink sink);
