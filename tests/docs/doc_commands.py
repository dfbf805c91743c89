#!/usr/bin/env python3
"""The commands the documents tell a reader to type, and where each one is run.

A command is every line of a block fenced as sh, bash, shell, bat, cmd, powershell or pwsh
(less comments and blank lines; a line ending in a backslash goes on in the next), and every
line beginning with "$ " in a block fenced without a language or as console (the lines after
it, up to the next "$ ", are the output it shows). Other blocks show output or a file. A block
whose fence has the line <!-- windows-only: REASON --> just before it runs only on real
Windows. Every other command is listed in RUNS below, with the test that runs it as written.

  doc_commands.py check SRC              every command and where it runs, the Windows-only
                                         marks; fails on a command neither run nor marked
  doc_commands.py print SRC KEY          the commands RUNS lists under KEY, as written
  doc_commands.py run-host SRC HOST_DIR  runs the commands listed as "host" (HOST_DIR: the host
                                         build) in a scratch copy of the tree, in a mount and
                                         network namespace of their own: /tmp and node_exporter's
                                         textfile folder empty, port 9757 free
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

COMMAND_BLOCKS = {"sh", "bash", "shell", "bat", "cmd", "powershell", "pwsh"}
PROMPT_BLOCKS = {"", "console"}
MARK = re.compile(r"^\s*<!-- windows-only: (.*\S) -->\s*$")
FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*([\w+-]*)")
# Words that start a command: such a line in a block that is not fenced as commands, and has
# no "$ " prompt, is most likely a command fenced wrongly (a synopsis block, with [ ], is not).
COMMAND_WORDS = {"make", "cmake", "ctest", "ktsensors", "ktsensors.exe", "build/host/ktsensors",
                 "msiexec", "netsh", "sc", "reg", "wine", "wine64", "/usr/lib/wine/wine64", "grep",
                 "./qorix-kit.sh", "qorix-kit", "python3", "pip", "gcc", "mono", "mcs", "xbuild",
                 "nuget", "dotnet", "osslsigncode", "sha256sum", "kovaltherm-monitor",
                 "kovaltherm-monitor.exe", "curl", "promtool", "systemctl"}


@dataclass
class Command:
    doc: str
    line: int
    lang: str
    text: str                 # as written (continued lines joined by backslash-newline)
    windows_only: str = ""    # the mark's reason
    shown: list = None        # for "$ " commands: the output lines the doc shows

    @property
    def bare(self):
        """The command without a trailing shell comment."""
        if self.lang in ("bat", "cmd"):
            return self.text.strip()
        return re.sub(r"\s+#[^'\"]*$", "", self.text).strip()


@dataclass
class Run:
    key: str
    where: str                # host | script PATH | file PATH, then where that runs
    commands: list            # each a beginning of the commands it covers
    docs: tuple = ()          # only in these documents, when given
    status: int = 0           # host: the exit status
    setup: str = ""           # host: a shell command run first in the scratch tree
    check: str = ""           # host: a shell command that must succeed after it
    background: bool = False  # host: runs until the check has passed, then gets SIGTERM
    compare: str = ""         # host: why the output shown is not compared ("" compares it)
    found: list = field(default_factory=list)


CONSUMER = "script tests/sdk/consumer_test.sh (make test-dist)"
TESTKIT = "script tests/sdk/testkit_test.sh (make test-dist)"
GUIDE = "script tests/msi/guide_test.sh (make test-dist)"
SIGNING = "script tests/msi/signing_test.sh (msi.signing, x64 suite)"
RUNS = [
    Run("make-test", "file .ci/run (CI runs make test)", ["make test"]),
    Run("make-demo", "file tests/scripts/demo_fresh_machine.sh (make test: its demo-fresh-machine stage)",
        ["make demo"]),
    Run("make-builds", "file scripts/test-all (make test: its build-win32 and build-win64 stages)",
        ["make build-win32", "make build-win64"]),
    Run("make-dist", "file scripts/test-all (make test: its dist stage)", ["make dist"]),
    Run("make-fuzz", "file scripts/test-all (make test: its fuzz-smoke stage, FUZZ_RUNS bounding it)",
        ["make fuzz FUZZ_SECONDS=600"]),
    Run("stuck", "host", ["build/host/ktsensors --registry /tmp/stuck.db --scenario examples/stuck-controller.json"],
        status=1),
    Run("json", "host", ["build/host/ktsensors --json"],
        compare="the default notebook's temperatures and the time follow the clock"),
    Run("textfile", "host", ["ktsensors --format prometheus --output /var/lib/prometheus/node-exporter/kovaltherm.prom"],
        check="grep -qx 'kovaltherm_up 1' /var/lib/prometheus/node-exporter/kovaltherm.prom"),
    Run("listen", "host", ["ktsensors --listen 9757"], background=True,
        check="for i in $(seq 100); do curl -sf http://127.0.0.1:9757/metrics | grep -qx 'kovaltherm_up 1' && exit 0;"
              " sleep 0.1; done; exit 1"),
    Run("check", "host", ["ktsensors --check --registry /tmp/critical.db --scenario examples/critical.json"], status=2),
    Run("dump-registry", "host", ["build/host/ktsensors --registry /tmp/heat.db --scenario examples/heat-cycle.json >/dev/null",
                                  "build/host/ktsensors --registry /tmp/heat.db --dump-registry"]),
    Run("plot", "host", ["build/host/ktsensors --registry /tmp/plot.db --scenario examples/heat-cycle.json --plot docs/heat-cycle.svg"],
        check='cmp docs/heat-cycle.svg "$KOVALTHERM_SOURCE/docs/heat-cycle.svg"'),
    # The longer command first: a run covers each command its commands begin.
    Run("configured-check", "host", ["build/host/ktsensors --registry /tmp/configured.db --scenario examples/steady.json "
                                     "--config examples/sensors.conf --check"], status=1),
    Run("configured", "host", ["build/host/ktsensors --registry /tmp/configured.db --scenario examples/steady.json "
                               "--config examples/sensors.conf"]),
    Run("bad-scenario", "host", ["build/host/ktsensors --scenario bad.json"], status=2,
        setup="sed 's/\"warning_high\": 90/\"warning_high\": \"hot\"/' examples/heat-cycle.json >bad.json"),
    Run("sdk-linux", CONSUMER, ["gcc -Iinclude examples/linked.c -Llinux-x86_64 -lkovaltherm -o linked",
                                "mcs -out:ReadSensors.exe", "python3 -m venv v && v/bin/pip install --no-index --find-links python kovaltherm"]),
    Run("sdk-linux-run", CONSUMER, ["export LD_LIBRARY_PATH=$PWD/linux-x86_64", "export KOVALTHERM_SCENARIO=",
                                    "./linked", "mono ReadSensors.exe", "v/bin/python examples/read_sensors.py"]),
    Run("nuget-install", CONSUMER, ["nuget install Kovaltherm -Source $PWD/nuget"]),
    Run("xbuild", CONSUMER, ["xbuild /p:Platform=x64 /p:_TargetFrameworkDirectories=/usr/lib/mono/4.5 App.csproj"]),
    Run("mingw-x86", CONSUMER, ["i686-w64-mingw32-gcc -Iinclude examples/linked.c -Lx86"]),
    Run("mingw-x64", CONSUMER, ["x86_64-w64-mingw32-gcc -Iinclude examples/linked.c -Lx64"]),
    Run("pkg-config", CONSUMER, ["x86_64-w64-mingw32-gcc examples/linked.c $(PKG_CONFIG_PATH=x64/pkgconfig"]),
    Run("cross-build", CONSUMER, ["cmake -S . -B build-x64 --toolchain mingw-w64-x86_64.cmake -DCMAKE_FIND_ROOT_PATH=/opt/kovaltherm-sdk",
                                  "cmake --build build-x64"]),
    Run("testkit-walk", TESTKIT, ["./qorix-kit.sh install", "./qorix-kit.sh start",
                                  "/usr/lib/wine/wine64 x64/ktsensors-testkit.exe --scenario scenarios/stuck-controller.json",
                                  "/usr/lib/wine/wine64 your-program.exe", "./qorix-kit.sh remove"]),
    Run("testkit-events", TESTKIT, ["./qorix-kit.sh stop", "WINEDEBUG=-all,trace+eventlog,fixme+advapi ./qorix-kit.sh start",
                                    "grep ReportEventW ~/.wine/qorix-kit.log"]),
    Run("checksums", GUIDE, ["sha256sum --check --ignore-missing SHA256SUMS"]),
    Run("msi-install", GUIDE, ["msiexec /i kovaltherm-1.0.0-x64.msi /qn /l*v %WINDIR%\\Temp\\kovaltherm.log INTERVAL=30"]),
    Run("msi-install-listen", GUIDE, ["msiexec /i kovaltherm-1.0.0-x64.msi /qn /l*v %WINDIR%\\Temp\\kovaltherm.log LISTEN="]),
    Run("msi-repair", GUIDE, ["msiexec /i kovaltherm-1.0.0-x64.msi REINSTALL=ALL REINSTALLMODE=vomus"]),
    Run("msi-uninstall", GUIDE, ["msiexec /x kovaltherm-1.0.0-x64.msi"]),
    Run("msi-uninstall-code", GUIDE, ["msiexec /x {"]),
    Run("install-service", GUIDE, ["ktsensors.exe --install-service --listen 0.0.0.0:9757"]),
    Run("policy", GUIDE, ['reg add "HKLM\\SOFTWARE\\Policies\\Kovaltherm\\Sensors\\Location ',
                          '"C:\\Program Files\\Kovaltherm\\ktsensors.exe"'], docs=("docs/operators.md",)),
    Run("signature", SIGNING, ["osslsigncode verify -CAfile /etc/ssl/certs/ca-certificates.crt -in kovaltherm-1.0.0-x64.msi"]),
]


def documents(src):
    """The Markdown files of the tree, README.md first."""
    try:
        listed = subprocess.run(["git", "-C", str(src), "ls-files", "*.md"], capture_output=True,
                                text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        listed = [str(p.relative_to(src)) for p in Path(src).rglob("*.md")
                  if not {"build", "dist", ".git"} & set(p.relative_to(src).parts)]
    return sorted(listed, key=lambda d: (d != "README.md", d.count("/") and not d.startswith("docs/"), d))


def parse(src, doc):
    """The commands of one document, and the lines that look like commands fenced wrongly."""
    lines = (Path(src) / doc).read_text(encoding="utf-8").split("\n")
    commands, suspects = [], []
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence, lang = opening.group(1), opening.group(2), opening.group(3).lower()
        mark = MARK.match(lines[i - 1]) if i else None
        body, start = [], i + 1
        i += 1
        while i < len(lines) and not re.match(r"^\s*" + re.escape(fence[0]) + "{%d,}\\s*$" % len(fence), lines[i]):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i].lstrip())
            i += 1
        i += 1
        reason = mark.group(1) if mark else ""
        if lang in COMMAND_BLOCKS:
            pending, first = [], None
            for n, text in enumerate(body):
                stripped = text.strip()
                if not pending and (not stripped or stripped.startswith("#") or
                                    re.match(r"(?i)^(@?rem\b|::)", stripped)):
                    continue
                first = first if pending else start + n + 1
                pending.append(text.rstrip())
                if lang in ("sh", "bash", "shell") and text.rstrip().endswith("\\"):
                    continue
                commands.append(Command(doc, first, lang, "\n".join(pending), reason))
                pending = []
        elif lang in PROMPT_BLOCKS:
            current = None
            synopsis = any("[" in text for text in body if not text.startswith("$ "))
            for n, text in enumerate(body):
                if text.startswith("$ "):
                    current = Command(doc, start + n + 1, "sh", text[2:].strip(), reason, [])
                    commands.append(current)
                elif current is not None:
                    current.shown.append(text)
                elif not synopsis and text.split()[:1] and text.split()[0] in COMMAND_WORDS:
                    suspects.append((doc, start + n + 1, text.strip()))
        if mark and lang not in COMMAND_BLOCKS | PROMPT_BLOCKS:
            suspects.append((doc, start, "a windows-only mark before a block that holds no commands"))
    for n, text in enumerate(lines):
        if MARK.match(text) and (n + 1 >= len(lines) or not FENCE.match(lines[n + 1])):
            suspects.append((doc, n + 1, "a windows-only mark not immediately before a code fence"))
    return commands, suspects


def gather(src):
    """Every command of every document, each with the run that covers it (or None)."""
    commands, suspects = [], []
    for doc in documents(src):
        found, odd = parse(src, doc)
        commands += found
        suspects += odd
    for run in RUNS:
        run.found = []
    covered = {}
    for command in commands:
        if command.windows_only:
            continue
        for run in RUNS:
            if any(command.bare.startswith(p) for p in run.commands) and (not run.docs or command.doc in run.docs):
                covered[id(command)] = run
                run.found.append(command)
                break
    return commands, suspects, covered


def claim_holds(src, run):
    """Whether the file a run names runs the command: a script asks for its key, a stage
    file holds the command itself."""
    kind, path = run.where.split()[:2] if run.where != "host" else ("host", "")
    if kind == "host":
        return True
    if not (Path(src) / path).is_file():
        return False
    text = (Path(src) / path).read_text(encoding="utf-8")
    if kind == "script":
        return "doc_commands.py" in text and re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(run.key), text) is not None
    bare = {c.bare for c in run.found}
    return all(re.search(r'(^|["\'\s])%s(["\']|$)' % re.escape(b), text, re.M) for b in bare)


def check(src):
    commands, suspects, covered = gather(src)
    failures = []
    by_doc = {}
    print("Commands the documents tell a reader to type, and where each runs:")
    for command in commands:
        run = covered.get(id(command))
        where = ("windows-only: " + command.windows_only if command.windows_only
                 else f"{run.where} [{run.key}]" if run else "NOT RUN")
        counts = by_doc.setdefault(command.doc, [0, 0])
        counts[1 if command.windows_only else 0] += 1
        print(f"  {command.doc}:{command.line}: {command.bare.splitlines()[0]}\n      -> {where}")
        if not run and not command.windows_only:
            failures.append(f"{command.doc}:{command.line}: `{command.bare}` is neither run by a test nor marked "
                            "windows-only: add it to RUNS in tests/docs/doc_commands.py with the test that runs it")
    print("Windows-only marks:")
    for command in commands:
        if command.windows_only:
            print(f"  {command.doc}:{command.line}: {command.bare.splitlines()[0]}\n      because {command.windows_only}")
    print("Per document (run, windows-only):")
    for doc, (run_count, marked) in by_doc.items():
        print(f"  {doc}: {run_count}, {marked}")
    for run in RUNS:
        if not run.found:
            failures.append(f"RUNS[{run.key}] covers no command of the documents any more")
        elif not claim_holds(src, run):
            failures.append(f"RUNS[{run.key}]: {run.where.split()[1]} does not run it")
    failures += [f"{doc}:{line}: {text}: fence it as sh or bat, or prefix it with $" if "mark" not in text
                 else f"{doc}:{line}: {text}" for doc, line, text in suspects]
    for failure in failures:
        print("FAIL: " + failure)
    print(f"{len(commands)} commands: {sum(1 for c in commands if c.windows_only)} windows-only, "
          f"{len(covered)} run by a test, {len(failures)} problems")
    return not failures


def unique(commands):
    """The commands, each written the same way (comments aside) only once, in order."""
    seen = {}
    for command in commands:
        seen.setdefault(command.bare, command)
    return list(seen.values())


def print_run(src, key):
    gather(src)
    run = next((r for r in RUNS if r.key == key), None)
    if run is None or not run.found:
        print(f"doc_commands: no commands under {key}", file=sys.stderr)
        return False
    print("\n".join(c.text for c in unique(run.found)))
    return True


def matches(shown, output):
    """Whether the output is what the doc shows: whitespace aside, "..." standing for anything."""
    pattern = ".*".join(re.escape(re.sub(r"\s+", "", part)) for part in "\n".join(shown).split("..."))
    return re.fullmatch(pattern, re.sub(r"\s+", "", output), re.S) is not None


def run_host(src, host):
    """Runs each host command in the sandbox; prints ok or FAIL per command."""
    gather(src)
    passed = failed = 0
    scratch = Path(tempfile.mkdtemp(prefix="doc-commands-", dir=Path(host)))
    try:
        for run in (r for r in RUNS if r.where == "host"):
            tree = scratch / run.key
            for folder in ("examples", "docs"):
                shutil.copytree(Path(src) / folder, tree / folder)
            (tree / "build").mkdir()
            (tree / "build" / "host").symlink_to(Path(host).resolve())
            (tree / "home").mkdir()
            sandbox = [str(Path(__file__).resolve().parent / "sandbox.sh"), "--net",
                       "--keep", str(Path(src).resolve()), "--keep", str(Path(host).resolve()), "--tmpfs", "/tmp",
                       "--tmpfs", "/var/lib/prometheus/node-exporter", "--"]
            env = dict(os.environ, HOME=str(tree / "home"), KOVALTHERM_SOURCE=str(Path(src).resolve()),
                       PATH=f"{Path(host).resolve()}:{os.environ.get('PATH', '/usr/bin:/bin')}")
            for name in ("XDG_STATE_HOME", "KOVALTHERM_REGISTRY", "KOVALTHERM_SCENARIO", "KOVALTHERM_CLOCK",
                         "KOVALTHERM_TRACE"):
                env.pop(name, None)
            done = subprocess.run(sandbox + [sys.executable, str(Path(__file__).resolve()), "run-inside", run.key],
                                  cwd=tree, env=env, capture_output=True, text=True, timeout=300)
            sys.stdout.write(done.stdout)
            sys.stderr.write(done.stderr)
            passed += done.stdout.count("\nok: ") + done.stdout.startswith("ok: ")
            failed += done.stdout.count("FAIL: ") + (done.returncode != 0 and "FAIL: " not in done.stdout)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return failed == 0


def run_inside(key):
    """In the sandbox, in the scratch tree: the run's commands one by one."""
    run = next(r for r in RUNS if r.key == key)
    if run.setup:
        subprocess.run(["bash", "-c", run.setup], check=True)
    commands = unique(run.found)
    ok = True
    for command in commands:
        where = f"{command.doc}:{command.line}: {command.bare}"
        if run.background:
            process = subprocess.Popen(["bash", "-c", command.text], stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, text=True, start_new_session=True)
            checked = subprocess.run(["bash", "-c", run.check]).returncode
            os.killpg(process.pid, signal.SIGTERM)
            output = process.communicate(timeout=10)[0]
            status, outcome = process.returncode, checked == 0
        else:
            done = subprocess.run(["bash", "-c", command.text], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, timeout=120)
            output, status = done.stdout, done.returncode
            outcome = True
        last = command is commands[-1]
        if status != (run.status if last else 0):
            print(f"FAIL: {where}: exit status {status}, expected {run.status if last else 0}\n{output}")
            ok = False
            continue
        if command.shown and not run.compare and not matches(command.shown, output):
            print(f"FAIL: {where}: printed\n{output}\nnot what the document shows:\n" + "\n".join(command.shown))
            ok = False
            continue
        if last and run.check and not run.background:
            outcome = subprocess.run(["bash", "-c", run.check]).returncode == 0
        if not outcome:
            print(f"FAIL: {where}: its check failed: {run.check}\n{output}")
            ok = False
            continue
        print(f"ok: {where}")
    return ok


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    verb, src = argv[1], argv[2]
    if verb == "check":
        return 0 if check(src) else 1
    if verb == "print" and len(argv) == 4:
        return 0 if print_run(src, argv[3]) else 1
    if verb == "run-host" and len(argv) == 4:
        return 0 if run_host(src, argv[3]) else 1
    if verb == "run-inside":
        gather(os.environ["KOVALTHERM_SOURCE"])
        return 0 if run_inside(argv[2]) else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
