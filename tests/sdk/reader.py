"""Reads the sensors through the kovaltherm package once per scenario file given, loading each
after the first (which the library loaded itself) into the simulated notebook; prints one
line per sensor: step, ordinal, location, temperature, limits, status ("-" for None)."""
import ctypes
import sys

import kovaltherm

for step, scenario in enumerate(sys.argv[1:]):
    if step and not ctypes.CDLL(kovaltherm.default_path()).KovalthermSimLoadScenario(scenario.encode()):
        sys.exit(1)
    try:
        readings = kovaltherm.read_sensors()
    except kovaltherm.KovalthermError as error:
        print("unavailable", error.winerror)
        break
    for reading in readings:
        print(step, *("-" if value is None else int(value) for value in reading))
