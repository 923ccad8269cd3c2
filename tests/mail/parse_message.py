"""Parses a saved message with Python's email package for the mail tests.

Usage: /usr/bin/python3 parse_message.py MESSAGE OUTPUT_DIR
Writes into OUTPUT_DIR: headers.txt ("Name: value" per header of the message, in order, encoded
words decoded, as UTF-8), body.txt (the decoded bytes of the text part, or of the whole body of a
single-part message) and for each attachment attachment-N.bin (its decoded bytes) with
attachment-N.name (its file name). Also parts.txt: the content type of each leaf part, with
"; charset=..." for text parts.
"""

import email
import email.header
import email.policy
import os
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    out = sys.argv[2]
    with open(os.path.join(out, "headers.txt"), "w", encoding="utf-8") as f:
        for name, value in message.items():
            decoded = str(email.header.make_header(email.header.decode_header(value)))
            f.write("%s: %s\n" % (name, decoded))
    count = 0
    types = []
    for part in message.walk():
        if part.is_multipart():
            continue
        charset = part.get_content_charset()
        types.append(part.get_content_type() + ("; charset=" + charset if charset else ""))
        filename = part.get_filename()
        if filename is None:
            with open(os.path.join(out, "body.txt"), "wb") as f:
                f.write(part.get_payload(decode=True))
            continue
        count += 1
        with open(os.path.join(out, "attachment-%d.bin" % count), "wb") as f:
            f.write(part.get_payload(decode=True))
        with open(os.path.join(out, "attachment-%d.name" % count), "w") as f:
            f.write(filename)
    with open(os.path.join(out, "parts.txt"), "w") as f:
        f.write("\n".join(types) + "\n")
    if message.defects:
        print("defects: %s" % message.defects, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
