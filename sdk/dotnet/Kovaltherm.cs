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
using System.Linq;
using System.Runtime.CompilerServices;
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

        // libkovaltherm.so only: why its simulated notebook is not running ("" while it runs),
        // and a scenario file to run instead.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr KovalthermSimProblem();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int KovalthermSimLoadScenario(string path);
    }

    /// <summary>Every present sensor, read through the exports.</summary>
    public static class Sensors
    {
        private delegate int Query(int ordinal, out int value);

        // LoadLibraryEx: a DLL given by full path has its own folder searched for what it needs.
        private const uint LoadWithAlteredSearchPath = 0x8;
        // The variable naming libkovaltherm.so's simulated notebook: a scenario file, or the name
        // of one in a scenarios folder beside the library.
        private const string ScenarioVariable = "KOVALTHERM_SCENARIO";
        private const string LinuxLibrary = "libkovaltherm.so";
        private static readonly object loadLock = new object();
        private static bool loaded;

        /// <summary>One reading per present sensor, in ordinal order; empty where the machine
        /// has no thermal support. Blocks the calling thread as the exports do: about 16 ms a
        /// sensor, and with a stuck controller about 4 s for each of its temperature and status
        /// reads; behind other programs' calls, up to 40 s for each call before it fails.
        /// Throws <see cref="KovalthermException"/> where the DLL cannot be used.</summary>
        public static IReadOnlyList<SensorReading> ReadSensors()
        {
            Load();
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
            return Task.Factory.StartNew(() => { Load(); return Read(cancellationToken); }, cancellationToken,
                                         TaskCreationOptions.LongRunning, TaskScheduler.Default);
        }

        /// <summary><see cref="ReadSensorsAsync(CancellationToken)"/> without cancellation.</summary>
        public static Task<IReadOnlyList<SensorReading>> ReadSensorsAsync()
        {
            return ReadSensorsAsync(CancellationToken.None);
        }

        // Every sensor, looking at the token before each call, once Load() has run: Mono loads
        // the native library as it compiles this method.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static IReadOnlyList<SensorReading> Read(CancellationToken token)
        {
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
            catch (DllNotFoundException)
            {
                throw NotFound();
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

        // The folders the runtime looks in for libkovaltherm.so before the system's library
        // folders: the wrapper's and the program's, then LD_LIBRARY_PATH's.
        private static List<string> LinuxFolders()
        {
            var folders = new List<string> {
                Path.GetDirectoryName(typeof(Sensors).Assembly.Location),
                AppDomain.CurrentDomain.BaseDirectory.TrimEnd(Path.DirectorySeparatorChar) };
            foreach (string folder in (Environment.GetEnvironmentVariable("LD_LIBRARY_PATH") ?? "").Split(':'))
                if (folder.Length > 0)
                    folders.Add(folder);
            return folders.FindAll(f => !string.IsNullOrEmpty(f)).ConvertAll(Path.GetFullPath).Distinct().ToList();
        }

        // The library is missing, or one that is there did not load: which file, and where it
        // was looked for.
        private static KovalthermException NotFound()
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
                return new KovalthermException(KovalthermException.ErrorModNotFound,
                    "Kovaltherm.dll was not found: looked in " + string.Join(", ", WindowsCandidates()) +
                    ", then the DLL search path");
            List<string> folders = LinuxFolders();
            string found = folders.Find(f => File.Exists(Path.Combine(f, LinuxLibrary)));
            return new KovalthermException(KovalthermException.ErrorModNotFound, found != null
                ? Path.Combine(found, LinuxLibrary) + " did not load: a library it needs is missing, or it is not " +
                  "for this machine's architecture"
                : LinuxLibrary + " was not found: looked in " + string.Join(", ", folders) +
                  ", then the system's library folders (ld.so.cache, /lib, /usr/lib)");
        }

        // Where Kovaltherm.dll of the process's architecture is looked for, in order: x86\ or
        // x64\ beside the program (as the NuGet package copies them for AnyCPU programs), then
        // runtimes\win-x86\native\ or runtimes\win-x64\native\, then beside the program.
        private static string[] WindowsCandidates()
        {
            string architecture = IntPtr.Size == 8 ? "x64" : "x86";
            string folder = AppDomain.CurrentDomain.BaseDirectory;
            return new[] {
                Path.Combine(folder, architecture, "Kovaltherm.dll"),
                Path.Combine(folder, "runtimes", "win-" + architecture, "native", "Kovaltherm.dll"),
                Path.Combine(folder, "Kovaltherm.dll") };
        }

        // On Windows, loads the Kovaltherm.dll of the process's architecture before the first
        // export binds to it by name: by full path from the first of WindowsCandidates() that
        // is there; where none is, by name through the DLL search. So a DLL that does not load
        // fails here with the loader's own error (126, 1114, 193). Elsewhere the runtime loads
        // libkovaltherm.so by name (LoadSimulated).
        private static void Load()
        {
            lock (loadLock)
            {
                if (loaded)
                    return;
                if (Environment.OSVersion.Platform != PlatformID.Win32NT)
                {
                    LoadSimulated();
                    loaded = true;
                    return;
                }
                string architecture = IntPtr.Size == 8 ? "x64" : "x86";
                string path = Array.Find(WindowsCandidates(), File.Exists) ?? "Kovaltherm.dll";
                uint flags = Path.IsPathRooted(path) ? LoadWithAlteredSearchPath : 0;
                if (NativeMethods.LoadLibraryExW(path, IntPtr.Zero, flags) == IntPtr.Zero)
                {
                    int error = Marshal.GetLastWin32Error();
                    if (error == KovalthermException.ErrorModNotFound && !Path.IsPathRooted(path))
                        throw NotFound();
                    throw new KovalthermException(error, path + " did not load (error " + error + ")" +
                        (error == KovalthermException.ErrorDllInitFailed ? ": the thermal driver could not be opened" :
                         error == KovalthermException.ErrorBadExeFormat ? ": it is not a " + architecture + " DLL" : ""));
                }
                loaded = true;
            }
        }

        // libkovaltherm.so, as Python's package takes it: KOVALTHERM_SCENARIO may name one of
        // the scenarios carried beside the library (scenarios/NAME.json) instead of a file; one
        // that is neither fails, and so does a simulated notebook that did not start (an
        // unusable registry file or scenario), where the exports could only answer 0.
        private static void LoadSimulated()
        {
            string scenario = Environment.GetEnvironmentVariable(ScenarioVariable);
            string file = null;
            if (!string.IsNullOrEmpty(scenario) && !File.Exists(scenario))
            {
                List<string> folders = LinuxFolders().ConvertAll(f => Path.Combine(f, "scenarios"));
                var names = new SortedSet<string>();
                foreach (string folder in folders.FindAll(Directory.Exists))
                    foreach (string carried in Directory.GetFiles(folder, "*.json"))
                        names.Add(Path.GetFileNameWithoutExtension(carried));
                if (Path.GetFileName(scenario) == scenario)
                    file = folders.ConvertAll(f => Path.Combine(f, scenario + ".json")).Find(File.Exists);
                if (file == null)
                    throw new KovalthermException(KovalthermException.ErrorDllInitFailed, ScenarioVariable + "=" +
                        scenario + ": no such scenario file, nor one of " +
                        (names.Count > 0 ? string.Join(", ", names) : "none") + " (in " + string.Join(", ", folders) + ")");
                // Read by the library as it loads, where the runtime passes it on (Mono does);
                // else the scenario is loaded below.
                Environment.SetEnvironmentVariable(ScenarioVariable, file);
            }
            string problem = Problem();
            if (problem.Length > 0 && file != null && LoadScenario(file))
                problem = Problem();
            if (problem.Length > 0)
                throw new KovalthermException(KovalthermException.ErrorDllInitFailed,
                                              LinuxLibrary + " has no simulated notebook: " + problem);
        }

        // Loads a scenario file into libkovaltherm.so's notebook; false when it refused it.
        // The native calls are in methods of their own, compiled only when first called: Mono
        // loads a method's native library as it compiles the method, and the library must see
        // KOVALTHERM_SCENARIO as LoadSimulated sets it.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static bool LoadScenario(string file)
        {
            return NativeMethods.KovalthermSimLoadScenario(file) != 0;
        }

        // Why libkovaltherm.so's notebook is not running, "" while it runs.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static string Problem()
        {
            try
            {
                return Marshal.PtrToStringAnsi(NativeMethods.KovalthermSimProblem()) ?? "";
            }
            catch (DllNotFoundException)
            {
                throw NotFound();
            }
            catch (EntryPointNotFoundException error)
            {
                throw new KovalthermException(KovalthermException.ErrorProcNotFound,
                                              "the library is not libkovaltherm.so: " + error.Message);
            }
        }
    }
}
