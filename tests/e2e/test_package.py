#!/usr/bin/python3
"""The Debian package of make deb: files, control fields, maintainer scripts, lintian (skipped without dpkg
tools); the manual page against bbshost --help-all and man."""

import gzip

from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("package")

BUILD = os.path.dirname(os.path.dirname(BBSHOST)) if BBSHOST else ""
DATA = "/var/lib/brakvold-plus"

FILES = {"./" + (f if f.startswith("etc/") else "usr/" + f) for f in INSTALLED}
EXECUTABLES = {"./usr/bin/bbshost"}
CONFFILES = {"/etc/default/brakvold-plus", "/etc/logrotate.d/brakvold-plus", "/etc/fail2ban/filter.d/brakvold-plus.conf",
             "/etc/fail2ban/jail.d/brakvold-plus.conf"}
SCRIPTS = ("postinst", "prerm", "postrm")
MAN_PAGE = os.path.join(os.path.dirname(CONFIG_DIR), "docs", "bbshost.1") if CONFIG_DIR else ""


class Package:

    def __init__(self):
        self.scratch = tempfile.mkdtemp(prefix="brakvold-package-")
        run_ok(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", self.scratch],
               cwd=BUILD, stderr=subprocess.STDOUT, timeout=110)
        debs = [n for n in os.listdir(self.scratch) if n.endswith(".deb")]
        check(len(debs) == 1, "cpack made %r" % debs)
        self.deb = os.path.join(self.scratch, debs[0])
        self.root = os.path.join(self.scratch, "root")
        self.control = os.path.join(self.scratch, "control")
        for flag, to in (("-x", self.root), ("-e", self.control)):
            run_ok(["dpkg-deb", flag, self.deb, to])

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


_package = None


def package_case(function):
    """A case given the package, built once; skipped where it cannot be built."""
    def case():
        global _package
        missing = [tool for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps") if not shutil.which(tool)]
        if not BUILD or not CONFIG_DIR or not os.path.exists(os.path.join(BUILD, "CPackConfig.cmake")):
            missing.append("the build folder's CPackConfig.cmake (BBSHOST=%r)" % BBSHOST)
        if missing:
            print("SKIP: the package cannot be built here, %s missing" % ", ".join(missing))
            return
        _package = _package or Package()
        function(_package)
    case.__name__ = function.__name__
    return suite.case(case)


@package_case
def the_package_holds_the_program_its_libraries_unit_logrotate_and_templates(p):
    listing = run_ok(["dpkg-deb", "-c", p.deb])
    files = {}
    for line in listing.splitlines():   # -rwxr-xr-x root/root 123 2026-12-07 08:00 ./usr/bin/bbshost
        fields = line.split(None, 5)
        check(len(fields) == 6, "a line of dpkg-deb -c: %r" % line)
        mode, owner, path = fields[0], fields[1], fields[5]
        check(owner == "root/root", "%s belongs to %s" % (path, owner))
        if mode.startswith("-"):
            files[path] = mode
        else:
            check(mode.startswith("d"), "%s is no file or folder: %s" % (path, mode))
    check(set(files) == FILES, "the package's files: missing %r, more %r" %
          (sorted(FILES - set(files)), sorted(set(files) - FILES)))
    for path, mode in files.items():
        wanted = ("-rwxr-xr-x",) if path in EXECUTABLES else ("-rwxr-xr-x", "-rw-r--r--") if path.endswith(".so") \
            else ("-rw-r--r--",)
        check(mode in wanted, "%s has the mode %s" % (path, mode))

    unit = read(os.path.join(p.root, "usr/lib/systemd/system/brakvold-plus.service"))
    for line in ("ExecStart=/usr/bin/bbshost --data %s $BBSHOST_OPTIONS" % DATA,
                 "EnvironmentFile=-/etc/default/brakvold-plus", "User=brakvold"):
        check(line in unit, "the unit lacks %r:\n%s" % (line, unit))
    for path in FILES - EXECUTABLES:
        if path.endswith((".so", ".MCT")):
            continue
        text = read(os.path.join(p.root, path))
        check(BUILD not in text and p.scratch not in text, "%s names the build or staging folder" % path)
    holds(read(os.path.join(p.root, "etc/logrotate.d/brakvold-plus")), DATA + "/bbshost.log", DATA + "/brakvold.log")
    templates = os.path.join(p.root, "usr/share/brakvold-plus/config")
    for name in ("QRTBKPLS.MSG", "QRTBKPLS.MDF", "brakvold.ini"):
        check(read(os.path.join(templates, name)) == read(os.path.join(CONFIG_DIR, name)),
              "the packaged template %s differs from config/%s" % (name, name))

    with open(os.path.join(p.root, "usr/share/man/man1/bbshost.1.gz"), "rb") as packed, open(MAN_PAGE, "rb") as page:
        check(gzip.decompress(packed.read()) == page.read(), "the packaged manual page is not docs/bbshost.1")

    program = os.path.join(p.root, "usr/bin/bbshost")
    data = os.path.join(p.scratch, "data")
    run_ok([program, "--data", data, "init", "--no-sysop"], env=host_env())
    check(read(os.path.join(data, "QRTBKPLS.MSG")) == read(os.path.join(templates, "QRTBKPLS.MSG")),
          "the packaged init did not copy the packaged template")


@package_case
def the_control_fields_name_the_package_its_version_and_dependencies(p):
    fields = {name: run_ok(["dpkg-deb", "-f", p.deb, name]).strip()
              for name in ("Package", "Version", "Architecture", "Depends", "Section", "Maintainer", "Description")}
    version = re.search(r"(\d+\.\d+\.\d+)", run_ok([BBSHOST, "--version"])).group(1)
    for name, wanted in (("Package", "brakvold-plus"), ("Version", version),
                         ("Architecture", run_ok(["dpkg", "--print-architecture"]).strip()), ("Section", "net")):
        check(fields[name] == wanted, "%s: %r, not %r" % (name, fields[name], wanted))
    cached = re.search(r"(?m)^PLUS_MAINTAINER:STRING=(.*)$", read(os.path.join(BUILD, "CMakeCache.txt")))
    maintainer = cached.group(1) if cached else None
    check(fields["Maintainer"] == maintainer and fields["Description"].startswith("Brakvold Plus"),
          "Maintainer %r (PLUS_MAINTAINER %r), Description %r" % (fields["Maintainer"], maintainer, fields["Description"]))
    with gzip.open(os.path.join(p.root, "usr/share/doc/brakvold-plus/changelog.gz"), "rt") as f:
        latest = f.readline()
    check(latest.startswith("brakvold-plus (%s) " % version), "the changelog's latest entry: %r" % latest)
    depends = [d.strip().split()[0] for d in fields["Depends"].split(",") if d.strip()]
    for wanted in ("adduser", "node-xterm", "libc6", "libsqlite3-0"):
        check(wanted in depends, "Depends lacks %s: %r" % (wanted, fields["Depends"]))
    info = run_ok(["dpkg-deb", "-I", p.deb])
    for name in SCRIPTS + ("conffiles",):
        check(re.search(r"\b%s\b" % name, info), "dpkg-deb -I lists no %s:\n%s" % (name, info))
    equal(set(read(os.path.join(p.control, "conffiles")).split()), CONFFILES, "conffiles")
    for name in SCRIPTS:
        equal(mode_of(os.path.join(p.control, name)), 0o755, "the mode of " + name)
        run_ok(["sh", "-n", os.path.join(p.control, name)])   # valid sh


# Each appends its name and arguments to $CALLS; getent knows the user once adduser made it, and
# deb-systemd-helper says the service was enabled unless $CALLS.disabled is there.
STAND_INS = {
    "getent": 'echo "getent $*" >> "$CALLS"; [ -e "$CALLS.user" ] && echo "brakvold:x:999:999::%s:/usr/sbin/nologin"',
    "adduser": 'echo "adduser $*" >> "$CALLS"; touch "$CALLS.user"',
    "chown": 'echo "chown $*" >> "$CALLS"',
    "systemctl": 'echo "systemctl $*" >> "$CALLS"',
    "deb-systemd-helper": 'echo "deb-systemd-helper $*" >> "$CALLS"; '
                          '[ "$*" != "--quiet was-enabled brakvold-plus.service" ] || [ ! -e "$CALLS.disabled" ]',
    "deb-systemd-invoke": 'echo "deb-systemd-invoke $*" >> "$CALLS"',
    "runuser": 'echo "runuser $*" >> "$CALLS"; [ "$1" = -u ] && [ "$3" = -- ] || exit 9; shift 3; exec "$@"',}
SERVICE = ("systemctl ", "deb-systemd-")


def run_script(p, root, name, *args):
    """A maintainer script with the stand-ins first on PATH and systemd running, which must succeed;
    (output, calls, data)."""
    bin_dir = os.path.join(root, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    for command, body in STAND_INS.items():
        path = os.path.join(bin_dir, command)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + (body % DATA if "%s" in body else body) + "\n")
        os.chmod(path, 0o755)
    data, systemd = os.path.join(root, "var-lib-brakvold-plus"), os.path.join(root, "run-systemd-system")
    os.makedirs(systemd, exist_ok=True)
    text = read(os.path.join(p.control, name)).replace(DATA, data).replace("/usr/bin/bbshost", BBSHOST)
    text = text.replace("/run/systemd/system", systemd)
    script = os.path.join(root, name)
    with open(script, "w") as f:
        f.write(text)
    calls = os.path.join(root, "calls")
    before = len(read(calls).splitlines()) if os.path.exists(calls) else 0
    env = host_env()
    env.update(PATH=bin_dir + ":" + env.get("PATH", "/usr/bin:/bin"), CALLS=calls)
    out = run_ok(["sh", script] + list(args), env=env, stderr=subprocess.STDOUT)
    return out, (read(calls).splitlines()[before:] if os.path.exists(calls) else []), data


UNIT, RELOAD = "brakvold-plus.service", "systemctl --system daemon-reload"


@package_case
def postinst_makes_the_user_and_an_empty_data_folder_then_starts_the_service_and_removal_keeps_them(p):
    with scratch("brakvold-scripts-") as root:
        out, calls, data = run_script(p, root, "postinst", "configure", "")
        adds = [c for c in calls if c.startswith("adduser ")]
        check(len(adds) == 1 and "--system" in adds[0].split() and adds[0].split()[-1] == "brakvold",
              "postinst did not make the system user brakvold: %r" % calls)
        check("chown brakvold:brakvold %s" % data in calls, "the folder was not given to brakvold: %r" % calls)
        equal(mode_of(data), 0o700, "the mode of the data folder")
        init = "runuser -u brakvold -- %s --data %s init --no-sysop" % (BBSHOST, data)
        equal([c for c in calls if c.startswith("runuser ")], [init], "postinst's init")
        check(os.path.exists(os.path.join(data, "bbs.db")), "postinst made no database")
        users = admin_ok(data, "user", "list")
        check(users.strip() == "", "the new folder has users: %r" % users)
        check("init" in out and "runuser -u brakvold -- bbshost --data %s init" % data in out,
              "postinst does not say how to add the first sysop: %r" % out)
        equal([c for c in calls if c.startswith(SERVICE)],
              ["deb-systemd-helper unmask " + UNIT, "deb-systemd-helper --quiet was-enabled " + UNIT,
               "deb-systemd-helper enable " + UNIT, RELOAD, "deb-systemd-invoke start " + UNIT],
              "the service on installation")
        check(calls.index(init) < calls.index("deb-systemd-invoke start " + UNIT),
              "the service started before its data folder was made: %r" % calls)

        admin_ok(data, "user", "add", "Keeper", stdin="kept words\n")
        open(os.path.join(root, "calls.disabled"), "w").close()   # the sysop disabled the service
        out, calls, _ = run_script(p, root, "postinst", "configure", "1.0.0")
        check(not [c for c in calls if c.startswith(("adduser", "runuser", "chown"))],
              "postinst on upgrade made things again: %r" % calls)
        users = admin_ok(data, "user", "list")
        check(users.startswith("Keeper\t"), "the upgrade lost the users: %r" % users)
        equal([c for c in calls if c.startswith(SERVICE)],
              ["deb-systemd-helper unmask " + UNIT, "deb-systemd-helper --quiet was-enabled " + UNIT,
               "deb-systemd-helper update-state " + UNIT, RELOAD, "deb-systemd-invoke restart " + UNIT],
              "the disabled service on upgrade")

        for name, args, wanted in (("prerm", ("upgrade", "1.0.1"), []),
                                   ("prerm", ("remove",), ["deb-systemd-invoke stop " + UNIT]),
                                   ("postrm", ("remove",), [RELOAD]),
                                   ("postrm", ("purge",), ["deb-systemd-helper purge " + UNIT])):
            out, calls, _ = run_script(p, root, name, *args)
            what = "%s %s" % (name, " ".join(args))
            equal([c for c in calls if c.startswith(SERVICE)], wanted, "the service at " + what)
            check(os.path.exists(os.path.join(data, "bbs.db")), "%s removed the data" % what)
            check(not [c for c in calls if c.split()[0] in ("deluser", "userdel", "chown", "runuser")],
                  "%s touched the user: %r" % (what, calls))


@package_case
def lintian_finds_neither_error_nor_warning(p):
    check(shutil.which("lintian"), "lintian is missing (scripts/bootstrap installs it)")
    said = subprocess.run(["lintian", "--fail-on", "error,warning", p.deb], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=240)
    check(said.returncode == 0 and not re.search(r"(?m)^[EW]: ", said.stdout),
          "lintian (status %d):\n%s" % (said.returncode, said.stdout))


HELP_TITLES = ("Options:", "Positionals:", "Subcommands:")


def help_entries(lines):
    """{title: the first word of each entry} of a help text with its titles at column 0, entries at 2."""
    entries, title = {t: [] for t in HELP_TITLES}, None
    for line in lines:
        if line in HELP_TITLES:
            title = line
        elif title and re.match(r"  \S", line):
            entries[title].append(line.split()[0])
    return entries


def option_names(words):
    return {name for word in words for name in word.split(",")}   # -h,--help


def help_listing(*command):
    """(the options of bbshost COMMAND, {each command below it without commands of its own: (options,
    positionals)}) as bbshost COMMAND --help-all lists them."""
    lines = run_ok([BBSHOST, *command, "--help-all"]).splitlines()
    at = lines.index("Subcommands:") if "Subcommands:" in lines else len(lines)
    blocks = {}   # each command below: its name at column 0, the rest indented by 2
    for line in lines[at + 1:]:
        if line and not line.startswith(" "):
            block = blocks.setdefault(line.split()[0], [])
        elif line:
            block.append(line[2:])
    commands = {}
    for name, block in blocks.items():
        entries = help_entries(block)
        if entries["Subcommands:"]:   # their options are in the command's own --help-all
            commands.update({name + " " + sub: each for sub, each in help_listing(*command, name)[1].items()})
        else:
            commands[name] = (option_names(entries["Options:"]), entries["Positionals:"])
    return option_names(help_entries(lines[:at])["Options:"]), commands


def man_listing(path):
    """(the options of OPTIONS, {command: (options, arguments)} of COMMANDS) of the manual page: the tag
    of a .TP entry names options, a .SS heading a command with its arguments in italics."""
    serving, commands, section, command, previous = set(), {}, None, None, ""
    for line in read(path).splitlines():
        if line.startswith(".SH "):
            section, command = line[4:].strip('"'), None
        elif line.startswith(".SS ") and section == "COMMANDS":
            heading = line[4:].strip('"')
            command = heading.split("\\f")[0].strip()
            check(command not in commands, "the manual page has %s twice" % command)
            commands[command] = (set(), re.findall(r"\\fI(.+?)\\fP", heading))
        elif previous == ".TP":
            names = set(re.findall(r"(?<![\w-])--?[a-z][a-z-]*", line.replace("\\-", "-")))
            if section == "OPTIONS":
                serving |= names
            elif command:
                commands[command][0].update(names)
        previous = line
    return serving, commands


@suite.case
def the_manual_page_documents_exactly_the_options_and_commands_of_help_all():
    check(BBSHOST and MAN_PAGE, "BBSHOST and PLUS_CONFIG_DIR name the program and the sources")
    serving, commands = help_listing()
    check({"-h", "--help-all", "--port", "--data"} <= serving and {"init", "user add"} <= set(commands)
          and "--credits" in commands["user add"][0] and commands["key remove"][1] == ["ID", "N"],
          "bbshost --help-all read as %r %r" % (serving, commands))
    documented, pages = man_listing(MAN_PAGE)

    def same(what, listed, documented):
        check(listed == documented, "%s: the manual page lacks %r and documents %r, which --help-all does not list"
              % (what, sorted(listed - documented), sorted(documented - listed)))
    same("the options of serving", serving, documented)
    same("the commands", set(commands), set(pages))
    for name, (options, arguments) in commands.items():
        same("the options of " + name, options, pages[name][0])
        equal(pages[name][1], arguments, "the arguments of %s in the manual page" % name)


@suite.case
def man_renders_the_manual_page_without_a_warning():
    check(shutil.which("man"), "man is missing (scripts/bootstrap installs man-db)")
    said = subprocess.run(["man", "--warnings", "-l", MAN_PAGE], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80"))
    check(said.returncode == 0 and not said.stderr, "man --warnings -l (status %d): %s" % (said.returncode, said.stderr))
    holds(said.stdout, "BBSHOST(1)", "user add ID", "EXIT STATUS")


if __name__ == "__main__":
    try:
        status = suite.run()
    finally:
        if _package is not None:
            _package.close()
    sys.exit(status)
