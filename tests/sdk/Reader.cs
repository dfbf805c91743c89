// Reads the sensors through Kovaltherm.cs once per scenario file given, loading each after
// the first (which the library loaded itself) into the simulated notebook; prints one line
// per sensor: step, ordinal, location, temperature, limits, status ("-" for null).
using System;
using System.Runtime.InteropServices;
using Kovaltherm;

static class Reader
{
    [DllImport(NativeMethods.Library, CallingConvention = CallingConvention.Cdecl)]
    static extern int KovalthermSimLoadScenario(string path);

    static string Show(int? value) { return value.HasValue ? value.Value.ToString() : "-"; }

    static int Main(string[] scenarios)
    {
        for (int step = 0; step < scenarios.Length; ++step)
        {
            try
            {
                if (step > 0 && KovalthermSimLoadScenario(scenarios[step]) == 0)
                    return 1;
                foreach (SensorReading r in Sensors.ReadSensors())
                    Console.WriteLine(string.Join(" ", step, r.Ordinal, Show(r.Location), Show(r.Temperature),
                                                  Show(r.WarningLimit), Show(r.CriticalLimit), Show((int?)r.Status)));
            }
            catch (DllNotFoundException)
            {
                Console.WriteLine("unavailable DllNotFoundException");
                return 0;
            }
        }
        return 0;
    }
}
