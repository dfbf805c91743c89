// Stand-in wsprintfA: USER32's own formatter, not the C runtime's. It knows the types c, d, i,
// u, x, X, s, p and %, with the flags '-', '#' and '0', a width, a precision and the size
// prefixes h, l and I64; it writes at most 1,024 characters and a terminator. In place of a
// type it does not know, that character is written.
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include "platform/host/host_internal.h"

namespace {

// The most characters wsprintfA writes, not counting the terminator.
constexpr int kWsprintfRoom = 1024;

struct Output {
    char *out;
    int length;
};

// Appends one character while there is room.
void Put(Output *o, char c)
{
    if (o->length < kWsprintfRoom)
        o->out[o->length++] = c;
}

// Appends `count` copies of `c`, as many as there is room for.
void Pad(Output *o, char c, int count)
{
    for (int i = 0; i < count; ++i)
        Put(o, c);
}

// Appends `n` characters of `text`, as many as there is room for.
void Append(Output *o, const char *text, int n)
{
    int room = kWsprintfRoom - o->length;
    if (n > room)
        n = room;
    char *out = o->out + o->length; // a local pointer, so that the loop need not reload it
    for (int i = 0; i < n; ++i)
        out[i] = text[i];
    o->length += n;
}

// Writes `digits` (length `n`, sign and prefix apart) into the field: `left` pads after,
// `zero` pads with zeros between the sign or prefix and the digits.
void Field(Output *o, const char *prefix, const char *digits, int n, int width, bool left,
           bool zero)
{
    int prefixLength = 0;
    while (prefix[prefixLength])
        ++prefixLength;
    int padding = width > n + prefixLength ? width - n - prefixLength : 0;
    if (!left && !zero)
        Pad(o, ' ', padding);
    Append(o, prefix, prefixLength);
    if (!left && zero)
        Pad(o, '0', padding);
    Append(o, digits, n);
    if (left)
        Pad(o, ' ', padding);
}

// Writes `value` in `base`, with at least `precision` digits.
int Digits(uint64_t value, unsigned base, bool upper, int precision, char *buffer)
{
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[32];
    int n = 0;
    do {
        reversed[n++] = set[value % base];
        value /= base;
    } while (value);
    while (n < precision && n < (int)sizeof reversed)
        reversed[n++] = '0';
    for (int i = 0; i < n; ++i)
        buffer[i] = reversed[n - 1 - i];
    return n;
}

} // namespace

extern "C" int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    {
        std::lock_guard<std::recursive_mutex> guard(host::internal::Lock());
        host::internal::CallFails(host::FN_WSPRINTF);
    }
    va_list args;
    va_start(args, lpFmt);
    // Formatted here and copied out in one piece, so that a sanitizer build checks the
    // caller's buffer once for the whole text.
    char text[kWsprintfRoom + 1];
    Output o{text, 0};
    for (const char *f = lpFmt; *f && o.length < kWsprintfRoom; ++f) {
        if (*f != '%') {
            const char *run = f;
            while (f[1] && f[1] != '%')
                ++f;
            Append(&o, run, (int)(f - run + 1));
            continue;
        }
        ++f;
        bool left = false, alternate = false, zero = false;
        for (;; ++f) {
            if (*f == '-')
                left = true;
            else if (*f == '#')
                alternate = true;
            else if (*f == '0')
                zero = true;
            else
                break;
        }
        int width = 0;
        while (*f >= '0' && *f <= '9')
            width = width * 10 + (*f++ - '0');
        int precision = -1;
        if (*f == '.') {
            precision = 0;
            for (++f; *f >= '0' && *f <= '9'; ++f)
                precision = precision * 10 + (*f - '0');
        }
        bool wide = false;
        if (*f == 'h' || *f == 'l')
            ++f;
        else if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            wide = true;
            f += 3;
        }
        char digits[32];
        switch (*f) {
        case 'd':
        case 'i': {
            int64_t v = wide ? va_arg(args, int64_t) : va_arg(args, int);
            uint64_t magnitude = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
            int n = Digits(magnitude, 10, false, precision, digits);
            Field(&o, v < 0 ? "-" : "", digits, n, width, left, zero);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            uint64_t v = wide ? va_arg(args, uint64_t) : va_arg(args, unsigned);
            unsigned base = *f == 'u' ? 10 : 16;
            int n = Digits(v, base, *f == 'X', precision, digits);
            const char *prefix = alternate && base == 16 && v ? (*f == 'X' ? "0X" : "0x") : "";
            Field(&o, prefix, digits, n, width, left, zero);
            break;
        }
        case 'p': {
            int n = Digits((uintptr_t)va_arg(args, void *), 16, true, 2 * (int)sizeof(void *),
                           digits);
            Field(&o, "", digits, n, width, left, zero);
            break;
        }
        case 'c':
            digits[0] = (char)va_arg(args, int);
            Field(&o, "", digits, 1, width, left, zero);
            break;
        case 's': {
            const char *s = va_arg(args, const char *);
            if (!s)
                s = "(null)";
            // The C library's strlen finds the end many characters at a time.
            size_t length = precision < 0 ? strlen(s) : strnlen(s, (size_t)precision);
            int n = length > (size_t)kWsprintfRoom ? kWsprintfRoom : (int)length;
            Field(&o, "", s, n, width, left, zero);
            break;
        }
        case '\0':
            // A lone '%' at the end is dropped.
            --f;
            break;
        default:
            // Not a type: the character is written as it stands ("%%" writes '%').
            Put(&o, *f);
            break;
        }
    }
    va_end(args);
    text[o.length] = '\0';
    memcpy(lpOut, text, (size_t)o.length + 1);
    return o.length;
}
