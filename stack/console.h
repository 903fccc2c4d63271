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

// A failure the user must see (a port operation, a thread start). Printed like consolePrint
// unless an error sink is installed; that sink gets each error as one piece, without the leading
// line breaks, whatever the console sink is.
void consoleError(const char* format, ...) CONSOLE_PRINTF_FORMAT(1, 2);
// nullptr: errors go to the console sink again. Returns the previous error sink.
ConsoleSink consoleSetErrorSink(ConsoleSink sink);

// While one lives, this thread's pieces for stdout are kept and written in one go when it ends:
// one system call for text printed in many pieces at once (a frame's trace). Other sinks still
// get every piece as it comes. Batches nest; the outermost one writes.
class ConsoleBatch {
  public:
    ConsoleBatch();
    ~ConsoleBatch();
    ConsoleBatch(const ConsoleBatch&) = delete;
    ConsoleBatch& operator=(const ConsoleBatch&) = delete;
};
