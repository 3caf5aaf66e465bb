#!/usr/bin/python3
"""Admin commands run as a separate process while the host serves: the
database is the one source of truth. A change to days, class or keys of a
user who is online takes effect at his next line, decides his next charge,
and is never overwritten by what the host copied at his logon."""

import os
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import BbsHost, Suite, check, plain  # noqa: E402
from raw_telnet import RawClient  # noqa: E402

suite = Suite("live_admin")

CHOICE = "choice:"
LIFE_DAYS = 1          # the life costs a day in this folder
SYSOP_ENTRY = "Sysop: character descriptions"


def admin_ok(host, *args):
    status, out, err = host.admin(*args)
    check(status == 0, "%s failed with %s: %r" % (" ".join(args), status, err))
    return out


def account(host, userid):
    out = admin_ok(host, "user", "show", userid)
    fields = dict(re.findall(r"(\w+)=(\S*)", out))
    check("days" in fields and "class" in fields, "user show %s: %r" % (userid, out))
    return fields


def lives(host, player):
    out = admin_ok(host, "player", "show", player)
    return int(re.search(r"lives=(\d+)", out).group(1))


class Folder:
    """A data folder made by a first start, with a day price on lives and a
    class with a day limit besides the demo population's."""

    def __enter__(self):
        self.root = tempfile.mkdtemp(prefix="bbshost-e2e-live-")
        self.data = os.path.join(self.root, "data")
        with BbsHost(data_dir=self.data) as host:
            host.stop()
            admin_ok(host, "class", "add", "Elder", "--days", "400")
        path = os.path.join(self.data, "QRTBKPLS.MSG")
        with open(path, encoding="latin-1") as f:
            text = f.read()
        text, n = re.subn(r"(\n\d+ LIFEDAY \{)[^}]*\}", r"\g<1>%d}" % LIFE_DAYS, text)
        check(n == 1, "no LIFEDAY in %s" % path)
        with open(path, "w", encoding="latin-1") as f:
            f.write(text)
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.root, ignore_errors=True)
        return False


# Who is online in the main menu, the admin change made meanwhile, and what
# his next purchase of a life must do: bought or refused, and the days and
# class the database holds afterwards.
PURCHASES = [
    ("Alice", "alice", "Alia", ["--days", "0"], False, "0", "Member"),
    ("Bob", "bob", "Bobo", ["--days", "365", "--class", "Elder"], True, "364", "Elder"),
    ("Carol", "carol", "Cara", ["--days", "365", "--class", "Sysop"], True, "365", "Sysop"),
]


@suite.case
def days_and_class_changed_while_online_decide_the_next_charge():
    with Folder() as f, BbsHost(data_dir=f.data) as host:
        clients = {}
        for userid, password, _, _, _, _, _ in PURCHASES:
            c = RawClient(host.port)
            host.clients.append(c)
            c.login(userid, password)
            c.enter_plus()
            clients[userid] = c
        for userid, _, player, change, bought, days, klass in PURCHASES:
            c = clients[userid]
            lives_before = lives(host, player)
            admin_ok(host, "user", "set", userid, *change)
            c.type("l", "Do you wish to buy one? ")
            reply = plain(c.type("y", CHOICE))
            got = "one more life" in reply
            check(got == bought, "%s after user set %s: bought=%s: %r" % (userid, change, got, reply))
            c.type("", CHOICE)  # one more call for him: nothing may write his old copy back
            a = account(host, userid)
            check((a["days"], a["class"]) == (days, klass),
                  "%s after user set %s and a purchase: days=%s class=%s, expected %s %s" %
                  (userid, change, a["days"], a["class"], days, klass))
            check(lives(host, player) == lives_before + (1 if bought else 0),
                  "%s: the lives do not match the purchase" % userid)
        for c in clients.values():
            c.type("x", "]: ")
            c.close()
        # After the logoffs the database still holds the admin's values.
        for userid, _, _, _, _, days, klass in PURCHASES:
            a = account(host, userid)
            check((a["days"], a["class"]) == (days, klass), "%s after logoff: %r" % (userid, a))


# A key given or taken while the user is online counts from his next line.
KEYS = [
    ("Sysop", "sysop", ["--key", "HELPER"], False),
    ("Bob", "bob", ["--key", "SYSOP"], True),
]


@suite.case
def keys_changed_while_online_count_from_the_next_line():
    with BbsHost() as host:
        for userid, password, change, sysop_after in KEYS:
            c = RawClient(host.port)
            host.clients.append(c)
            c.login(userid, password)
            menu = plain(c.enter_plus())
            check((SYSOP_ENTRY in menu) != sysop_after, "%s's menu before the change: %r" % (userid, menu))
            admin_ok(host, "user", "set", userid, *change)
            menu = plain(c.type("", CHOICE))
            check((SYSOP_ENTRY in menu) == sysop_after,
                  "%s's menu after user set %s: %r" % (userid, change, menu))
            screen = plain(c.type("s", CHOICE))
            check(("Approve a user's description" in screen) == sysop_after,
                  "%s chose S after user set %s: %r" % (userid, change, screen))
            c.close()


if __name__ == "__main__":
    sys.exit(suite.run())
