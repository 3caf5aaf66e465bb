#!/usr/bin/python3
"""Admin commands run as a separate process while the host serves: the
database is the one source of truth. A change to days, class or keys of a
user who is online takes effect at his next line, decides his next charge,
and is never overwritten by what the host copied at his logon."""

import contextlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import CHOICE, BbsHost, Suite, check, made_folder, plain, set_option  # noqa: E402

suite = Suite("live_admin")

LIFE_DAYS = 1          # the life costs a day in this folder
SYSOP_ENTRY = "Sysop: character descriptions"


@contextlib.contextmanager
def live_host():
    """A host on a data folder with a day price on lives and a class with a
    day limit besides the demo population's."""
    with made_folder() as f:
        f.admin_ok("class", "add", "Elder", "--days", "400")
        set_option(f.data, "LIFEDAY", LIFE_DAYS)
        with BbsHost(data_dir=f.data) as host:
            yield host


# Who is online in the main menu, the admin change made meanwhile, and what
# his next purchase of a life must do: bought or refused, and the days and
# class the database holds afterwards.
PURCHASES = [
    ("Alice", "Alia", ["--days", "0"], False, "0", "Member"),
    ("Bob", "Bobo", ["--days", "365", "--class", "Elder"], True, "364", "Elder"),
    ("Carol", "Cara", ["--days", "365", "--class", "Sysop"], True, "365", "Sysop"),
]


@suite.case
def days_and_class_changed_while_online_decide_the_next_charge():
    with live_host() as host:
        clients = {userid: host.raw_user(userid) for userid, *_ in PURCHASES}
        for c in clients.values():
            c.enter_plus()
        for userid, player, change, bought, days, klass in PURCHASES:
            c = clients[userid]
            lives_before = host.lives(player)
            host.admin_ok("user", "set", userid, *change)
            reply = plain(c.buy_life())
            got = "one more life" in reply
            check(got == bought, "%s after user set %s: bought=%s: %r" % (userid, change, got, reply))
            c.type("", CHOICE)  # one more call for him: nothing may write his old copy back
            a = host.account(userid)
            check((a["days"], a["class"]) == (days, klass),
                  "%s after user set %s and a purchase: days=%s class=%s, expected %s %s" %
                  (userid, change, a["days"], a["class"], days, klass))
            check(host.lives(player) == lives_before + (1 if bought else 0),
                  "%s: the lives do not match the purchase" % userid)
        for c in clients.values():
            c.type("x", "]: ")
            c.close()
        # After the logoffs the database still holds the admin's values.
        for userid, _, _, _, days, klass in PURCHASES:
            a = host.account(userid)
            check((a["days"], a["class"]) == (days, klass), "%s after logoff: %r" % (userid, a))


# A key given or taken while the user is online counts from his next line.
KEYS = [
    ("Sysop", ["--key", "HELPER"], False),
    ("Bob", ["--key", "SYSOP"], True),
]


@suite.case
def keys_changed_while_online_count_from_the_next_line():
    with BbsHost() as host:
        for userid, change, sysop_after in KEYS:
            c = host.raw_user(userid)
            menu = plain(c.enter_plus())
            check((SYSOP_ENTRY in menu) != sysop_after, "%s's menu before the change: %r" % (userid, menu))
            host.admin_ok("user", "set", userid, *change)
            menu = plain(c.type("", CHOICE))
            check((SYSOP_ENTRY in menu) == sysop_after,
                  "%s's menu after user set %s: %r" % (userid, change, menu))
            screen = plain(c.type("s", CHOICE))
            check(("Approve a user's description" in screen) == sysop_after,
                  "%s chose S after user set %s: %r" % (userid, change, screen))
            c.close()


if __name__ == "__main__":
    suite.main()
