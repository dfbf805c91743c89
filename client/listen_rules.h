/* The address --listen takes and the MSI's LISTEN property gives the service: "PORT",
   "A.B.C.D:PORT" or "[IPV6]:PORT", with a numeric address that exists, and the http.sys URL
   that serves it. Plain C, so that the MSI's custom actions (packaging/msi/setup_actions.cpp)
   judge LISTEN exactly as ktsensors parses it. */
#ifndef KTSENSORS_LISTEN_RULES_H
#define KTSENSORS_LISTEN_RULES_H

#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* Longest address text, brackets included ("[ffff:...:255.255.255.255]" is 47). */
#define KT_LISTEN_HOST_MAX 64
/* The address served when only a port is given. */
#define KT_LISTEN_DEFAULT_HOST "127.0.0.1"

/* Whether `text` (`length` characters) is a dotted-quad IPv4 address: four decimal parts of at
   most 255, without the leading zeros that some parsers read as octal. */
static inline int KtIsIpv4(const char *text, size_t length)
{
    size_t at = 0;
    int parts;
    for (parts = 0; parts < 4; ++parts) {
        size_t end = at, value = 0;
        while (end < length && text[end] >= '0' && text[end] <= '9' && end - at < 4)
            value = value * 10 + (size_t)(text[end++] - '0');
        if (end == at || end - at > 3 || (end - at > 1 && text[at] == '0') || value > 255)
            return 0;
        if (end == length)
            return parts == 3;
        if (text[end] != '.')
            return 0;
        at = end + 1;
    }
    return 0;
}

/* Counts the colon-separated groups of 1 to 4 hex digits in `text` (the last one perhaps an
   IPv4 address, two groups, when `ipv4` allows); 0 when one is malformed. */
static inline int KtCountHexGroups(const char *text, size_t length, int ipv4, int *groups)
{
    size_t at = 0;
    *groups = 0;
    while (length > 0) {
        size_t end = at;
        const char *dot;
        while (end < length && text[end] != ':')
            ++end;
        dot = (const char *)memchr(text + at, '.', end - at);
        if (end == length && ipv4 && dot) {
            *groups += 2;
            return KtIsIpv4(text + at, end - at);
        }
        if (end == at || end - at > 4)
            return 0;
        for (; at < end; ++at)
            if (!((text[at] >= '0' && text[at] <= '9') || ((text[at] | 0x20) >= 'a' && (text[at] | 0x20) <= 'f')))
                return 0;
        ++*groups;
        if (end == length)
            return 1;
        at = end + 1;
    }
    return 1;
}

/* Whether `text` is an IPv6 address: eight groups, or fewer around one "::". */
static inline int KtIsIpv6(const char *text, size_t length)
{
    size_t shortened;
    int before = 0, after = 0;
    for (shortened = 0; shortened + 1 < length; ++shortened)
        if (text[shortened] == ':' && text[shortened + 1] == ':')
            break;
    if (shortened + 1 >= length)
        return KtCountHexGroups(text, length, 1, &before) && before == 8;
    for (size_t i = shortened + 2; i + 1 < length; ++i)
        if (text[i] == ':' && text[i + 1] == ':')
            return 0;
    return KtCountHexGroups(text, shortened, 0, &before) &&
           KtCountHexGroups(text + shortened + 2, length - shortened - 2, 1, &after) && before + after <= 7;
}

/* Parses `text`: 1 with the address (IPv6 without brackets; "" when only a port is given, for
   KT_LISTEN_DEFAULT_HOST) in
   `host` and the port (0 to 65535) in `*port`, 0 when it is malformed. */
static inline int KtParseListen(const char *text, char host[KT_LISTEN_HOST_MAX], int *port)
{
    const char *colon = strrchr(text, ':');
    const char *digits = colon ? colon + 1 : text;
    const char *address = text;
    size_t length = colon ? (size_t)(colon - text) : 0, count = strlen(digits), i;
    int bracketed = length >= 2 && text[0] == '[' && text[length - 1] == ']';
    long value = 0;
    if (count == 0 || count > 5)
        return 0;
    for (i = 0; i < count; ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return 0;
        value = value * 10 + (digits[i] - '0');
    }
    if (value > 65535)
        return 0;
    if (bracketed) {
        address = text + 1;
        length -= 2;
    }
    if (colon && !(bracketed ? KtIsIpv6(address, length) : KtIsIpv4(address, length)))
        return 0;
    if (length >= KT_LISTEN_HOST_MAX)
        return 0;
    memcpy(host, address, length);
    host[length] = 0;
    *port = (int)value;
    return 1;
}

/* The URL http.sys registers for `host` (as KtParseListen gives it) and `port`: a strong
   wildcard (+) for every address (0.0.0.0 or ::), otherwise that address only. */
static inline void KtListenUrl(const char *host, int port, char *url, size_t size)
{
    int any = strcmp(host, "0.0.0.0") == 0 || strcmp(host, "::") == 0;
    snprintf(url, size, "http://%s%s%s:%d/", any ? "+" : strchr(host, ':') ? "[" : "", any ? "" : host,
             !any && strchr(host, ':') ? "]" : "", port);
}

#endif
