/* Prints an INF file as the Windows setup API reads it, one record a line,
   fields separated by tabs, in UTF-8, for the package tests to check:
     section <name>
     line    <section> <key> <field 1> <field 2> ...   (strings substituted)
     models  <manufacturer> <models section>           (each platform decoration present)
     device  <models section> <hardware id> <install section> <section to install>
   Exit status 0 when the file opened; 2 with a message otherwise. */
#include <windows.h>
#include <setupapi.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#define TEXT_CAPACITY 4096

static void PutText(const WCHAR *text)
{
    char utf8[TEXT_CAPACITY * 3];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, (int)sizeof utf8, NULL, NULL);
    if (length <= 0) {
        fputs("<unreadable>", stdout);
        return;
    }
    /* A tab or line break inside a value would split the record. */
    for (char *c = utf8; *c != '\0'; ++c)
        if (*c == '\t' || *c == '\r' || *c == '\n')
            *c = ' ';
    fputs(utf8, stdout);
}

static void PutField(const WCHAR *text)
{
    fputc('\t', stdout);
    PutText(text);
}

/* Field `index` of the line (0 is the key), strings substituted; empty when
   the line has no such field. */
static void Field(INFCONTEXT *line, DWORD index, WCHAR *text)
{
    if (!SetupGetStringFieldW(line, index, text, TEXT_CAPACITY, NULL))
        text[0] = L'\0';
}

static void PrintSection(HINF inf, const WCHAR *section)
{
    fputs("section", stdout);
    PutField(section);
    fputc('\n', stdout);
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, section, NULL, &line))
        return;
    do {
        WCHAR text[TEXT_CAPACITY];
        fputs("line", stdout);
        PutField(section);
        /* Field 0 is the key; the setup API gives a line without an equals
           sign its first value there too. */
        Field(&line, 0, text);
        PutField(text);
        const DWORD fields = SetupGetFieldCount(&line);
        for (DWORD i = 1; i <= fields; ++i) {
            Field(&line, i, text);
            PutField(text);
        }
        fputc('\n', stdout);
    } while (SetupFindNextLine(&line, &line));
}

/* Each device of a models section with the section the setup API installs
   for this platform. */
static void PrintDevices(HINF inf, const WCHAR *models)
{
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, models, NULL, &line))
        return;
    do {
        WCHAR install[TEXT_CAPACITY], actual[TEXT_CAPACITY];
        Field(&line, 1, install);
        if (!SetupDiGetActualSectionToInstallW(inf, install, actual, TEXT_CAPACITY, NULL, NULL))
            actual[0] = L'\0';
        const DWORD fields = SetupGetFieldCount(&line);
        for (DWORD i = 2; i <= fields; ++i) {
            WCHAR id[TEXT_CAPACITY];
            Field(&line, i, id);
            fputs("device", stdout);
            PutField(models);
            PutField(id);
            PutField(install);
            PutField(actual);
            fputc('\n', stdout);
        }
    } while (SetupFindNextLine(&line, &line));
}

/* The models sections the manufacturer names: its base name with each
   platform decoration that has a section. */
static void PrintModels(HINF inf)
{
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", NULL, &line))
        return;
    do {
        WCHAR manufacturer[TEXT_CAPACITY], base[TEXT_CAPACITY];
        Field(&line, 0, manufacturer);
        Field(&line, 1, base);
        const DWORD fields = SetupGetFieldCount(&line);
        for (DWORD i = 2; i <= fields; ++i) {
            WCHAR decoration[TEXT_CAPACITY], models[2 * TEXT_CAPACITY + 1];
            Field(&line, i, decoration);
            _snwprintf(models, sizeof models / sizeof models[0], L"%ls.%ls", base, decoration);
            models[sizeof models / sizeof models[0] - 1] = L'\0';
            if (SetupGetLineCountW(inf, models) < 0)
                continue;
            fputs("models", stdout);
            PutField(manufacturer);
            PutField(models);
            fputc('\n', stdout);
            PrintDevices(inf, models);
        }
    } while (SetupFindNextLine(&line, &line));
}

int wmain(int argc, WCHAR **argv)
{
    if (argc != 2) {
        fputs("usage: InfRead <file.inf>\n", stderr);
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY); /* records end in \n alone */
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(argv[1], NULL, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open the INF: error %lu at line %u\n", GetLastError(), errorLine);
        return 2;
    }
    WCHAR section[TEXT_CAPACITY];
    for (UINT index = 0; SetupEnumInfSectionsW(inf, index, section, TEXT_CAPACITY, NULL); ++index)
        PrintSection(inf, section);
    PrintModels(inf);
    SetupCloseInfFile(inf);
    return fflush(stdout) == 0 ? 0 : 2;
}
