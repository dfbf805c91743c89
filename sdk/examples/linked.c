/* Reads every sensor through the import library. */
#include <stdio.h>

#include "kovaltherm.h"

int main(void)
{
    int n = LMGetNumSensors(), i;
    printf("%d sensors\n", n);
    for (i = 0; i < n; ++i) {
        int t, status;
        if (LMReadTemperature(i, &t) && LMReadTempStatus(i, &status))
            printf("sensor %d: %d C, status %d\n", i, t, status);
    }
    return 0;
}
