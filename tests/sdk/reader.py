"""Reads the sensors through the kovaltherm package once per scenario file given, simulating
each after the first (which the library loaded itself); prints one line per sensor: step,
ordinal, location, temperature, limits, status ("-" for None); or "unavailable", the error code
and the message where the library cannot be used."""
import sys

import kovaltherm

for step, scenario in enumerate(sys.argv[1:]):
    try:
        if step:
            kovaltherm.simulate(scenario)
        readings = kovaltherm.read_sensors()
    except kovaltherm.KovalthermError as error:
        print("unavailable", error.winerror, error)
        break
    for reading in readings:
        print(step, *("-" if value is None else int(value) for value in reading))
