#include <cstdio>

#include "vd_common.h"

vdException::vdException(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
        message.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(message.data(), message.size(), format, args);
        message.resize(static_cast<size_t>(length));
    }
    va_end(args);
}
