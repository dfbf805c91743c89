// Reads every sensor's temperature and status through the import library, from C++.
#include <iostream>

#include "kovaltherm.h"

int main()
{
    int n = LMGetNumSensors();
    std::cout << n << " sensors\n";
    for (int i = 0; i < n; ++i) {
        int t, status;
        if (LMReadTemperature(i, &t) && LMReadTempStatus(i, &status))
            std::cout << "sensor " << i << ": " << t << " C, status " << status << "\n";
    }
}
