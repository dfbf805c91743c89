/* Loads Kovaltherm.dll at run time, so that the program also runs where the DLL cannot load
   (no thermal driver): it then goes on without temperatures. */
#include <stdio.h>
#include <windows.h>

typedef int(__cdecl *CountFunction)(void);
typedef int(__cdecl *ReadFunction)(int, int *);

int main(void)
{
    HMODULE lib = LoadLibraryA("Kovaltherm.dll");
    CountFunction getNumSensors;
    ReadFunction readTemperature;
    int n, i;

    if (!lib) {
        printf("no thermal sensors (Kovaltherm.dll did not load: error %lu)\n",
               (unsigned long)GetLastError());
        return 0;
    }
    getNumSensors = (CountFunction)(void (*)(void))GetProcAddress(lib, "LMGetNumSensors");
    readTemperature = (ReadFunction)(void (*)(void))GetProcAddress(lib, "LMReadTemperature");
    if (!getNumSensors || !readTemperature) {
        FreeLibrary(lib);
        return 1;
    }
    n = getNumSensors();
    printf("%d sensors\n", n);
    for (i = 0; i < n; ++i) {
        int t;
        if (readTemperature(i, &t))
            printf("sensor %d: %d C\n", i, t);
    }
    FreeLibrary(lib);
    return 0;
}
