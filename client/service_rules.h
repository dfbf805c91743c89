/* The Windows service as both of its installers set it up, ktsensors.exe --install-service and
   the MSI's custom actions (packaging/msi/setup_actions.cpp): its names, its command line, its
   restarts after a failure, the settings that mark a service the MSI installed, its default
   textfile, the rules a textfile's and the sensor configuration's paths must meet, and the
   configuration's folder. Plain C; what is on the disk is looked at by
   textfile_windows.cpp. */
#ifndef KTSENSORS_SERVICE_RULES_H
#define KTSENSORS_SERVICE_RULES_H

#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "interval_rules.h"

#define KT_SERVICE_NAME L"Kovaltherm"
#define KT_SERVICE_DISPLAY_NAME L"Kovaltherm thermal sensors"
#define KT_SERVICE_DESCRIPTION                                                                       \
    L"Reads the notebook's thermal sensors through Kovaltherm.dll and writes them as Prometheus " \
    L"text for windows_exporter's textfile collector."

/* Writes the texts `parts` one after another into `line`, `size` characters with the final
   null; the length, or 0 when they do not fit. */
static inline size_t KtJoin(wchar_t *line, size_t size, const wchar_t *const *parts, size_t count)
{
    size_t length = 0, i, part;
    for (i = 0; i < count; ++i) {
        part = wcslen(parts[i]);
        if (length + part >= size)
            return 0;
        memcpy(line + length, parts[i], part * sizeof(wchar_t));
        length += part;
    }
    line[length] = 0;
    return length;
}

/* The service's arguments: --service --watch SECONDS --output "TEXTFILE", then --scenario "FILE",
   --listen ADDRESS and --config "FILE" when given (NULL: not). Written as KtJoin writes. */
static inline size_t KtServiceArguments(wchar_t *line, size_t size, const wchar_t *seconds, const wchar_t *textfile,
                                        const wchar_t *scenario, const wchar_t *listen, const wchar_t *config)
{
    const wchar_t *parts[] = {L"--service --watch ", seconds, L" --output \"", textfile, L"\"",
                              scenario ? L" --scenario \"" : L"", scenario ? scenario : L"", scenario ? L"\"" : L"",
                              listen ? L" --listen " : L"", listen ? listen : L"",
                              config ? L" --config \"" : L"", config ? config : L"", config ? L"\"" : L""};
    return KtJoin(line, size, parts, sizeof parts / sizeof *parts);
}

/* The service's command line: the program's full path in quotes, then its arguments. Written as
   KtJoin writes. */
static inline size_t KtServiceCommandLine(wchar_t *line, size_t size, const wchar_t *program, const wchar_t *seconds,
                                          const wchar_t *textfile, const wchar_t *scenario, const wchar_t *listen,
                                          const wchar_t *config)
{
    const wchar_t *parts[] = {L"\"", program, L"\" "};
    size_t start = KtJoin(line, size, parts, sizeof parts / sizeof *parts), rest;
    if (!start)
        return 0;
    rest = KtServiceArguments(line + start, size - start, seconds, textfile, scenario, listen, config);
    return rest ? start + rest : 0;
}

/* Restarts after a failure: 10 s, 10 s, then 60 s; the count starts again after a day. */
#define KT_RESTART_COUNT 3
static const unsigned long KT_RESTART_DELAYS_MS[KT_RESTART_COUNT] = {10000, 10000, 60000};
#define KT_FAILURE_RESET_SECONDS (24 * 60 * 60)

/* Where the MSI keeps INTERVAL and TEXTFILE (the 64-bit view on 64-bit Windows). A service
   with these settings beside it is the MSI's, which --install-service leaves alone. */
#define KT_SETTINGS_KEY L"SOFTWARE\\Kovaltherm"
#define KT_SETTINGS_TEXTFILE L"Textfile"

/* The sensor configuration's folder under %ProgramData% and its file there. The MSI makes the
   folder with KT_CONFIG_FOLDER_SDDL, the access of Program Files: only SYSTEM, the
   Administrators and TrustedInstaller may change it and what is made in it, users may read;
   the service reads its configuration only where only they can change it. */
#define KT_CONFIG_FOLDER L"Kovaltherm"
#define KT_CONFIG_FILE L"sensors.conf"
#define KT_CONFIG_FOLDER_SDDL                                                                    \
    L"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" KT_TRUSTED_INSTALLER_SID L")" \
    L"(A;OICI;FRFX;;;BU)"
/* TrustedInstaller, which owns much of the system's folders. */
#define KT_TRUSTED_INSTALLER_SID "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

/* The textfile when none is given: windows_exporter's textfile folder under the Program Files
   folder (the 64-bit one on 64-bit Windows), where its collector reads. */
#define KT_TEXTFILE_DEFAULT L"windows_exporter\\textfile_inputs\\kovaltherm.prom"

/* Longest textfile (or configuration) path, in UTF-16 units: shorter than MAX_PATH, so that
   every program that reads or removes it by path can. */
#define KT_TEXTFILE_MAX_LENGTH 259
/* windows_exporter's textfile collector reads only files ending so. */
#define KT_TEXTFILE_ENDING L".prom"
/* Characters a textfile's (or configuration's) path may not hold: % would be expanded by the service manager (the
   command line is an expandable string), " would end the quoted path, the rest are not allowed
   in Windows file names (: only after the drive letter). */
#define KT_TEXTFILE_REFUSED L"%\"*?<>|/:"
/* How every textfile the service writes begins: its first metric's help line. */
#define KT_TEXTFILE_START "# HELP kovaltherm_up "

/* What is wrong with a textfile's or configuration's path, if anything. */
enum KtPathProblem {
    KT_PATH_OK,
    KT_PATH_NOT_FULL,      /* not a full path on a drive, C:\... */
    KT_PATH_REFUSED,       /* holds a character of KT_TEXTFILE_REFUSED or a control character */
    KT_PATH_BAD_NAME,      /* an empty name, ".", "..", or a name ending in a space or a dot */
    KT_PATH_NOT_PROM,      /* the file's name does not end in .prom */
    KT_PATH_TOO_LONG,      /* longer than KT_TEXTFILE_MAX_LENGTH */
    KT_PATH_DEVICE         /* a name Windows takes for a device (COM1.prom is the port COM1) */
};

/* Whether the name of `length` characters at `name` is one Windows opens as a device, whatever
   follows its first dot and however its letters are cased: CON, PRN, AUX, NUL, CONIN$, CONOUT$,
   COM and LPT with a digit (0 to 9, or a superscript 1, 2 or 3). Spaces before the dot count as
   nothing, as Windows ignores them there. */
static inline int KtIsDeviceName(const wchar_t *name, size_t length)
{
    static const wchar_t *const plain[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
    wchar_t base[8];
    size_t size = 0, i;
    while (size < length && name[size] != L'.')
        ++size;
    while (size > 0 && name[size - 1] == L' ')
        --size;
    if (size < 3 || size > 7)
        return 0;
    for (i = 0; i < size; ++i)
        base[i] = name[i] >= L'A' && name[i] <= L'Z' ? (wchar_t)(name[i] | 0x20) : name[i];
    base[size] = 0;
    for (i = 0; i < sizeof plain / sizeof *plain; ++i)
        if (wcscmp(base, plain[i]) == 0)
            return 1;
    return size == 4 && (wcsncmp(base, L"com", 3) == 0 || wcsncmp(base, L"lpt", 3) == 0) &&
           ((base[3] >= L'0' && base[3] <= L'9') || base[3] == 0xB9 || base[3] == 0xB2 || base[3] == 0xB3);
}

/* Whether a name of the path `path`, full or not, is a device's (see KtIsDeviceName). */
static inline int KtNamesDevice(const wchar_t *path)
{
    const wchar_t *name = path, *c;
    for (c = path;; ++c)
        if (*c == 0 || *c == L'\\' || *c == L'/' || (*c == L':' && c == path + 1)) {
            if (KtIsDeviceName(name, (size_t)(c - name)))
                return 1;
            if (*c == 0)
                return 0;
            name = c + 1;
        }
}

/* Judges a path as given (neither made full nor looked up): KT_PATH_OK when the service can
   take it on its command line and open it under that name; with `ending` (KT_TEXTFILE_ENDING),
   the file's name must end so. */
static inline enum KtPathProblem KtPathShapeProblem(const wchar_t *path, const wchar_t *ending)
{
    size_t length, name = 3, endingLength = ending ? wcslen(ending) : 0, i;
    wchar_t drive = path[0] | 0x20;
    if (drive < L'a' || drive > L'z' || path[1] != L':' || path[2] != L'\\')
        return KT_PATH_NOT_FULL;
    for (length = 3;; ++length) {
        wchar_t c = path[length];
        if (c == 0 || c == L'\\') {
            /* The name from `name` to here: not empty, not ending in a space or a dot. */
            if (length == name || path[length - 1] == L' ' || path[length - 1] == L'.')
                return KT_PATH_BAD_NAME;
            if (KtIsDeviceName(path + name, length - name))
                return KT_PATH_DEVICE;
            if (c == 0)
                break;
            name = length + 1;
        } else if (c < 32 || wcschr(KT_TEXTFILE_REFUSED, c))
            return KT_PATH_REFUSED;
    }
    if (length > KT_TEXTFILE_MAX_LENGTH)
        return KT_PATH_TOO_LONG;
    if (!ending)
        return KT_PATH_OK;
    if (length - name <= endingLength)
        return KT_PATH_NOT_PROM;
    for (i = 0; i < endingLength; ++i) {
        wchar_t c = path[length - endingLength + i];
        if ((c >= L'A' && c <= L'Z' ? c | 0x20 : c) != ending[i])
            return KT_PATH_NOT_PROM;
    }
    return KT_PATH_OK;
}

/* Judges a textfile's path as given; KT_PATH_OK when the service can write it under that name. */
static inline enum KtPathProblem KtTextfilePathProblem(const wchar_t *path)
{
    return KtPathShapeProblem(path, KT_TEXTFILE_ENDING);
}

/* Judges the path of the sensor configuration given to the service (--config, the MSI's
   CONFIG_FILE) by the same rules but for the ending. */
static inline enum KtPathProblem KtConfigPathProblem(const wchar_t *path)
{
    return KtPathShapeProblem(path, NULL);
}

/* The rule a problem breaks, as a message's end: "must be ...". */
static inline const wchar_t *KtPathRule(enum KtPathProblem problem)
{
    switch (problem) {
    case KT_PATH_NOT_FULL: return L"must be a full path on a drive, such as C:\\folder\\name";
    case KT_PATH_REFUSED: return L"may not hold any of % \" * ? < > | / : (but the drive's) or control characters";
    case KT_PATH_BAD_NAME: return L"may not have an empty name, . or .., or a name ending in a space or a dot";
    case KT_PATH_NOT_PROM: return L"must name a .prom file, the only files windows_exporter reads";
    case KT_PATH_TOO_LONG: return L"must be at most " KT_NUMBER_TEXT(KT_TEXTFILE_MAX_LENGTH) L" characters long";
    case KT_PATH_DEVICE:
        return L"may not name a device (CON, PRN, AUX, NUL, COM0 to COM9, LPT0 to LPT9, with any ending), "
               L"which Windows opens instead of a file";
    case KT_PATH_OK: break;
    }
    return L"";
}

/* True when the first `length` bytes of a file are those of a textfile the service wrote. */
static inline int KtIsOurTextfile(const char *start, size_t length)
{
    size_t expected = sizeof KT_TEXTFILE_START - 1;
    return length >= expected && memcmp(start, KT_TEXTFILE_START, expected) == 0;
}

/* What is at a textfile's path. */
enum KtExisting {
    KT_EXISTING_NOTHING,   /* no file: the service makes it */
    KT_EXISTING_OURS,      /* a textfile the service wrote */
    KT_EXISTING_FOLDER,
    KT_EXISTING_OTHER,     /* a file of someone else's, a link or a device */
    KT_EXISTING_UNREADABLE /* something that cannot be opened to tell */
};

/* Why the service may not write a textfile's path because of what is there, or NULL when it may. */
static inline const wchar_t *KtExistingRule(enum KtExisting existing)
{
    switch (existing) {
    case KT_EXISTING_FOLDER: return L"is a folder: name a .prom file in it";
    case KT_EXISTING_OTHER: return L"is a file the service did not write: the service replaces only its own";
    case KT_EXISTING_UNREADABLE: return L"cannot be read to tell whether the service wrote it";
    case KT_EXISTING_NOTHING:
    case KT_EXISTING_OURS: break;
    }
    return NULL;
}

#endif
