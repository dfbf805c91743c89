/* The Windows service as both of its installers set it up, ktsensors.exe --install-service and
   the MSI's custom actions (packaging/msi/setup_actions.c): its names, its command line, its
   restarts after a failure, the settings that mark a service the MSI installed, its default
   textfile and the rules a textfile must meet. Plain C, so that the custom actions include it
   too; the part that looks at the disk is for Windows only. */
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

/* The service's command line: the program's full path in quotes, --service --watch SECONDS
   --output "TEXTFILE", then --scenario "FILE" and --listen ADDRESS when given (NULL: not).
   Written into `line`, `size` characters with the final null; its length, or 0 when it does not
   fit. */
static inline size_t KtServiceCommandLine(wchar_t *line, size_t size, const wchar_t *program, const wchar_t *seconds,
                                          const wchar_t *textfile, const wchar_t *scenario, const wchar_t *listen)
{
    const wchar_t *parts[] = {L"\"", program, L"\" --service --watch ", seconds, L" --output \"", textfile, L"\"",
                              scenario ? L" --scenario \"" : L"", scenario ? scenario : L"", scenario ? L"\"" : L"",
                              listen ? L" --listen " : L"", listen ? listen : L""};
    size_t length = 0, i, part;
    for (i = 0; i < sizeof parts / sizeof *parts; ++i) {
        part = wcslen(parts[i]);
        if (length + part >= size)
            return 0;
        memcpy(line + length, parts[i], part * sizeof(wchar_t));
        length += part;
    }
    line[length] = 0;
    return length;
}

/* Restarts after a failure: 10 s, 10 s, then 60 s; the count starts again after a day. */
#define KT_RESTART_COUNT 3
static const unsigned long KT_RESTART_DELAYS_MS[KT_RESTART_COUNT] = {10000, 10000, 60000};
#define KT_FAILURE_RESET_SECONDS (24 * 60 * 60)

/* Where the MSI keeps INTERVAL and TEXTFILE (the 64-bit view on 64-bit Windows). A service
   with these settings beside it is the MSI's, which --install-service leaves alone. */
#define KT_SETTINGS_KEY L"SOFTWARE\\Kovaltherm"
#define KT_SETTINGS_TEXTFILE L"Textfile"

/* The textfile when none is given: windows_exporter's textfile folder under the Program Files
   folder (the 64-bit one on 64-bit Windows), where its collector reads. */
#define KT_TEXTFILE_DEFAULT L"windows_exporter\\textfile_inputs\\kovaltherm.prom"

/* Longest textfile path, in UTF-16 units: shorter than MAX_PATH, so that every program that
   reads or removes it by path can. */
#define KT_TEXTFILE_MAX_LENGTH 259
/* windows_exporter's textfile collector reads only files ending so. */
#define KT_TEXTFILE_ENDING L".prom"
/* Characters a textfile's path may not hold: % would be expanded by the service manager (the
   command line is an expandable string), " would end the quoted path, the rest are not allowed
   in Windows file names (: only after the drive letter). */
#define KT_TEXTFILE_REFUSED L"%\"*?<>|/:"
/* How every textfile the service writes begins: its first metric's help line. */
#define KT_TEXTFILE_START "# HELP kovaltherm_up "

/* What is wrong with a textfile's path, if anything. */
enum KtPathProblem {
    KT_PATH_OK,
    KT_PATH_NOT_FULL,      /* not a full path on a drive, C:\... */
    KT_PATH_REFUSED,       /* holds a character of KT_TEXTFILE_REFUSED or a control character */
    KT_PATH_BAD_NAME,      /* an empty name, ".", "..", or a name ending in a space or a dot */
    KT_PATH_NOT_PROM,      /* the file's name does not end in .prom */
    KT_PATH_TOO_LONG       /* longer than KT_TEXTFILE_MAX_LENGTH */
};

/* Judges a textfile's path as given (neither made full nor looked up); KT_PATH_OK when the
   service can write it under that name. */
static inline enum KtPathProblem KtTextfilePathProblem(const wchar_t *path)
{
    size_t length, name = 3, ending = sizeof KT_TEXTFILE_ENDING / sizeof(wchar_t) - 1, i;
    wchar_t drive = path[0] | 0x20;
    if (drive < L'a' || drive > L'z' || path[1] != L':' || path[2] != L'\\')
        return KT_PATH_NOT_FULL;
    for (length = 3;; ++length) {
        wchar_t c = path[length];
        if (c == 0 || c == L'\\') {
            /* The name from `name` to here: not empty, not ending in a space or a dot. */
            if (length == name || path[length - 1] == L' ' || path[length - 1] == L'.')
                return KT_PATH_BAD_NAME;
            if (c == 0)
                break;
            name = length + 1;
        } else if (c < 32 || wcschr(KT_TEXTFILE_REFUSED, c))
            return KT_PATH_REFUSED;
    }
    if (length > KT_TEXTFILE_MAX_LENGTH)
        return KT_PATH_TOO_LONG;
    if (length - name <= ending)
        return KT_PATH_NOT_PROM;
    for (i = 0; i < ending; ++i) {
        wchar_t c = path[length - ending + i];
        if ((c >= L'A' && c <= L'Z' ? c | 0x20 : c) != KT_TEXTFILE_ENDING[i])
            return KT_PATH_NOT_PROM;
    }
    return KT_PATH_OK;
}

/* The rule a problem breaks, as a message's end: "must be ...". */
static inline const wchar_t *KtPathRule(enum KtPathProblem problem)
{
    switch (problem) {
    case KT_PATH_NOT_FULL: return L"must be a full path on a drive, such as C:\\folder\\kovaltherm.prom";
    case KT_PATH_REFUSED: return L"may not hold any of % \" * ? < > | / : (but the drive's) or control characters";
    case KT_PATH_BAD_NAME: return L"may not have an empty name, . or .., or a name ending in a space or a dot";
    case KT_PATH_NOT_PROM: return L"must name a .prom file, the only files windows_exporter reads";
    case KT_PATH_TOO_LONG: return L"must be at most " KT_NUMBER_TEXT(KT_TEXTFILE_MAX_LENGTH) L" characters long";
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

#ifdef _WIN32
#include <windows.h>

/* What is at a textfile's path. */
enum KtExisting {
    KT_EXISTING_NOTHING,   /* no file: the service makes it */
    KT_EXISTING_OURS,      /* a textfile the service wrote */
    KT_EXISTING_FOLDER,
    KT_EXISTING_OTHER,     /* a file of someone else's, or a link to one */
    KT_EXISTING_UNREADABLE /* something that cannot be opened to tell */
};

/* Looks at what is at `path`: nothing, one of our textfiles (by its first bytes, read through
   a link as any reader would), a folder, or something else. */
static inline enum KtExisting KtWhatIsAt(const wchar_t *path)
{
    char start[sizeof KT_TEXTFILE_START];
    DWORD got = 0, code;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL read;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? KT_EXISTING_NOTHING
                                                                           : KT_EXISTING_UNREADABLE;
    }
    if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(file);
        return KT_EXISTING_FOLDER;
    }
    read = ReadFile(file, start, sizeof start, &got, NULL);
    CloseHandle(file);
    if (!read)
        return KT_EXISTING_UNREADABLE;
    return KtIsOurTextfile(start, got) ? KT_EXISTING_OURS : KT_EXISTING_OTHER;
}

/* Why the service may not write `path` because of what is there, or NULL when it may. */
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

#endif
