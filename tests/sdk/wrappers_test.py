#!/usr/bin/env python3
"""The SDK's Python and .NET wrappers on libkovaltherm.so: the contract tables of
tests/contract/ and the documented example scenarios, read through a reader program of each
wrapper (reader.py, Reader.cs with mono) in processes of their own, a registry file per case.

KOVALTHERM_SDK names an unpacked SDK whose Python package is installed in this interpreter
(and loads the libkovaltherm.so of its wheel); without it the source tree's sdk/ is used
through PYTHONPATH. KOVALTHERM_DOTNET names the wrapper assembly to compile the C# programs
against (the NuGet package's Kovaltherm.Net.dll); without it they are compiled with the SDK's
dotnet/Kovaltherm.cs. KOVALTHERM_HOST_BUILD names the folder that holds libkovaltherm.so for
the C# programs and a package without its own (default build/host)."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
SDK = Path(os.environ.get("KOVALTHERM_SDK", SOURCE / "sdk"))
HOST_BUILD = Path(os.environ.get("KOVALTHERM_HOST_BUILD", SOURCE / "build" / "host"))
LIMITS = ("warning_normal", "warning_high", "critical_normal", "critical_high")
NORMAL, WARNING, CRITICAL = 1, 2, 3


def contract(header, name):
    """The initializer of `name` in a contract header: a number, or a tuple per brace group."""
    text = (SOURCE / "tests" / "contract" / header).read_text()
    value = re.search(rf"\b{name}\b[^=;]*=\s*(.*?);", text, re.S).group(1)
    item = lambda v: v.strip() == "true" if v.strip() in ("true", "false") else int(v, 0)
    groups = re.findall(r"\{([^{}]*)\}", value)
    return [tuple(item(v) for v in g.split(",")) for g in groups] if groups else item(value)


def row(*values):
    return tuple("-" if v is None else str(v) for v in values)


class Wrappers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        out = Path(cls.folder.name)
        assembly = os.environ.get("KOVALTHERM_DOTNET")
        if assembly:
            shutil.copy(assembly, out)
        wrapper = [f"-r:{out / Path(assembly).name}"] if assembly else [SDK / "dotnet" / "Kovaltherm.cs"]
        for program, sources in (("Reader", [HERE / "Reader.cs"]),
                                 ("ReadSensors", [SDK / "examples" / "ReadSensors.cs"])):
            subprocess.run(["mcs", "-langversion:7.2", "-warnaserror", f"-out:{out / program}.exe",
                            *wrapper, *sources], check=True)
        cls.readers = {"python": [sys.executable, HERE / "reader.py"],
                       "csharp": ["mono", out / "Reader.exe"]}
        cls.examples = {"python": [sys.executable, SDK / "examples" / "read_sensors.py"],
                        "csharp": ["mono", out / "ReadSensors.exe"]}
        cls.environment = dict(os.environ, KOVALTHERM_CLOCK="virtual", LD_LIBRARY_PATH=str(HOST_BUILD))
        if "KOVALTHERM_SDK" not in os.environ:
            cls.environment["PYTHONPATH"] = str(SDK / "python")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def run_program(self, command, folder, scenarios, **environment):
        """What `command` prints; a variable given as None is left out of its environment."""
        env = dict(self.environment, KOVALTHERM_REGISTRY=str(folder / "registry.db"),
                   KOVALTHERM_SCENARIO=str(scenarios[0]))
        env = {name: value for name, value in dict(env, **environment).items() if value is not None}
        return subprocess.run(command + scenarios, env=env, capture_output=True, text=True,
                              check=True, timeout=120).stdout

    def read(self, wrapper, folder, processes, **environment):
        """The readings of each step, processes run one after another on one registry."""
        steps = []
        for scenarios in processes:
            out = self.run_program(self.readers[wrapper], folder, scenarios, **environment)
            lines = [line.split() for line in out.splitlines()]
            steps += [[tuple(l[1:]) for l in lines if l[0] == str(step)] for step in range(len(scenarios))]
        return steps

    def scenario(self, folder, name, sensors, **fields):
        """A scenario file of (physical index, limits, temperature) sensors."""
        path = folder / f"{name}.json"
        path.write_text(json.dumps(dict(fields, sensors=[
            {"index": index, "limits": dict(zip(LIMITS, limits)), "temperature": temperature}
            for index, limits, temperature in sensors])))
        return path

    def each_wrapper(self, check):
        for wrapper in self.readers:
            with self.subTest(wrapper), tempfile.TemporaryDirectory() as folder:
                check(wrapper, Path(folder))

    def typical(self, folder):
        """The typical request's notebook, and what reading it gives."""
        presence = contract("exchange.h", "kTypicalPresence")
        physical = [i for i in range(8) if presence >> i & 1]
        limits = contract("hysteresis.h", "kHysteresisLimits")[0]
        temperature = {i: 40 + i for i in physical}
        temperature[contract("exchange.h", "kTypicalPhysicalSensor")] = contract("exchange.h", "kTypicalTemperature")
        locations = contract("locations.h", "kLocationByPhysicalIndex")[0]
        path = self.scenario(folder, "typical", [(i, limits, temperature[i]) for i in physical])
        return path, [row(k, locations[i], temperature[i], limits[1], limits[3], NORMAL)
                      for k, i in enumerate(physical)]

    def test_readings_of_each_notebook(self):
        # Stuck controller and firmware faults as docs/operators.md shows them through ktsensors.
        def check(wrapper, folder):
            typical, typical_rows = self.typical(folder)
            cases = [
                (typical, typical_rows),
                # "No status" is one thing in both wrappers: None, null.
                (SOURCE / "examples" / "stuck-controller.json",
                 [row(0, 2, None, 90, 98, None), row(1, 5, None, 65, 75, None)]),
                (SOURCE / "examples" / "firmware-faults.json",
                 [row(0, 2, 61, 90, 98, NORMAL), row(1, 4, 44, 65, 75, NORMAL), row(2, 5, 39, None, None, None)]),
                (self.scenario(folder, "unsupported", [], driver={"probe_succeeds": False}), []),
            ]
            for i, (scenario, expected) in enumerate(cases):
                case = folder / str(i)
                case.mkdir()
                self.assertEqual(self.read(wrapper, case, [[scenario]]), [expected], scenario.name)
        self.each_wrapper(check)

    def test_hysteresis_across_calls_and_processes(self):
        def check(wrapper, folder):
            limits = contract("hysteresis.h", "kHysteresisLimits")[0]
            steps = contract("hysteresis.h", "kWarningCarriedOver")
            processes = []
            for i, (new_process, temperature, reported, _) in enumerate(steps):
                if new_process or not processes:
                    processes.append([])
                processes[-1].append(self.scenario(folder, f"step{i}", [(0, limits, temperature)]))
            self.assertEqual(self.read(wrapper, folder, processes),
                             [[row(0, 2, t, limits[1], limits[3], reported)] for _, t, reported, _ in steps])
        self.each_wrapper(check)

    def test_another_notebook_empties_the_cache(self):
        # heat-cycle.json at its start, as docs/operators.md shows it, and critical.json: two
        # sensors, no third left over from the steady notebook's cache; on a registry file
        # named, and on the default one (a file per notebook), in one process or one after
        # another.
        steady = [row(0, 2, 52, 90, 98, NORMAL), row(1, 4, 41, 65, 75, NORMAL), row(2, 1, 47, 75, 90, NORMAL)]
        heat_cycle = [row(0, 2, 55, 90, 98, NORMAL), row(1, 4, 45, 65, 75, NORMAL)]
        critical = [row(0, 2, 97, 90, 98, CRITICAL), row(1, 1, 47, 75, 90, NORMAL)]
        example = {name: SOURCE / "examples" / f"{name}.json" for name in ("steady", "heat-cycle", "critical")}
        def check(wrapper, folder):
            self.assertEqual(self.read(wrapper, folder, [[example["steady"], example["heat-cycle"]]]),
                             [steady, heat_cycle])
            default = dict(KOVALTHERM_REGISTRY=None, XDG_STATE_HOME=None, HOME=str(folder))
            self.assertEqual(self.read(wrapper, folder, [[example["steady"]], [example["critical"]]], **default),
                             [steady, critical])
            self.assertEqual(self.read(wrapper, folder, [[example["critical"], example["steady"],
                                                          example["critical"]]], **default),
                             [critical, steady, critical])
        self.each_wrapper(check)

    def test_unusable_library_raises_the_documented_error(self):
        # A missing library names the file and where it was looked for; a scenario name is one
        # carried beside the library; an unknown name, or a file that is not a scenario, is an
        # error, never an empty list. (Each: the environment, then per wrapper the parts of what
        # the reader prints; None where that wrapper's case is another test's.)
        def check(wrapper, folder):
            bare, carried, bad = folder / "bare", folder / "carried", folder / "bad.json"
            (carried / "scenarios").mkdir(parents=True)
            bare.mkdir()
            shutil.copy(HOST_BUILD / "libkovaltherm.so", carried)
            shutil.copy(SOURCE / "examples" / "steady.json", carried / "scenarios")
            bad.write_text("{")
            programs = self.folder.name
            steady = "0 0 2 52 90 98 1\n0 1 4 41 65 75 1\n0 2 1 47 75 90 1"
            installed = "KOVALTHERM_SDK" in os.environ  # the installed package carries its own library
            cases = [
                ({"LD_LIBRARY_PATH": str(bare), "KOVALTHERM_SCENARIO": str(SOURCE / "examples" / "steady.json")},
                 {"python": None if installed else ["unavailable 126 cannot use libkovaltherm.so (error 126): "
                                                    "libkovaltherm.so: cannot open shared object file"],
                  "csharp": [f"unavailable 126 libkovaltherm.so was not found: looked in {programs}, {bare}, then the "
                             "system's library folders (ld.so.cache, /lib, /usr/lib)"]}),
                ({"LD_LIBRARY_PATH": str(carried), "KOVALTHERM_SCENARIO": "steady"},
                 {"python": None, "csharp": [steady]}),
                ({"LD_LIBRARY_PATH": str(carried), "KOVALTHERM_SCENARIO": "no-such"},
                 {"python": ["unavailable None cannot use ", ": KOVALTHERM_SCENARIO=no-such: no such scenario file, nor one of"],
                  "csharp": ["unavailable 1114 KOVALTHERM_SCENARIO=no-such: no such scenario file, nor one of steady "
                             f"(in {programs}/scenarios, {carried}/scenarios)"]}),
                ({"LD_LIBRARY_PATH": str(carried), "KOVALTHERM_SCENARIO": str(bad)},
                 {"python": ["unavailable None cannot use ", f": no simulated notebook: scenario {bad}: not valid JSON: "],
                  "csharp": [f"unavailable 1114 libkovaltherm.so has no simulated notebook: scenario {bad}: not valid JSON: "]}),
            ]
            for environment, expected in cases:
                if expected[wrapper] is None:
                    continue
                if installed and wrapper == "python":
                    environment = {k: v for k, v in environment.items() if k != "LD_LIBRARY_PATH"}
                out = self.run_program(self.readers[wrapper], folder, [environment.get("KOVALTHERM_SCENARIO", "-")],
                                       **environment).strip()
                for part in expected[wrapper]:
                    self.assertIn(part, out, environment)
        self.each_wrapper(check)

    def test_csharp_readings_compare_by_value(self):
        out = subprocess.run(self.readers["csharp"] + ["--equality"], capture_output=True, text=True, check=True)
        self.assertEqual(out.stdout.split(), ["equal", "equal"] + ["different"] * 7)

    def python(self, code, *arguments, **environment):
        """What `code` prints through the kovaltherm package, in a process of its own with a
        registry file of its own and `environment` in place of the scenario variable."""
        env = {k: v for k, v in self.environment.items() if k != "KOVALTHERM_SCENARIO"}
        with tempfile.TemporaryDirectory() as folder:
            env.update(environment, KOVALTHERM_REGISTRY=str(Path(folder) / "registry.db"))
            return subprocess.run([sys.executable, "-c", "import kovaltherm\n" + code, *map(str, arguments)], env=env,
                                  capture_output=True, text=True, check=True, timeout=120).stdout.strip()

    def test_python_ordinals_outside_the_c_int_range(self):
        cases = [(2**31 - 1, "(0, 0)"), (-(2**31), "(0, 0)"), (2**31, "ValueError"), (-(2**31) - 1, "ValueError"),
                 (2**32, "ValueError"), (2**63, "ValueError")]
        code = ("import sys\nlibrary = kovaltherm.Library()\nfor ordinal in map(int, sys.argv[1:]):\n"
                "    try: print(library.LMReadTemperature(ordinal))\n"
                "    except ValueError: print('ValueError')")
        out = self.python(code, *(o for o, _ in cases), KOVALTHERM_SCENARIO=str(SOURCE / "examples" / "steady.json"))
        self.assertEqual(out.splitlines(), [expected for _, expected in cases])

    def test_python_simulates_only_when_asked(self):
        steady = "[(0, 2, 52), (1, 4, 41), (2, 1, 47)]"
        show = "print([r[:3] for r in kovaltherm.read_sensors()])"
        refused = "try: " + show + "\nexcept kovaltherm.KovalthermError as e: print(e.winerror, 'test double' in str(e))"
        cases = [
            ({}, refused, "None True"),
            ({"KOVALTHERM_SCENARIO": str(SOURCE / "examples" / "steady.json")}, show, steady),
            ({}, f"kovaltherm.simulate({str(SOURCE / 'examples' / 'stuck-controller.json')!r})\n" + show,
             "[(0, 2, None), (1, 5, None)]"),
            ({"KOVALTHERM_SCENARIO": "no-such"}, refused, "None False"),
            ({}, "try: kovaltherm.simulate('no-such')\nexcept ValueError: print('ValueError')", "ValueError"),
            # An OSError, as ctypes' own; a path that does not exist is not found, whatever else.
            ({}, "try: kovaltherm.Library('/nonexistent/libkovaltherm.so')\nexcept OSError as e: "
                 "print(type(e).__name__, e.winerror, e.errno == 2, e.filename, e)",
             "KovalthermError 126 True /nonexistent/libkovaltherm.so "
             "cannot use /nonexistent/libkovaltherm.so (error 126): no such file"),
        ]
        if "KOVALTHERM_SDK" in os.environ:  # the wheel carries the example scenarios by name
            cases += [({"KOVALTHERM_SCENARIO": "steady"}, show, steady),
                      ({}, "kovaltherm.simulate('stuck-controller')\n" + show, "[(0, 2, None), (1, 5, None)]")]
        for environment, code, expected in cases:
            with self.subTest(environment=environment, code=code):
                self.assertEqual(self.python(code, **environment), expected)

    def test_python_sensors_temperatures_in_psutils_shape(self):
        # psutil leaves out a sensor without a temperature, and a chip without any.
        cases = [
            ("firmware-faults.json", False,
             "{'kovaltherm': [shwtemp(label='sensor 0 (location 2)', current=61.0, high=90.0, critical=98.0), "
             "shwtemp(label='sensor 1 (location 4)', current=44.0, high=65.0, critical=75.0), "
             "shwtemp(label='sensor 2 (location 5)', current=39.0, high=None, critical=None)]}"),
            ("steady.json", True,
             "{'kovaltherm': [shwtemp(label='sensor 0 (location 2)', current=125.6, high=194.0, critical=208.4), "
             "shwtemp(label='sensor 1 (location 4)', current=105.8, high=149.0, critical=167.0), "
             "shwtemp(label='sensor 2 (location 1)', current=116.6, high=167.0, critical=194.0)]}"),
            ("stuck-controller.json", False, "{}"),
        ]
        for scenario, fahrenheit, expected in cases:
            with self.subTest(scenario):
                out = self.python(f"print(kovaltherm.sensors_temperatures(fahrenheit={fahrenheit}))",
                                  KOVALTHERM_SCENARIO=str(SOURCE / "examples" / scenario))
                self.assertEqual(out, expected)

    def test_readme_examples(self):
        readme = (SDK / "README.md").read_text()
        for example in ("linked.c", "sensors.cpp", "read_sensors.py", "ReadSensors.cs"):
            self.assertTrue((SDK / "examples" / example).read_text() in readme, f"{example} not in README.md")
        # The developers' guide shows the C examples the SDK builds, word for word.
        guide = (SOURCE / "docs" / "application-developers.md").read_text()
        for example in ("linked.c", "runtime.c"):
            self.assertTrue((SOURCE / "sdk" / "examples" / example).read_text() in guide, f"{example} not in the guide")
        expected = {"typical": {"python": "temperature=63", "csharp": "Temperature=63"},
                    "stuck-controller": {"python": "temperature=None", "csharp": "Temperature=null"}}
        def check(wrapper, folder):
            typical, _ = self.typical(folder)
            for name, scenario in (("typical", typical), ("stuck-controller", SOURCE / "examples" / "stuck-controller.json")):
                (folder / name).mkdir()
                out = self.run_program(self.examples[wrapper], folder / name, [scenario])
                print(f"--- {wrapper}, {name}:\n{out}", end="", file=sys.stderr)
                self.assertIn(expected[name][wrapper], out.splitlines()[0])
        self.each_wrapper(check)


if __name__ == "__main__":
    unittest.main(verbosity=2)
