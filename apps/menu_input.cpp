#include "menu_input.h"

bool menuIsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
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
