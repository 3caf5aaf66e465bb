#!/usr/bin/python3
"""The Debian package of make deb: files, control fields, maintainer scripts (skipped without dpkg tools)."""


from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("package")

BUILD = os.path.dirname(os.path.dirname(BBSHOST)) if BBSHOST else ""
DATA = "/var/lib/brakvold-plus"

FILES = {"./" + (f if f.startswith("etc/") else "usr/" + f) for f in INSTALLED}
EXECUTABLES = {"./usr/bin/bbshost"}
CONFFILES = {"/etc/default/brakvold-plus", "/etc/logrotate.d/brakvold-plus"}
SCRIPTS = ("postinst", "prerm", "postrm")


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
    check(fields["Maintainer"] and fields["Description"].startswith("Brakvold Plus"),
          "Maintainer %r, Description %r" % (fields["Maintainer"], fields["Description"]))
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


# Each appends its name and arguments to $CALLS; getent knows the user once adduser made it.
STAND_INS = {
    "getent": 'echo "getent $*" >> "$CALLS"; [ -e "$CALLS.user" ] && echo "brakvold:x:999:999::%s:/usr/sbin/nologin"',
    "adduser": 'echo "adduser $*" >> "$CALLS"; touch "$CALLS.user"',
    "chown": 'echo "chown $*" >> "$CALLS"',
    "systemctl": 'echo "systemctl $*" >> "$CALLS"',
    "runuser": 'echo "runuser $*" >> "$CALLS"; [ "$1" = -u ] && [ "$3" = -- ] || exit 9; shift 3; exec "$@"',}


def run_script(p, root, name, *args):
    """A maintainer script with the stand-ins first on PATH, which must succeed; (output, calls, data)."""
    bin_dir = os.path.join(root, "bin")
    os.makedirs(bin_dir, exist_ok=True)
    for command, body in STAND_INS.items():
        path = os.path.join(bin_dir, command)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + (body % DATA if "%s" in body else body) + "\n")
        os.chmod(path, 0o755)
    data = os.path.join(root, "var-lib-brakvold-plus")
    text = read(os.path.join(p.control, name)).replace(DATA, data).replace("/usr/bin/bbshost", BBSHOST)
    script = os.path.join(root, name)
    with open(script, "w") as f:
        f.write(text)
    calls = os.path.join(root, "calls")
    before = len(read(calls).splitlines()) if os.path.exists(calls) else 0
    env = host_env()
    env.update(PATH=bin_dir + ":" + env.get("PATH", "/usr/bin:/bin"), CALLS=calls)
    out = run_ok(["sh", script] + list(args), env=env, stderr=subprocess.STDOUT)
    return out, (read(calls).splitlines()[before:] if os.path.exists(calls) else []), data


@package_case
def postinst_makes_the_user_and_an_empty_data_folder_and_postrm_keeps_it(p):
    with scratch("brakvold-scripts-") as root:
        out, calls, data = run_script(p, root, "postinst", "configure", "")
        adds = [c for c in calls if c.startswith("adduser ")]
        check(len(adds) == 1 and "--system" in adds[0].split() and adds[0].split()[-1] == "brakvold",
              "postinst did not make the system user brakvold: %r" % calls)
        check("chown brakvold:brakvold %s" % data in calls, "the folder was not given to brakvold: %r" % calls)
        equal(mode_of(data), 0o700, "the mode of the data folder")
        equal([c for c in calls if c.startswith("runuser ")],
              ["runuser -u brakvold -- %s --data %s init --no-sysop" % (BBSHOST, data)], "postinst's init")
        check(os.path.exists(os.path.join(data, "bbs.db")), "postinst made no database")
        users = admin_ok(data, "user", "list")
        check(users.strip() == "", "the new folder has users: %r" % users)
        check("init" in out and "runuser -u brakvold -- bbshost --data %s init" % data in out,
              "postinst does not say how to add the first sysop: %r" % out)

        admin_ok(data, "user", "add", "Keeper", stdin="kept words\n")
        out, calls, _ = run_script(p, root, "postinst", "configure", "1.0.0")
        check(not [c for c in calls if c.startswith(("adduser", "runuser", "chown"))],
              "postinst on upgrade made things again: %r" % calls)
        users = admin_ok(data, "user", "list")
        check(users.startswith("Keeper\t"), "the upgrade lost the users: %r" % users)

        for args in (("remove",), ("purge",)):
            out, calls, _ = run_script(p, root, "postrm", *args)
            check(os.path.exists(os.path.join(data, "bbs.db")), "postrm %s removed the data" % (args,))
            check(not [c for c in calls if c.split()[0] in ("deluser", "userdel", "chown", "runuser")],
                  "postrm %s touched the user: %r" % (args, calls))
        out, calls, _ = run_script(p, root, "prerm", "remove")
        if os.path.isdir("/run/systemd/system"):
            check("systemctl stop brakvold-plus.service" in calls, "prerm did not stop the service: %r" % calls)


if __name__ == "__main__":
    try:
        status = suite.run()
    finally:
        if _package is not None:
            _package.close()
    sys.exit(status)
