// Preloaded into a program (LD_PRELOAD) to count its heap allocations after start-up. Counting
// begins when the program writes the text in BENCH_ALLOC_AFTER (default "Demo v") to stdout
// through fwrite, the way consolePrint does; the counts go to the file BENCH_ALLOC_REPORT at exit.
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <unistd.h>

// glibc's own allocator entry points, so that counting needs no symbol lookup (which could
// allocate).
extern "C" {
void* __libc_malloc(size_t size);                     // NOLINT(bugprone-reserved-identifier)
void* __libc_calloc(size_t count, size_t size);       // NOLINT(bugprone-reserved-identifier)
void* __libc_realloc(void* pointer, size_t size);     // NOLINT(bugprone-reserved-identifier)
void* __libc_memalign(size_t alignment, size_t size); // NOLINT(bugprone-reserved-identifier)
void __libc_free(void* pointer);                      // NOLINT(bugprone-reserved-identifier)
}

namespace {

enum Kind : uint8_t { KIND_MALLOC, KIND_CALLOC, KIND_REALLOC, KIND_MEMALIGN, KIND_NEW, KIND_COUNT };
constexpr std::array<const char*, KIND_COUNT> KIND_NAMES = {"malloc", "calloc", "realloc",
                                                            "memalign", "new"};
constexpr size_t SITE_COUNT = 16;
constexpr size_t REPORT_SIZE = 4096;

struct Site {
    std::atomic<const void*> caller{nullptr};
    std::atomic<size_t> size{0};
    std::atomic<uint8_t> kind{0};
};

using FwriteFunction = size_t (*)(const void*, size_t, size_t, FILE*);

std::atomic<bool> armed{false};
std::atomic<bool> reported{false};
std::array<std::atomic<unsigned long>, KIND_COUNT> before{};
std::array<std::atomic<unsigned long>, KIND_COUNT> after{};
std::array<Site, SITE_COUNT> sites{};
std::atomic<size_t> siteCount{0};
std::atomic<FwriteFunction> realFwrite{nullptr};

void count(Kind kind, size_t size, const void* caller) {
    if (!armed.load(std::memory_order_relaxed)) {
        before[kind].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    after[kind].fetch_add(1, std::memory_order_relaxed);
    const size_t index = siteCount.fetch_add(1, std::memory_order_relaxed);
    if (index < SITE_COUNT) {
        sites[index].caller.store(caller);
        sites[index].size.store(size);
        sites[index].kind.store(kind);
    }
}

const char* marker() {
    const char* text = std::getenv("BENCH_ALLOC_AFTER");
    return text != nullptr ? text : "Demo v";
}

// Appends to the report buffer; stops quietly when it is full.
__attribute__((format(printf, 3, 4))) void append(std::array<char, REPORT_SIZE>& report,
                                                  size_t& used, const char* format, ...) {
    if (used >= report.size()) {
        return;
    }
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(report.data() + used, report.size() - used, format, args);
    va_end(args);
    if (written > 0) {
        used += static_cast<size_t>(written);
    }
    if (used > report.size()) {
        used = report.size();
    }
}

void writeReport() {
    if (reported.exchange(true)) {
        return;
    }
    const bool wasArmed = armed.exchange(false);
    const char* path = std::getenv("BENCH_ALLOC_REPORT");
    if (path == nullptr) {
        return;
    }
    std::array<char, REPORT_SIZE> report{};
    size_t used = 0;
    append(report, used, "armed %d\n", wasArmed ? 1 : 0);
    for (size_t kind = 0; kind < KIND_COUNT; ++kind) {
        append(report, used, "%s %lu %lu\n", KIND_NAMES[kind], before[kind].load(),
               after[kind].load());
    }
    const size_t recorded = siteCount.load() < SITE_COUNT ? siteCount.load() : SITE_COUNT;
    for (size_t i = 0; i < recorded; ++i) {
        const void* caller = sites[i].caller.load();
        Dl_info info{};
        const bool named = dladdr(caller, &info) != 0;
        const char* object = named && info.dli_fname != nullptr ? info.dli_fname : "?";
        const char* symbol = named && info.dli_sname != nullptr ? info.dli_sname : "?";
        append(report, used, "site %s %zu %s %s\n", KIND_NAMES[sites[i].kind.load()],
               sites[i].size.load(), object, symbol);
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, report.data(), used < report.size() ? used : report.size());
        close(fd);
    }
}

__attribute__((constructor)) void findFwrite() {
    realFwrite.store(reinterpret_cast<FwriteFunction>(dlsym(RTLD_NEXT, "fwrite")));
}

__attribute__((destructor)) void reportAtExit() {
    writeReport();
}

void* countedNew(size_t size, const void* caller) {
    count(KIND_NEW, size, caller);
    void* pointer = __libc_malloc(size == 0 ? 1 : size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return pointer;
}

} // namespace

extern "C" {

void* malloc(size_t size) noexcept {
    count(KIND_MALLOC, size, __builtin_return_address(0));
    return __libc_malloc(size);
}

void* calloc(size_t number, size_t size) noexcept {
    count(KIND_CALLOC, number * size, __builtin_return_address(0));
    return __libc_calloc(number, size);
}

void* realloc(void* pointer, size_t size) noexcept {
    count(KIND_REALLOC, size, __builtin_return_address(0));
    return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept {
    __libc_free(pointer);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    count(KIND_MEMALIGN, size, __builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
    count(KIND_MEMALIGN, size, __builtin_return_address(0));
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *result = pointer;
    return 0;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    if (!armed.load() && stream == stdout &&
        memmem(data, size * count, marker(), std::strlen(marker())) != nullptr) {
        armed.store(true);
    }
    const FwriteFunction forward = realFwrite.load();
    return forward != nullptr ? forward(data, size, count, stream) : 0;
}

} // extern "C"

void* operator new(size_t size) {
    return countedNew(size, __builtin_return_address(0));
}

void* operator new[](size_t size) {
    return countedNew(size, __builtin_return_address(0));
}

void* operator new(size_t size, const std::nothrow_t& /*tag*/) noexcept {
    count(KIND_NEW, size, __builtin_return_address(0));
    return __libc_malloc(size == 0 ? 1 : size);
}

void* operator new[](size_t size, const std::nothrow_t& /*tag*/) noexcept {
    count(KIND_NEW, size, __builtin_return_address(0));
    return __libc_malloc(size == 0 ? 1 : size);
}

void operator delete(void* pointer) noexcept {
    __libc_free(pointer);
}

void operator delete[](void* pointer) noexcept {
    __libc_free(pointer);
}

void operator delete(void* pointer, size_t /*size*/) noexcept {
    __libc_free(pointer);
}

void operator delete[](void* pointer, size_t /*size*/) noexcept {
    __libc_free(pointer);
}
