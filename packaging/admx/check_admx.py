#!/usr/bin/python3
"""Kovaltherm's Group Policy template, as GPMC and Intune read it and as the programs read its keys.

check_admx.py SOURCE_DIR
    checks that kovaltherm.admx and en-US/kovaltherm.adml are well formed (xmllint where it is
    installed, else Python's parser), that every string and presentation the template names is
    in the ADML, and that the template is in step with client/sensor_config.h: a policy per
    location code a physical sensor reports (tests/contract/locations.h), each under the key and
    with the value names, types and ranges the code reads.
check_admx.py --values SOURCE_DIR
    prints each registry value an enabled policy writes, one "KEY<TAB>VALUE<TAB>TYPE" a line
    (TYPE REG_SZ or REG_DWORD), for a test that sets them as Group Policy would.
"""
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
# What each kind of element writes to the registry.
TYPES = {"text": "REG_SZ", "boolean": "REG_DWORD", "decimal": "REG_DWORD"}


def files(src):
    folder = Path(src) / "packaging" / "admx"
    return folder / "kovaltherm.admx", folder / "en-US" / "kovaltherm.adml"


def code_constants(src):
    """The policy keys' names and the limits of their values, as the code defines them."""
    header = (Path(src) / "client" / "sensor_config.h").read_text()
    macros = dict(re.findall(r'#define (KT_POLICY_\w+) "((?:[^"\\]|\\.)*)"', header))
    numbers = {name: int(value) for name, value in re.findall(r"const \w+ (k\w+) = (\d+);", header)}
    macros = {name: value.replace("\\\\", "\\") for name, value in macros.items()}
    contract = (Path(src) / "tests" / "contract" / "locations.h").read_text()
    codes = sorted(int(c) for c in re.search(r"kLocationByPhysicalIndex\[8\] = \{([^}]*)\}", contract).group(1).split(","))
    return macros, numbers, codes


def values(admx):
    """(key, value, type) of every registry value each policy writes when enabled."""
    for policy in ET.parse(admx).getroot().iterfind("p:policies/p:policy", NS):
        key = policy.get("key")
        yield key, policy.get("valueName"), "REG_DWORD"
        for element in policy.find("p:elements", NS):
            kind = element.tag.split("}")[1]
            yield element.get("key", key), element.get("valueName"), TYPES.get(kind, kind)


def check(src):
    admx, adml = files(src)
    problems = []
    if shutil.which("xmllint"):
        run = subprocess.run(["xmllint", "--noout", str(admx), str(adml)], capture_output=True, text=True)
        problems += [line for line in run.stderr.splitlines() if line]
    try:
        template, texts = ET.parse(admx).getroot(), ET.parse(adml).getroot()
    except ET.ParseError as error:
        print("FAIL:", error)
        return False
    strings = {s.get("id") for s in texts.iterfind(".//p:stringTable/p:string", NS)}
    presentations = {p.get("id"): p for p in texts.iterfind(".//p:presentationTable/p:presentation", NS)}
    for ref in re.findall(r"\$\(string\.(\w+)\)", admx.read_text()):
        if ref not in strings:
            problems.append(f"$(string.{ref}) is not in {adml.name}")

    macros, numbers, codes = code_constants(src)
    names = {macros["KT_POLICY_" + n.upper()]: n for n in ("label", "ignore", "warning", "critical")}
    found = []
    for policy in template.iterfind("p:policies/p:policy", NS):
        name = policy.get("name")
        match = re.fullmatch(r"Location(\d)", name or "")
        if not match:
            problems.append(f"policy {name}: not LocationN")
            continue
        code = int(match.group(1))
        found.append(code)
        key = macros["KT_POLICY_SENSORS_KEY"] + "\\" + macros["KT_POLICY_LOCATION_KEY"].replace("%d", str(code))
        if policy.get("key") != key or policy.get("class") != "Machine":
            problems.append(f"policy {name}: key {policy.get('key')} ({policy.get('class')}), the code reads HKLM\\{key}")
        if policy.get("valueName") != macros["KT_POLICY_ENABLED"]:
            problems.append(f"policy {name}: value {policy.get('valueName')}, the code reads {macros['KT_POLICY_ENABLED']}")
        for state, number in (("enabledValue", "1"), ("disabledValue", "0")):
            decimal = policy.find(f"p:{state}/p:decimal", NS)
            if decimal is None or decimal.get("value") != number:
                problems.append(f"policy {name}: {state} must be the decimal {number}")
        presentation = presentations.get(re.sub(r"\$\(presentation\.(\w+)\)", r"\1", policy.get("presentation", "")))
        shown = {e.get("refId") for e in presentation} if presentation is not None else set()
        elements = {}
        for element in policy.find("p:elements", NS):
            kind = element.tag.split("}")[1]
            elements[element.get("valueName")] = kind
            if element.get("key") not in (None, key):
                problems.append(f"policy {name}: {element.get('id')} under another key")
            if element.get("id") not in shown:
                problems.append(f"policy {name}: {element.get('id')} has no control in the presentation")
            if kind == "decimal" and (element.get("minValue"), element.get("maxValue")) != (
                    str(numbers["kNoThreshold"]), str(numbers["kMaxThreshold"])):
                problems.append(f"policy {name}: {element.get('id')} from {element.get('minValue')} to "
                                f"{element.get('maxValue')}, the code takes {numbers['kNoThreshold']} (none) to "
                                f"{numbers['kMaxThreshold']}")
            if kind == "text" and element.get("maxLength") != str(numbers["kMaxLabelChars"]):
                problems.append(f"policy {name}: Label up to {element.get('maxLength')}, the code takes "
                                f"{numbers['kMaxLabelChars']}")
        expected = {value: kind for value, kind in zip(names, ("text", "boolean", "decimal", "decimal"))}
        if elements != expected:
            problems.append(f"policy {name}: values {elements}, the code reads {expected}")
    if sorted(found) != codes:
        problems.append(f"policies for locations {sorted(found)}, the library reports {codes}")
    for problem in problems:
        print("FAIL:", problem)
    print(f"{len(found)} policies, {len(strings)} strings, {len(presentations)} presentations; "
          f"keys and values as client/sensor_config.h reads them")
    return not problems


if __name__ == "__main__":
    if sys.argv[1] == "--values":
        for line in values(files(sys.argv[2])[0]):
            print("\t".join(line))
        sys.exit(0)
    sys.exit(0 if check(sys.argv[1]) else 1)
