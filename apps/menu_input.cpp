#include "menu_input.h"

bool menuIsSpace(int c) {
    // Control bytes count as blanks: a terminal may slip one (a NUL, say) in front of what is
    // typed, and it must not turn a valid code into junk.
    return c == ' ' || (c >= 0 && c < 0x20) || c == 0x7F;
}

bool menuSkipSpace(std::FILE* input) {
    int c = std::fgetc(input);
    while (c != EOF && menuIsSpace(c)) {
        c = std::fgetc(input);
    }
    if (c == EOF) {
        return false;
    }
    std::ungetc(c, input);
    return true;
}

MenuToken menuReadCode(std::FILE* input, uint32_t& code) {
    if (!menuSkipSpace(input)) {
        return MenuToken::end;
    }
    bool digits = true;
    uint64_t value = 0;
    int c = std::fgetc(input);
    while (c != EOF && !menuIsSpace(c)) {
        if (c < '0' || c > '9') {
            digits = false;
        } else if (value <= UINT32_MAX) {
            // Stops growing once too big, so any number of digits is safe.
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        c = std::fgetc(input);
    }
    if (!digits || value > UINT32_MAX) {
        return MenuToken::other;
    }
    code = static_cast<uint32_t>(value);
    return MenuToken::number;
}
