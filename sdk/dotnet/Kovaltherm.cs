// Kovaltherm.dll from .NET: the thermal sensors of the notebook. One file in C# 7.2, so that
// .NET Framework 4.5 or later and .NET 6 or later compile it alike; the NuGet package carries
// it built as Kovaltherm.Net.dll (not Kovaltherm.dll, the native library's name).
//
//     foreach (SensorReading reading in Sensors.ReadSensors())
//         Console.WriteLine(reading);
//
// Every export is cdecl. .NET assumes StdCall on x86, which would leave the stack unbalanced
// after each call (PInvokeStackImbalance), so every declaration says Cdecl.
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Threading;
using System.Threading.Tasks;

namespace Kovaltherm
{
    /// <summary>A sensor's status, as LMReadTempStatus reports it. "No status" (no temperature
    /// was read, the limits are unreadable, or the call failed) is a null
    /// <see cref="SensorReading.Status"/>, never a value of this enum.</summary>
    public enum SensorStatus
    {
        /// <summary>Below the warning limit, or back below it.</summary>
        Normal = 1,
        /// <summary>Above the warning limit.</summary>
        Warning = 2,
        /// <summary>Above the warning limit when it was already reached, or at the critical
        /// limit.</summary>
        Critical = 3,
    }

    /// <summary>Kovaltherm.dll could not be used. <see cref="Win32Exception.NativeErrorCode"/>
    /// is the Windows error: <see cref="ErrorModNotFound"/> (the DLL is missing),
    /// <see cref="ErrorDllInitFailed"/> (Windows refused the DLL because the thermal driver
    /// could not be opened), <see cref="ErrorBadExeFormat"/> (the DLL of the other
    /// architecture), <see cref="ErrorProcNotFound"/> (an export is missing: not
    /// Kovaltherm.dll), or another error the loader gave.</summary>
    [Serializable]
    public class KovalthermException : Win32Exception
    {
        /// <summary>The DLL is missing (ERROR_MOD_NOT_FOUND).</summary>
        public const int ErrorModNotFound = 126;
        /// <summary>An export is missing: the DLL is not Kovaltherm.dll (ERROR_PROC_NOT_FOUND).</summary>
        public const int ErrorProcNotFound = 127;
        /// <summary>The DLL is of the other architecture (ERROR_BAD_EXE_FORMAT).</summary>
        public const int ErrorBadExeFormat = 193;
        /// <summary>Windows refused the DLL: the thermal driver is missing (ERROR_DLL_INIT_FAILED).</summary>
        public const int ErrorDllInitFailed = 1114;

        /// <summary>An exception for the Windows error <paramref name="error"/>, with its text.</summary>
        public KovalthermException(int error, string message) : base(error, message) { }

        /// <summary>Deserializes an exception.</summary>
        protected KovalthermException(SerializationInfo info, StreamingContext context) : base(info, context) { }
    }

    /// <summary>One sensor's reading, immutable, equal to another with the same values. A value
    /// is null when its call failed, never -1 or -100; <see cref="Status"/> is null for "no
    /// status".</summary>
    public sealed class SensorReading : IEquatable<SensorReading>
    {
        /// <summary>A reading of the sensor <paramref name="ordinal"/>.</summary>
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

        /// <summary>The sensor's ordinal, 0 to the sensor count - 1.</summary>
        public int Ordinal { get; }
        /// <summary>The location code (1 to 9), or null.</summary>
        public int? Location { get; }
        /// <summary>The temperature in degrees Celsius, or null when the controller gave none.</summary>
        public int? Temperature { get; }
        /// <summary>The warning limit in degrees Celsius, or null.</summary>
        public int? WarningLimit { get; }
        /// <summary>The critical limit in degrees Celsius, or null.</summary>
        public int? CriticalLimit { get; }
        /// <summary>The status, or null for "no status".</summary>
        public SensorStatus? Status { get; }

        /// <summary>True when every value is the same.</summary>
        public bool Equals(SensorReading other)
        {
            return !ReferenceEquals(other, null) && Ordinal == other.Ordinal && Location == other.Location &&
                   Temperature == other.Temperature && WarningLimit == other.WarningLimit &&
                   CriticalLimit == other.CriticalLimit && Status == other.Status;
        }

        /// <summary>True when <paramref name="other"/> is a reading with the same values.</summary>
        public override bool Equals(object other) { return Equals(other as SensorReading); }

        /// <summary>A hash of every value.</summary>
        public override int GetHashCode()
        {
            int hash = Ordinal;
            foreach (int? value in new[] { Location, Temperature, WarningLimit, CriticalLimit, (int?)Status })
                hash = unchecked(hash * 31 + (value.HasValue ? value.Value + 1 : 0));
            return hash;
        }

        /// <summary>True when both are null or have the same values.</summary>
        public static bool operator ==(SensorReading a, SensorReading b)
        {
            return ReferenceEquals(a, null) ? ReferenceEquals(b, null) : a.Equals(b);
        }

        /// <summary>False when both are null or have the same values.</summary>
        public static bool operator !=(SensorReading a, SensorReading b) { return !(a == b); }

        /// <summary>The values by name, null as "null".</summary>
        public override string ToString()
        {
            return "SensorReading(Ordinal=" + Ordinal + ", Location=" + Show(Location) +
                   ", Temperature=" + Show(Temperature) + ", WarningLimit=" + Show(WarningLimit) +
                   ", CriticalLimit=" + Show(CriticalLimit) +
                   ", Status=" + (Status.HasValue ? Status.Value.ToString() : "null") + ")";
        }

        private static string Show(int? value) { return value.HasValue ? value.Value.ToString() : "null"; }
    }

    /// <summary>The seven exports as the DLL has them. A query returns 1, or 0 on failure,
    /// and may leave a failure value (-1, -100) in its out-parameter.</summary>
    internal static class NativeMethods
    {
        // Kovaltherm.dll on Windows; elsewhere libkovaltherm.so, the same library over a
        // simulated notebook.
        internal const string Library = "kovaltherm";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int LMGetNumSensors();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int LMGetSensorLocation(int ordinal, out int location);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int LMReadTemperature(int ordinal, out int temperature);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int LMReadWarningLimit(int ordinal, out int limit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int LMReadCriticalLimit(int ordinal, out int limit);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int LMReadTempStatus(int ordinal, out int status);

        [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true)]
        internal static extern IntPtr LoadLibraryExW(string path, IntPtr file, uint flags);
    }

    /// <summary>Every present sensor, read through the exports.</summary>
    public static class Sensors
    {
        private delegate int Query(int ordinal, out int value);

        // LoadLibraryEx: a DLL given by full path has its own folder searched for what it needs.
        private const uint LoadWithAlteredSearchPath = 0x8;
        private static readonly object loadLock = new object();
        private static bool loaded;

        /// <summary>One reading per present sensor, in ordinal order; empty where the machine
        /// has no thermal support. Blocks the calling thread as the exports do: about 16 ms a
        /// sensor, and with a stuck controller about 4 s for each of its temperature and status
        /// reads; behind other programs' calls, up to 40 s for each call before it fails.
        /// Throws <see cref="KovalthermException"/> where the DLL cannot be used.</summary>
        public static IReadOnlyList<SensorReading> ReadSensors()
        {
            return Read(CancellationToken.None);
        }

        /// <summary><see cref="ReadSensors"/> on a thread of its own, so that the caller's
        /// thread never waits on the exports. Cancelling takes effect between two calls: a call
        /// under way is not interrupted, so the task ends up to one call's worst case (about
        /// 4 s, or 40 s behind other programs' calls) after the token is cancelled.</summary>
        public static Task<IReadOnlyList<SensorReading>> ReadSensorsAsync(CancellationToken cancellationToken)
        {
            // LongRunning: a dedicated thread, not one of the pool's, since a call can block
            // for seconds.
            return Task.Factory.StartNew(() => Read(cancellationToken), cancellationToken,
                                         TaskCreationOptions.LongRunning, TaskScheduler.Default);
        }

        /// <summary><see cref="ReadSensorsAsync(CancellationToken)"/> without cancellation.</summary>
        public static Task<IReadOnlyList<SensorReading>> ReadSensorsAsync()
        {
            return ReadSensorsAsync(CancellationToken.None);
        }

        // Every sensor, looking at the token before each call.
        private static IReadOnlyList<SensorReading> Read(CancellationToken token)
        {
            Load();
            token.ThrowIfCancellationRequested();
            int count = Call(NativeMethods.LMGetNumSensors);
            var readings = new List<SensorReading>(Math.Max(count, 0));
            for (int ordinal = 0; ordinal < count; ++ordinal)
            {
                int? location = Value(NativeMethods.LMGetSensorLocation, ordinal, token);
                int? temperature = Value(NativeMethods.LMReadTemperature, ordinal, token);
                int? warning = Value(NativeMethods.LMReadWarningLimit, ordinal, token);
                int? critical = Value(NativeMethods.LMReadCriticalLimit, ordinal, token);
                int? status = Value(NativeMethods.LMReadTempStatus, ordinal, token);
                bool known = status.HasValue && Enum.IsDefined(typeof(SensorStatus), status.Value);
                readings.Add(new SensorReading(ordinal, location, temperature, warning, critical,
                                               known ? (SensorStatus?)status.Value : null));
            }
            return readings;
        }

        // The value a query wrote when it succeeded, else null.
        private static int? Value(Query query, int ordinal, CancellationToken token)
        {
            token.ThrowIfCancellationRequested();
            int value = 0;
            return Call(() => query(ordinal, out value)) != 0 ? value : (int?)null;
        }

        // Runs an export, turning the runtime's loader exceptions into KovalthermException.
        private static int Call(Func<int> export)
        {
            try
            {
                return export();
            }
            catch (DllNotFoundException error)
            {
                throw new KovalthermException(KovalthermException.ErrorModNotFound,
                                              "Kovaltherm.dll could not be loaded: " + error.Message);
            }
            catch (EntryPointNotFoundException error)
            {
                throw new KovalthermException(KovalthermException.ErrorProcNotFound,
                                              "the library is not Kovaltherm.dll: " + error.Message);
            }
            catch (BadImageFormatException error)
            {
                throw new KovalthermException(KovalthermException.ErrorBadExeFormat,
                                              "Kovaltherm.dll is of the other architecture: " + error.Message);
            }
        }

        // On Windows, loads the Kovaltherm.dll of the process's architecture before the first
        // export binds to it by name: by full path from x86\ or x64\ beside the program (as the
        // NuGet package copies them for AnyCPU programs), else runtimes\win-x86\native\ or
        // runtimes\win-x64\native\, else beside the program; where none is there, by name
        // through the DLL search. So a DLL that does not load fails here with the loader's own
        // error (126, 1114, 193). Elsewhere the runtime loads libkovaltherm.so by name.
        private static void Load()
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT)
                return;
            lock (loadLock)
            {
                if (loaded)
                    return;
                string architecture = IntPtr.Size == 8 ? "x64" : "x86";
                string folder = AppDomain.CurrentDomain.BaseDirectory;
                string path = "Kovaltherm.dll";
                foreach (string candidate in new[] {
                    Path.Combine(folder, architecture, path),
                    Path.Combine(folder, "runtimes", "win-" + architecture, "native", path),
                    Path.Combine(folder, path) })
                {
                    if (File.Exists(candidate))
                    {
                        path = candidate;
                        break;
                    }
                }
                uint flags = Path.IsPathRooted(path) ? LoadWithAlteredSearchPath : 0;
                if (NativeMethods.LoadLibraryExW(path, IntPtr.Zero, flags) == IntPtr.Zero)
                {
                    int error = Marshal.GetLastWin32Error();
                    throw new KovalthermException(error, path + " did not load (error " + error + ")" +
                        (error == KovalthermException.ErrorDllInitFailed ? ": the thermal driver could not be opened" :
                         error == KovalthermException.ErrorBadExeFormat ? ": it is not a " + architecture + " DLL" : ""));
                }
                loaded = true;
            }
        }
    }
}
