// Kovaltherm.dll from .NET: the thermal sensors of the notebook. One file in C# 7.3, so that
// .NET Framework 4.x and .NET 6 or later compile it alike.
//
//     foreach (SensorReading reading in Sensors.ReadSensors())
//         Console.WriteLine(reading);
//
// Every export is cdecl. .NET assumes StdCall on x86, which would leave the stack unbalanced
// after each call (PInvokeStackImbalance), so every declaration says Cdecl. The process's
// architecture picks the DLL: put the Kovaltherm.dll of that architecture beside the program.
// Where it cannot be loaded (it is missing, or the thermal driver is, and Windows then
// refuses it) the first call throws DllNotFoundException.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Kovaltherm
{
    /// <summary>A sensor's status, as LMReadTempStatus reports it.</summary>
    public enum SensorStatus
    {
        /// <summary>No status: no temperature was read, or the limits are unreadable.</summary>
        None = 0,
        Normal = 1,
        Warning = 2,
        Critical = 3,
    }

    /// <summary>One sensor; a value is null when its call failed, never -1 or -100.</summary>
    public sealed class SensorReading
    {
        public SensorReading(int ordinal, int? location, int? temperature, int? warningLimit,
                             int? criticalLimit, SensorStatus? status)
        {
            Ordinal = ordinal;
            Location = location;
            Temperature = temperature;
            WarningLimit = warningLimit;
            CriticalLimit = criticalLimit;
            Status = status;
        }

        public int Ordinal { get; }
        public int? Location { get; }
        public int? Temperature { get; }
        public int? WarningLimit { get; }
        public int? CriticalLimit { get; }
        public SensorStatus? Status { get; }

        public override string ToString()
        {
            return "SensorReading(Ordinal=" + Ordinal + ", Location=" + Show(Location) +
                   ", Temperature=" + Show(Temperature) + ", WarningLimit=" + Show(WarningLimit) +
                   ", CriticalLimit=" + Show(CriticalLimit) +
                   ", Status=" + (Status.HasValue ? Status.Value.ToString() : "null") + ")";
        }

        private static string Show(int? value)
        {
            return value.HasValue ? value.Value.ToString() : "null";
        }
    }

    /// <summary>The seven exports as the DLL has them. A query returns 1, or 0 on failure,
    /// and may leave a failure value (-1, -100) in its out-parameter.</summary>
    public static class NativeMethods
    {
        /// <summary>Kovaltherm.dll on Windows; elsewhere libkovaltherm.so, the same library
        /// over a simulated notebook.</summary>
        public const string Library = "kovaltherm";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int LMGetNumSensors();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int LMGetSensorLocation(int ordinal, out int location);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int LMReadTemperature(int ordinal, out int temperature);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int LMReadWarningLimit(int ordinal, out int limit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int LMReadCriticalLimit(int ordinal, out int limit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int LMReadTempStatus(int ordinal, out int status);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ShutdownLibrary();
    }

    /// <summary>Every present sensor, read through the exports.</summary>
    public static class Sensors
    {
        private delegate int Query(int ordinal, out int value);

        /// <summary>One reading per present sensor, in ordinal order. Throws
        /// DllNotFoundException where the DLL cannot be loaded.</summary>
        public static IReadOnlyList<SensorReading> ReadSensors()
        {
            int count = NativeMethods.LMGetNumSensors();
            var readings = new List<SensorReading>(Math.Max(count, 0));
            for (int ordinal = 0; ordinal < count; ++ordinal)
            {
                int? location = Value(NativeMethods.LMGetSensorLocation, ordinal);
                int? temperature = Value(NativeMethods.LMReadTemperature, ordinal);
                int? warning = Value(NativeMethods.LMReadWarningLimit, ordinal);
                int? critical = Value(NativeMethods.LMReadCriticalLimit, ordinal);
                int? status = Value(NativeMethods.LMReadTempStatus, ordinal);
                readings.Add(new SensorReading(ordinal, location, temperature, warning, critical,
                                               status.HasValue ? (SensorStatus?)status.Value : null));
            }
            return readings;
        }

        // The value a query wrote when it succeeded, else null.
        private static int? Value(Query query, int ordinal)
        {
            int value;
            return query(ordinal, out value) != 0 ? value : (int?)null;
        }
    }
}
