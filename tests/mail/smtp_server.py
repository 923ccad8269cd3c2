"""SMTP server for the mail tests: aiosmtpd on 127.0.0.1 with AUTH LOGIN.

Usage: /usr/bin/python3 smtp_server.py OUTPUT_DIR USER PASSWORD [CERT KEY]
Without CERT and KEY it speaks plain TCP and takes AUTH LOGIN in the clear; with them it offers
STARTTLS with that certificate and takes no command but EHLO, STARTTLS and QUIT before TLS.
Listens on a free port and prints "PORT <n>" on stdout once ready. Each accepted message is
saved as OUTPUT_DIR/message-N.eml (the data as received, dots unstuffed) with
OUTPUT_DIR/message-N.envelope beside it (lines "login ...", "from ...", "to ...", then
"option ..." for each MAIL FROM parameter and "tls" when the session ran in TLS). Every command
line received goes to OUTPUT_DIR/commands.log. Stops when its standard input closes or on SIGTERM.
"""

import asyncio
import logging
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class SavingHandler:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.directory, "message-%d" % self.count)
        login = session.auth_data.login.decode() if session.auth_data else ""
        lines = ["login " + login, "from " + envelope.mail_from]
        lines += ["to " + rcpt for rcpt in envelope.rcpt_tos]
        lines += ["option " + option for option in envelope.mail_options]
        lines += ["tls"] if session.ssl is not None else []
        with open(base + ".envelope.tmp", "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        # The envelope last, so that a reader seeing it finds the whole message.
        os.rename(base + ".eml.tmp", base + ".eml")
        os.rename(base + ".envelope.tmp", base + ".envelope")
        return "250 OK"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user.encode()
              and auth_data.password == password.encode())
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)
    return authenticate


async def main():
    directory, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    # aiosmtpd logs each command line it receives at INFO ("peer >> b'EHLO ...'").
    log = logging.getLogger("mail.log")
    log.setLevel(logging.INFO)
    log.addHandler(logging.FileHandler(os.path.join(directory, "commands.log")))
    tls = None
    if len(sys.argv) > 5:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(sys.argv[4], sys.argv[5])
    loop = asyncio.get_running_loop()
    handler = SavingHandler(directory)
    authenticator = make_authenticator(user, password)
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="mail.test", authenticator=authenticator,
                     tls_context=tls, require_starttls=tls is not None,
                     auth_require_tls=tls is not None, auth_exclude_mechanism=["PLAIN"]),
        host="127.0.0.1", port=0)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    try:
        # The parent holds the other end of a pipe: when it goes away, so does the server.
        loop.add_reader(sys.stdin.fileno(), lambda: stop.set() if not os.read(sys.stdin.fileno(), 4096) else None)
    except (OSError, ValueError):
        pass  # stdin is not a pipe (a file or a terminal): SIGTERM stops the server
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
