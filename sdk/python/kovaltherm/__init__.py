"""Kovaltherm.dll from Python: the thermal sensors of the notebook.

    import kovaltherm

    for reading in kovaltherm.read_sensors():
        print(reading)

read_sensors() returns one SensorReading per present sensor, with None for each value whose
call failed. Library offers the seven exports one by one. Where the DLL cannot be loaded (it
is missing, or the thermal driver is, and Windows then refuses the DLL) both raise
KovalthermError, which carries the Windows error code.

The package loads the Kovaltherm.dll of the interpreter's architecture (x86 or x64) from its
own folder where it was installed with it, else by name, with the cdecl calling convention
(ctypes.CDLL) that every export uses. Elsewhere than Windows it loads libkovaltherm.so, the
same library over a simulated notebook, the same way.
"""

from __future__ import annotations

import ctypes
import enum
import os
import struct
import sys
from typing import List, NamedTuple, Optional, Tuple

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
]

# Windows error codes of a library that cannot be used.
ERROR_MOD_NOT_FOUND = 126  # the DLL is missing
ERROR_PROC_NOT_FOUND = 127  # the DLL lacks an export: it is not Kovaltherm.dll
ERROR_BAD_EXE_FORMAT = 193  # the DLL is of the other architecture
ERROR_DLL_INIT_FAILED = 1114  # the DLL refused to load: the thermal driver is missing

_QUERIES = (
    "LMGetSensorLocation",
    "LMReadTemperature",
    "LMReadWarningLimit",
    "LMReadCriticalLimit",
    "LMReadTempStatus",
)


class SensorStatus(enum.IntEnum):
    """A sensor's status, as LMReadTempStatus reports it."""

    NONE = 0  # no status: no temperature was read, or the limits are unreadable
    NORMAL = 1
    WARNING = 2
    CRITICAL = 3


class SensorReading(NamedTuple):
    """One sensor; a value is None when its call failed, never -1 or -100."""

    ordinal: int
    location: Optional[int]
    temperature: Optional[int]
    warning_limit: Optional[int]
    critical_limit: Optional[int]
    status: Optional[SensorStatus]


class KovalthermError(Exception):
    """The library could not be loaded or is not Kovaltherm.dll.

    winerror is the Windows error code: ERROR_MOD_NOT_FOUND, ERROR_DLL_INIT_FAILED (no thermal
    driver), ERROR_BAD_EXE_FORMAT, ERROR_PROC_NOT_FOUND or another the loader gave. Elsewhere
    than Windows it is ERROR_MOD_NOT_FOUND for a missing file, ERROR_PROC_NOT_FOUND for a
    missing export, else None.
    """

    def __init__(self, path: str, winerror: Optional[int], reason: str) -> None:
        code = "" if winerror is None else f" (error {winerror})"
        super().__init__(f"cannot use {path}{code}: {reason}")
        self.path = path
        self.winerror = winerror


def _library_name() -> str:
    return "Kovaltherm.dll" if sys.platform == "win32" else "libkovaltherm.so"


def default_path() -> str:
    """The library of this interpreter's architecture in the package's x86/ or x64/ folder
    where there is one, else the library's name alone, for the system's search."""
    architecture = "x64" if struct.calcsize("P") == 8 else "x86"
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), architecture,
                          _library_name())
    return beside if os.path.exists(beside) else _library_name()


def _value(call: Tuple[int, int]) -> Optional[int]:
    """The value a query wrote when it succeeded, else None."""
    result, value = call
    return value if result else None


class Library:
    """Kovaltherm.dll loaded, its seven exports as methods of the same names.

    A query method returns the export's result (1, or 0 on failure) and the value it left in
    its out-parameter, which starts at 0: a failed call may leave there a failure value such
    as -1 or -100, or nothing.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self.path = path or default_path()
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

    def _query(self, name: str, ordinal: int) -> Tuple[int, int]:
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
            location = _value(self.LMGetSensorLocation(ordinal))
            temperature = _value(self.LMReadTemperature(ordinal))
            warning = _value(self.LMReadWarningLimit(ordinal))
            critical = _value(self.LMReadCriticalLimit(ordinal))
            status = _value(self.LMReadTempStatus(ordinal))
            readings.append(SensorReading(ordinal, location, temperature, warning, critical,
                                          None if status is None else SensorStatus(status)))
        return readings


_library: Optional[Library] = None


def read_sensors() -> List[SensorReading]:
    """Every present sensor, through the library at default_path(), loaded on first use."""
    global _library
    if _library is None:
        _library = Library()
    return _library.read_sensors()
