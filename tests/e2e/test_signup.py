#!/usr/bin/python3
"""Newcomers join by themselves: sign-up at the logon dialogue by telnet, SSH (the user `new`) and the web terminal in
the sysop's three modes, the per-address allowance, the new player's character and a purchase, and `password`."""

from test_ways import WaysHost, paramiko  # noqa: F401 (the SSH and web clients)
from e2e_support import *  # noqa: F401,F403 (the standard modules too)

suite = Suite("signup")
HINT = "Type NEW at the User-ID prompt to sign up."
NAME_PROMPT = "your character's name]: "
MADE = "is made. Welcome!"


def set_signup(host, **settings):
    """signup.ini with these settings (the rest as `bbshost init` writes them); read at every sign-up."""
    text = read(host.path("signup.ini"))
    for key, value in settings.items():
        text = edited(text, r"(?m)^%s = .*$" % key, "%s = %s" % (key, value))
    write_atomically(host.path("signup.ini"), text)


def sign_up(client, userid, password, until, again=None):
    """From the User-ID prompt: NEW, the user-ID, the password twice; all that was said."""
    return client.steps(("NEW", "New user-ID: "), (userid, "Password (at least 8 characters): "),
                        (password, "Password again: "), (again or password, until))


@suite.case
def a_newcomer_signs_up_by_telnet_names_his_character_and_buys_a_life():
    with BbsHost() as host:
        set_signup(host, days=20)   # the demo's 1000 credits stay
        client = host.raw()
        holds(client.read_until("User-ID: "), HINT)
        out = client.steps(("NEW", "New user-ID: "), ("Alice", "New user-ID: ", "That user-ID is taken."),
                           ("9lives", "New user-ID: ", "begins with a letter"), ("Newt Scamander", "characters): "),
                           ("newt scamander!", "characters): ", "must not contain the user-ID"),
                           ("river stones", "again: "), ("river stonez", "characters): ", "The two passwords differ."),
                           ("river stones", "again: "), ("river stones", NAME_PROMPT, MADE, "no character"))
        holds(out, "!river")
        shows(host.data, (("user", "show", "Newt Scamander"), "credits=1000 days=20 class=Member keys="))
        client.steps(("Al", NAME_PROMPT, "3 to 10 letters"), ("alia", NAME_PROMPT, "named alia already"),
                     ("sCAMMY", "[Brakvold Scammy]: ", "Welcome to Brakvold, Scammy!"),
                     ("stats", GAME_PROMPT, "Character: Scammy", "Copper: 1000", "Lives: 3"))
        client.steps(("ext", "Extension: "), ("*", CHOICE))
        client.buy_life()
        equal(host.lives("Scammy"), 4, "the lives of the new player")
        equal(host.credits("Newt Scamander"), 500, "the credits left of 1000 after a life of 500")
        holds(host.log_text(), 'sign-up of "Newt Scamander" from 127.0.0.1:',
              "logon of Newt Scamander at channel")
        client.steps(("x", GAME_PROMPT), ("quit", None))
        check(client.wait_closed(), "quit did not end the session")
        again = host.raw_user("Newt Scamander", "river stones")   # named: no question any more
        holds(again.served("Newt"), "Character: Scammy")
        sysop = host.raw().login("Sysop", "sysop")
        holds(sysop, NAME_PROMPT)                     # a command instead of a name leaves none
        holds(host.raw().login("Carol"), "Welcome to Brakvold, Cara!", "!" + NAME_PROMPT)


@suite.case
def ssh_user_new_and_the_web_terminal_sign_up_in_the_same_dialogue():
    with WaysHost() as host:
        ssh = host.ssh("new", password="")
        out = ssh.read_until("New user-ID: ")
        holds(plain(out), "A new account.", "!User-ID:")
        out = ssh.steps(("Sshed", "characters): "), ("pass phrase one", "again: "), ("pass phrase one", NAME_PROMPT, MADE))
        holds(out, "!pass phrase")                     # the host echoes in the shell, but not the passwords
        ssh.steps(("Sshy", "[Brakvold Sshy]: "))
        holds(host.log_text(), "logon of Sshed at channel")
        web = host.web()
        holds(web.read_until("User-ID: "), HINT)
        sign_up(web, "Webbed", "pass phrase two", NAME_PROMPT)
        check(ssh_logon_works(host, "Sshed", "pass phrase one"), "the signed-up user cannot log on by SSH")


def ssh_logon_works(host, userid, password):
    transport = paramiko.Transport(socket.create_connection(("127.0.0.1", host.ssh_port), timeout=EXPECT_TIMEOUT))
    try:
        transport.start_client(timeout=EXPECT_TIMEOUT)
        transport.auth_password(userid, password)
        return transport.is_authenticated()
    except paramiko.AuthenticationException:
        return False
    finally:
        transport.close()


@suite.case
def validation_keeps_a_new_account_out_until_the_sysop_validates_it_and_closed_refuses_new():
    with BbsHost() as host:
        set_signup(host, mode="validate")
        client = host.raw()
        holds(client.read_until("User-ID: "), HINT)
        holds(sign_up(client, "Waiting Will", "patient one", "validated."), "waits for the sysop's validation")
        check(client.wait_closed(), "the connection stayed open after a sign-up awaiting validation")
        holds(host.admin_ok("user", "pending"), "Waiting Will\tMember\t1000\t30\t")
        for _ in range(2):
            client = host.raw()
            client.read_until("User-ID: ")
            holds(client.steps(("waiting will", "Password: "), ("patient one", "later.")),
                  "Your account is waiting for validation by the sysop.")
            check(client.wait_closed(), "the account awaiting validation was not logged off")
        holds(host.log_text(), 'logon as "Waiting Will" from 127.0.0.1:', "refused: waiting for validation")
        host.admin_ok("user", "validate", "waiting will")
        holds(host.raw().login("Waiting Will", "patient one", until=NAME_PROMPT), "no character")

        set_signup(host, mode="closed")
        client = host.raw()
        holds(client.read_until("User-ID: "), "!" + HINT)
        client.steps(("new", "User-ID: ", "Sign-up is closed here. Please ask the sysop for an account."),
                     ("Alice", "Password: "), ("alice", GAME_PROMPT))
        equal(host.admin_ok("user", "pending"), "", "the accounts pending after validation")


@suite.case
def each_address_makes_three_accounts_then_waits_and_giving_up_costs_none():
    with BbsHost() as host:
        gave_up = host.raw(source="127.0.0.3")
        gave_up.read_until("User-ID: ")
        gave_up.steps(("NEW", "New user-ID: "), ("", "User-ID: ", "Sign-up ended."))   # given back
        gave_up.close()
        for n in range(3):
            client = host.raw(source="127.0.0.3")
            client.read_until("User-ID: ")
            sign_up(client, "Many%d" % n, "long enough %d" % n, NAME_PROMPT)
            client.close()
        client = host.raw(source="127.0.0.3")
        client.read_until("User-ID: ")
        holds(client.type("NEW", "minutes."), "Too many new accounts from your address. Please try again in")
        check(client.wait_closed(), "the refused sign-up stayed open")
        other = host.raw(source="127.0.0.4")
        other.read_until("User-ID: ")
        sign_up(other, "Elsewhere", "long enough 9", NAME_PROMPT)
        holds(host.log_text(), "sign-up from 127.0.0.3:", "refused: Too many new accounts from your address.")


@suite.case
def password_asks_the_old_one_and_the_new_one_twice_without_echo():
    with WaysHost() as host:
        alice = host.ssh("Alice")
        alice.read_until(GAME_PROMPT)
        holds(alice.type("help", GAME_PROMPT), "password     change your password")
        for old, new, again, says in (("wrong one", "new secret 1", "new secret 1", "That is not your password."),
                                      ("alice", "new secret 1", "new secret 2", "The two passwords differ."),
                                      ("alice", "tiny", None, "A password has at least 8 characters.")):
            steps = [("password", "Old password: "), (old, "characters): ")]
            steps += [(new, "again: "), (again, GAME_PROMPT, says)] if again else [(new, GAME_PROMPT, says)]
            out = alice.steps(*steps)
            holds(out, "Your password is unchanged.", "!" + old, "!" + new, "!new secret")
        out = alice.steps(("password", "Old password: "), ("alice", "characters): "), ("fresh secret", "again: "),
                          ("fresh secret", "[Brakvold Alia]: ", "Your password is changed."))
        holds(out, "!fresh", "!alice")
        holds(host.log_text(), "password change of Alice from 127.0.0.1:", "refused: That is not your password.",
              "password of Alice changed from 127.0.0.1:")
        alice.served("Alice")                               # still on
        alice.send("quit")
        check(alice.wait_closed(), "quit did not end the session")
        check(host.attempt("Alice", "alice") == "Invalid login.", "the old password still logs on")
        check(ssh_logon_works(host, "Alice", "fresh secret"), "the new password does not log on")


suite.main()
