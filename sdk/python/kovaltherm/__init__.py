"""Kovaltherm.dll from Python: the thermal sensors of the notebook.

    import kovaltherm

    for reading in kovaltherm.read_sensors():
        print(reading)

read_sensors() returns one SensorReading per present sensor, with None for each value whose
call failed, and None as the status for "no status". sensors_temperatures() gives the same
readings in psutil's shape. Library offers the seven exports one by one. Where the DLL cannot
be loaded (it is missing, or the thermal driver is, and Windows then refuses the DLL) they
raise KovalthermError, which carries the Windows error code.

On Windows the package loads the Kovaltherm.dll its wheel carries, of the interpreter's
architecture, with the cdecl calling convention (ctypes.CDLL) that every export uses. On
Linux it loads libkovaltherm.so, the same library over a simulated notebook, and only when a
scenario was asked for (KOVALTHERM_SCENARIO, or simulate()), so that simulated sensors are
never taken for the machine's own.
"""

from __future__ import annotations

import ctypes
import enum
import errno
import operator
import os
import sys
from typing import Dict, List, NamedTuple, Optional, Tuple

__all__ = [
    "ERROR_BAD_EXE_FORMAT",
    "ERROR_DLL_INIT_FAILED",
    "ERROR_MOD_NOT_FOUND",
    "ERROR_PROC_NOT_FOUND",
    "KovalthermError",
    "Library",
    "SensorReading",
    "SensorStatus",
    "default_path",
    "read_sensors",
    "scenarios",
    "sensors_temperatures",
    "shwtemp",
    "simulate",
]

# Windows error codes of a library that cannot be used.
ERROR_MOD_NOT_FOUND = 126  # the DLL is missing
ERROR_PROC_NOT_FOUND = 127  # the DLL lacks an export: it is not Kovaltherm.dll
ERROR_BAD_EXE_FORMAT = 193  # the DLL is of the other architecture
ERROR_DLL_INIT_FAILED = 1114  # the DLL refused to load: the thermal driver is missing

# The variable naming the simulated notebook that libkovaltherm.so reads when it is loaded.
SCENARIO_VARIABLE = "KOVALTHERM_SCENARIO"

# An ordinal is a C int.
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1

_HERE = os.path.dirname(os.path.abspath(__file__))
_SCENARIOS = os.path.join(_HERE, "scenarios")

_QUERIES = (
    "LMGetSensorLocation",
    "LMReadTemperature",
    "LMReadWarningLimit",
    "LMReadCriticalLimit",
    "LMReadTempStatus",
)


class SensorStatus(enum.IntEnum):
    """A sensor's status, as LMReadTempStatus reports it. "No status" is None, never a member."""

    NORMAL = 1
    WARNING = 2
    CRITICAL = 3


class SensorReading(NamedTuple):
    """One sensor; a value is None when its call failed, never -1 or -100, and the status is
    None for "no status" (no temperature was read, the limits are unreadable, or the call
    failed)."""

    ordinal: int
    location: Optional[int]
    temperature: Optional[int]
    warning_limit: Optional[int]
    critical_limit: Optional[int]
    status: Optional[SensorStatus]


class shwtemp(NamedTuple):  # noqa: N801 - psutil's name
    """A sensor as psutil.sensors_temperatures() gives one: degrees as floats, None for a
    limit that is unreadable."""

    label: str
    current: float
    high: Optional[float]
    critical: Optional[float]


class KovalthermError(OSError):
    """The library could not be loaded or is not Kovaltherm.dll: an OSError, as ctypes' own
    loading errors are.

    winerror is the Windows error code: ERROR_MOD_NOT_FOUND, ERROR_DLL_INIT_FAILED (no thermal
    driver), ERROR_BAD_EXE_FORMAT, ERROR_PROC_NOT_FOUND or another the loader gave. Elsewhere
    than Windows it is ERROR_MOD_NOT_FOUND for a missing file (errno then ENOENT),
    ERROR_PROC_NOT_FOUND for a missing export, else None (as for the test double loaded
    without a scenario, or with one it could not start).
    """

    def __init__(self, path: str, winerror: Optional[int], reason: str) -> None:
        code = "" if winerror is None else f" (error {winerror})"
        super().__init__(f"cannot use {path}{code}: {reason}")
        self.path = path
        self.filename = path
        self.winerror = winerror
        if winerror == ERROR_MOD_NOT_FOUND:
            self.errno = errno.ENOENT

    def __str__(self) -> str:
        return str(self.args[0])


def _library_name() -> str:
    return "Kovaltherm.dll" if sys.platform == "win32" else "libkovaltherm.so"


def default_path() -> str:
    """The library this package carries (Kovaltherm.dll of the interpreter's architecture, or
    on Linux libkovaltherm.so), else the library's name alone, for the system's search."""
    beside = os.path.join(_HERE, _library_name())
    return beside if os.path.exists(beside) else _library_name()


def scenarios() -> List[str]:
    """The names of the example scenarios this package carries (Linux), for simulate()."""
    if not os.path.isdir(_SCENARIOS):
        return []
    return sorted(name[:-5] for name in os.listdir(_SCENARIOS) if name.endswith(".json"))


def _scenario_file(scenario: str) -> Optional[str]:
    """The scenario file `scenario` names: a file, or the name of one this package carries."""
    if os.path.isfile(scenario):
        return os.path.abspath(scenario)
    carried = os.path.join(_SCENARIOS, scenario + ".json")
    if os.path.basename(scenario) == scenario and os.path.isfile(carried):
        return carried
    return None


def _check_test_double(path: str) -> None:
    """Refuses libkovaltherm.so unless a scenario was asked for, and turns the name of a
    carried scenario in KOVALTHERM_SCENARIO into its file, which the library reads."""
    if sys.platform == "win32":
        return
    scenario = os.environ.get(SCENARIO_VARIABLE, "")
    if not scenario:
        raise KovalthermError(path, None, "this is the test double, the library over a simulated "
                              "notebook, not this machine's sensors: set KOVALTHERM_SCENARIO to a "
                              "scenario file or one of " + ", ".join(scenarios() or ["none"]) +
                              ", or call kovaltherm.simulate(), to read simulated sensors")
    file = _scenario_file(scenario)
    if file is None:
        raise KovalthermError(path, None, f"KOVALTHERM_SCENARIO={scenario}: no such scenario file, "
                              "nor one of " + ", ".join(scenarios() or ["none"]))
    os.environ[SCENARIO_VARIABLE] = file


def _value(call: Tuple[int, int]) -> Optional[int]:
    """The value a query wrote when it succeeded, else None."""
    result, value = call
    return value if result else None


def _status(call: Tuple[int, int]) -> Optional[SensorStatus]:
    """The status a status query reported, or None for no status."""
    result, value = call
    return SensorStatus(value) if result and value in {s.value for s in SensorStatus} else None


class Library:
    """Kovaltherm.dll loaded, its seven exports as methods of the same names.

    A query method returns the export's result (1, or 0 on failure) and the value it left in
    its out-parameter, which starts at 0: a failed call may leave there a failure value such
    as -1 or -100, or nothing. An ordinal outside the C int range raises ValueError.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self.path = path or default_path()
        if os.path.dirname(self.path) and not os.path.exists(self.path):
            raise KovalthermError(self.path, ERROR_MOD_NOT_FOUND, "no such file")
        _check_test_double(self.path)
        try:
            dll = ctypes.CDLL(self.path)  # cdecl, as every export is
        except OSError as error:
            code = getattr(error, "winerror", None)
            if code is None and "No such file" in str(error):
                code = ERROR_MOD_NOT_FOUND
            raise KovalthermError(self.path, code, str(error)) from None
        try:
            dll.LMGetNumSensors.argtypes = []
            dll.LMGetNumSensors.restype = ctypes.c_int
            for name in _QUERIES:
                export = getattr(dll, name)
                export.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
                export.restype = ctypes.c_int
            dll.ShutdownLibrary.argtypes = []
            dll.ShutdownLibrary.restype = None
        except AttributeError as error:
            raise KovalthermError(self.path, ERROR_PROC_NOT_FOUND, str(error)) from None
        self._dll = dll
        self._check_simulated_notebook()

    def _check_simulated_notebook(self) -> None:
        """Linux: refuses libkovaltherm.so whose simulated notebook did not start (an unusable
        registry file or scenario), where every export could only answer 0."""
        problem = getattr(self._dll, "KovalthermSimProblem", None) if sys.platform != "win32" else None
        if problem is None:
            return
        problem.argtypes = []
        problem.restype = ctypes.c_char_p
        why = (problem() or b"").decode(errors="replace")
        if why:
            raise KovalthermError(self.path, None, "no simulated notebook: " + why)

    def _query(self, name: str, ordinal: int) -> Tuple[int, int]:
        ordinal = operator.index(ordinal)
        # ctypes would pass only the low 32 bits, and 2**32 would read sensor 0.
        if not _INT_MIN <= ordinal <= _INT_MAX:
            raise ValueError(f"ordinal {ordinal} is outside the C int range")
        value = ctypes.c_int(0)
        result = getattr(self._dll, name)(ordinal, ctypes.byref(value))
        return int(result), value.value

    def LMGetNumSensors(self) -> int:
        return int(self._dll.LMGetNumSensors())

    def LMGetSensorLocation(self, ordinal: int) -> Tuple[int, int]:
        return self._query("LMGetSensorLocation", ordinal)

    def LMReadTemperature(self, ordinal: int) -> Tuple[int, int]:
        return self._query("LMReadTemperature", ordinal)

    def LMReadWarningLimit(self, ordinal: int) -> Tuple[int, int]:
        return self._query("LMReadWarningLimit", ordinal)

    def LMReadCriticalLimit(self, ordinal: int) -> Tuple[int, int]:
        return self._query("LMReadCriticalLimit", ordinal)

    def LMReadTempStatus(self, ordinal: int) -> Tuple[int, int]:
        return self._query("LMReadTempStatus", ordinal)

    def ShutdownLibrary(self) -> None:
        self._dll.ShutdownLibrary()

    def read_sensors(self) -> List[SensorReading]:
        """Every present sensor, read in ordinal order."""
        readings = []
        for ordinal in range(self.LMGetNumSensors()):
            readings.append(SensorReading(ordinal,
                                          _value(self.LMGetSensorLocation(ordinal)),
                                          _value(self.LMReadTemperature(ordinal)),
                                          _value(self.LMReadWarningLimit(ordinal)),
                                          _value(self.LMReadCriticalLimit(ordinal)),
                                          _status(self.LMReadTempStatus(ordinal))))
        return readings


_library: Optional[Library] = None


def _default_library() -> Library:
    global _library
    if _library is None:
        _library = Library()
    return _library


def read_sensors() -> List[SensorReading]:
    """Every present sensor, through the library at default_path(), loaded on first use."""
    return _default_library().read_sensors()


def sensors_temperatures(fahrenheit: bool = False) -> Dict[str, List[shwtemp]]:
    """The sensors as psutil.sensors_temperatures() gives a machine's: {"kovaltherm": [shwtemp(
    label, current, high, critical)]}, with the warning limit as high. As psutil does, a sensor
    whose temperature could not be read is left out, and so is the "kovaltherm" entry when no
    sensor could be read."""
    def degrees(celsius: int) -> float:
        return celsius * 9 / 5 + 32 if fahrenheit else float(celsius)

    def limit(celsius: Optional[int]) -> Optional[float]:
        return None if celsius is None else degrees(celsius)

    entries = []
    for r in read_sensors():
        if r.temperature is None:
            continue
        location = "FAILED" if r.location is None else str(r.location)
        entries.append(shwtemp(f"sensor {r.ordinal} (location {location})", degrees(r.temperature),
                               limit(r.warning_limit), limit(r.critical_limit)))
    return {"kovaltherm": entries} if entries else {}


def simulate(scenario: str) -> None:
    """Linux only: reads the simulated notebook `scenario` from now on, a scenario file or the
    name of one this package carries (scenarios()). Before the library is loaded this sets
    KOVALTHERM_SCENARIO for it; afterwards the loaded library's notebook is replaced (with the
    sensor cache emptied when it is another notebook). Raises ValueError for an unknown
    scenario, KovalthermError where the library cannot take it."""
    if sys.platform == "win32":
        raise KovalthermError(_library_name(), None, "simulate() is for libkovaltherm.so on Linux: on "
                              "Windows, load a scenario into the test kit's stand-in driver")
    file = _scenario_file(scenario)
    if file is None:
        raise ValueError(f"no scenario {scenario!r}: neither a file nor one of {', '.join(scenarios())}")
    os.environ[SCENARIO_VARIABLE] = file
    if _library is not None and not _library._dll.KovalthermSimLoadScenario(os.fsencode(file)):
        _library._check_simulated_notebook()
        raise KovalthermError(_library.path, None, f"the simulated notebook did not take {file}")
