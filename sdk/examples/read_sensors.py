import kovaltherm

try:
    for reading in kovaltherm.read_sensors():
        print(reading)
    print(kovaltherm.sensors_temperatures())
except kovaltherm.KovalthermError as error:
    print(f"no thermal sensors: {error}")
