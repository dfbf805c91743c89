#!/usr/bin/python3
"""The Zabbix template as an import would take it, and its items as the server would derive them.

check_template.py TEMPLATE CONF...
    checks the template: a 6.0 export, UUIDv4 identifiers found once, master items and value
    maps that exist, trigger expressions naming only this template's keys, and the agent keys
    the same in every UserParameter file.
check_template.py --items TEMPLATE DISCOVERY < READING
    prints each dependent item of the template, per discovered sensor, with the value its
    JSONPath takes from READING, or "unsupported: ERROR" where the path finds nothing, or
    "no value" there for an item that discards a value it cannot find.
"""
import json
import re
import sys

import yaml


def template_of(path):
    with open(path, encoding="utf-8") as f:
        export = yaml.safe_load(f)["zabbix_export"]
    return export, export["templates"][0]


def prototypes(template):
    return [p for rule in template.get("discovery_rules", []) for p in rule.get("item_prototypes", [])]


def check(path, confs):
    export, template = template_of(path)
    problems = []
    if export["version"] != "6.0":
        problems.append(f"version {export['version']}, not 6.0")
    uuids = re.findall(r"^\s*(?:- )?uuid: (\S+)", open(path, encoding="utf-8").read(), re.M)
    for uuid in uuids:
        if not re.fullmatch(r"[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}", uuid) or uuids.count(uuid) > 1:
            problems.append(f"uuid {uuid}: not a UUIDv4 in 32 hex digits, or used twice")
    items, protos = template.get("items", []), prototypes(template)
    keys = {i["key"] for i in items + protos}
    maps = {m["name"] for m in template.get("valuemaps", [])}
    for item in items + protos:
        if item.get("type") == "DEPENDENT" and item["master_item"]["key"] not in keys:
            problems.append(f"{item['key']}: no master item {item['master_item']['key']}")
        if "valuemap" in item and item["valuemap"]["name"] not in maps:
            problems.append(f"{item['key']}: no value map {item['valuemap']['name']}")
        for trigger in item.get("triggers", []) + item.get("trigger_prototypes", []):
            for host, key in re.findall(r"\(/([^/]+)/([^,)]+(?:\])?)", trigger["expression"]):
                if host != template["template"] or key not in keys:
                    problems.append(f"trigger {trigger['name']!r}: {host}/{key} is not this template's")
    agent = {i["key"] for i in items if i.get("type", "ZABBIX_AGENT") == "ZABBIX_AGENT"}
    agent |= {r["key"] for r in template.get("discovery_rules", [])}
    for conf in confs:
        given = set(re.findall(r"^UserParameter=([^,]+),", open(conf, encoding="utf-8").read(), re.M))
        if given != agent:
            problems.append(f"{conf}: keys {sorted(given)}, the template asks for {sorted(agent)}")
    for problem in problems:
        print("FAIL:", problem)
    print(f"{len(keys)} items, {len(uuids)} identifiers, {len(confs)} UserParameter files")
    return not problems


def items(path, discovery):
    _, template = template_of(path)
    reading = json.load(sys.stdin)
    sensors = json.loads(discovery) if discovery.startswith("[") else []
    dependent = [(i, {}) for i in template.get("items", []) if i.get("type") == "DEPENDENT"]
    dependent += [(p, s) for p in prototypes(template) for s in sensors]
    for item, macros in dependent:
        def expand(text):
            for name, value in macros.items():
                text = text.replace(name, value)
            return text
        step = item["preprocessing"][0]
        value = reading
        for name, quoted in re.findall(r'\.(\w+)|\["([^"]*)"\]', expand(step["parameters"][0])):
            value = value.get(name or quoted) if isinstance(value, dict) else None
        missing = "no value" if step.get("error_handler") == "DISCARD_VALUE" else "unsupported: "
        shown = value if value is not None else missing + step.get("error_handler_params", "")
        print(expand(item["key"]), shown)
    return True


if __name__ == "__main__":
    ok = items(sys.argv[2], sys.argv[3]) if sys.argv[1] == "--items" else check(sys.argv[1], sys.argv[2:])
    sys.exit(0 if ok else 1)
