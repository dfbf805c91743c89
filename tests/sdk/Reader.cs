// Reads the sensors through the Kovaltherm wrapper (ReadSensorsAsync) once per scenario file
// given, loading each after the first (which the library loaded itself) into the simulated
// notebook; prints one line per sensor: step, ordinal, location, temperature, limits, status
// ("-" for null); or "unavailable", the error code and the message where the library cannot be
// used. With --equality instead, compares readings that differ in one value each.
using System;
using System.Runtime.InteropServices;
using System.Threading;
using Kovaltherm;

static class Reader
{
    [DllImport("kovaltherm", CallingConvention = CallingConvention.Cdecl)]
    static extern int KovalthermSimLoadScenario(string path);

    static string Show(int? value) { return value.HasValue ? value.Value.ToString() : "-"; }

    // "equal" or "different" for each reading against the first, when Equals, Equals(object),
    // == and != agree (and equal readings hash alike); else "inconsistent".
    static void CompareReadings()
    {
        var readings = new[] {
            new SensorReading(0, 2, 55, 90, 98, SensorStatus.Normal),
            new SensorReading(0, 2, 55, 90, 98, SensorStatus.Normal),
            new SensorReading(1, 2, 55, 90, 98, SensorStatus.Normal),
            new SensorReading(0, null, 55, 90, 98, SensorStatus.Normal),
            new SensorReading(0, 2, 56, 90, 98, SensorStatus.Normal),
            new SensorReading(0, 2, 55, null, 98, SensorStatus.Normal),
            new SensorReading(0, 2, 55, 90, 97, SensorStatus.Normal),
            new SensorReading(0, 2, 55, 90, 98, null),
            null,
        };
        SensorReading first = readings[0];
        foreach (SensorReading r in readings)
        {
            bool equal = first.Equals(r);
            bool agree = equal == first.Equals((object)r) && equal == (first == r) && equal == (r == first) &&
                         equal != (first != r) && (!equal || first.GetHashCode() == r.GetHashCode());
            Console.WriteLine(agree ? (equal ? "equal" : "different") : "inconsistent");
        }
    }

    static int Main(string[] scenarios)
    {
        if (scenarios.Length == 1 && scenarios[0] == "--equality")
        {
            CompareReadings();
            return 0;
        }
        for (int step = 0; step < scenarios.Length; ++step)
        {
            try
            {
                if (step > 0 && KovalthermSimLoadScenario(scenarios[step]) == 0)
                    return 1;
                foreach (SensorReading r in Sensors.ReadSensorsAsync(CancellationToken.None).GetAwaiter().GetResult())
                    Console.WriteLine(string.Join(" ", step, r.Ordinal, Show(r.Location), Show(r.Temperature),
                                                  Show(r.WarningLimit), Show(r.CriticalLimit), Show((int?)r.Status)));
            }
            catch (KovalthermException error)
            {
                Console.WriteLine("unavailable " + error.NativeErrorCode + " " + error.Message);
                return 0;
            }
        }
        return 0;
    }
}
