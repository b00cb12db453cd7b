// The text helpers of the platform door, built into every target.
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Every text the program forms (paths and key names of at most a few
// hundred bytes) fits the first try; the limit only bounds the growth.
const size_t kFirstTry = 256;
const size_t kLongestText = 1 << 20;

// The formatter: on Windows msvcrt's own _vsnprintf (present on every
// Windows since 95), not the C99 one that mingw's headers route vsnprintf to,
// which would bring some 25 KB of floating-point formatting into the exe for
// "%s", "%c" and "%02u". Its results differ from C99 vsnprintf: -1 or the
// full `size` when the text does not fit with its terminator, and no
// required-size answer for an empty buffer; FormatText handles both kinds.
int FormatInto(char* buffer, size_t size, const char* format, va_list args) {
#ifdef _WIN32
    return _vsnprintf(buffer, size, format, args);
#else
    return std::vsnprintf(buffer, size, format, args);
#endif
}

}  // namespace

std::string FormatText(const char* format, ...) {
    std::string text(kFirstTry, '\0');
    for (;;) {
        va_list args;
        va_start(args, format);
        const int written = FormatInto(&text[0], text.size(), format, args);
        va_end(args);
        if (written >= 0 && static_cast<size_t>(written) < text.size()) {
            text.resize(static_cast<size_t>(written));
            return text;
        }
#ifndef _WIN32
        if (written < 0) return std::string();  // C99: a formatting error
#endif
        // A C99 formatter tells the length it needs, msvcrt's only that the
        // text did not fit.
        size_t next = text.size() * 2;
        if (written > 0 && static_cast<size_t>(written) >= text.size())
            next = static_cast<size_t>(written) + 1;
        if (next > kLongestText) return std::string();
        text.assign(next, '\0');
    }
}

bool LocaleTextEqual(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_USER_DEFAULT, 0, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
