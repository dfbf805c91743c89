// The two C runtime functions the compiler may call on its own for block copies and
// clears. The DLL links no C runtime, so that it loads on every Windows without one.
#include <stddef.h>

extern "C" void *memcpy(void *destination, const void *source, size_t length)
{
    unsigned char *d = static_cast<unsigned char *>(destination);
    const unsigned char *s = static_cast<const unsigned char *>(source);
    while (length--)
        *d++ = *s++;
    return destination;
}

extern "C" void *memset(void *destination, int value, size_t length)
{
    unsigned char *d = static_cast<unsigned char *>(destination);
    while (length--)
        *d++ = static_cast<unsigned char>(value);
    return destination;
}
