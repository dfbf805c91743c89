using System;
using Kovaltherm;

static class ReadSensors
{
    static void Main()
    {
        try
        {
            foreach (SensorReading reading in Sensors.ReadSensors())
                Console.WriteLine(reading);
        }
        catch (KovalthermException error)
        {
            Console.WriteLine("no thermal sensors: " + error.Message + " (error " + error.NativeErrorCode + ")");
        }
    }
}
