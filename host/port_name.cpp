// Port names: "COMn" is the n-th serial port of the host, anything else is a device path.
#include <cstdio>
#include <cstring>

#include "win32.h"

namespace {

// The number n of a "COMn" name (any letter case, n from 1), or 0 for any other name.
unsigned long comNumber(const char* name) {
    if (std::strlen(name) < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
        (name[2] | 0x20) != 'm') {
        return 0;
    }
    unsigned long number = 0;
    for (const char* digit = name + 3; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || number > 99999) {
            return 0;
        }
        number = number * 10 + static_cast<unsigned long>(*digit - '0');
    }
    return number;
}

} // namespace

bool hostPortName(const char* name, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return false;
    }
    out[0] = '\0';
    if (name == nullptr) {
        return false;
    }
    const unsigned long number = comNumber(name);
    int length = 0;
    if (number == 0) {
        length = std::snprintf(out, size, "%s", name);
    } else {
#if defined(_WIN32)
        length = std::snprintf(out, size, "\\\\.\\COM%lu", number);
#else
        length = std::snprintf(out, size, "/dev/ttyS%lu", number - 1);
#endif
    }
    if (length < 0 || static_cast<size_t>(length) >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}
