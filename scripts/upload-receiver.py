#!/usr/bin/python3
"""Demo stand-in for the upload control's receiving side (a CGI program).

The compose/send page of uploadsend posts the files the user chose here, as
multipart/form-data with the compose number in the field "n" and each file in a
part named "file". Each file is stored in the root's tmp/ folder under a name
of its own ("<user>_<n>_U_<pid>_<i>", mode 0600, never over another file) and
listed in the compose window's upload list, tmp/<user>_<n>_Upload.dat, one line
"name;path;size" each, added after the lines already there. The page then asks
uploadsend to import the list ("atid=axcompose<n>").

The list is rewritten through a temporary file and a rename, while the window's
turn is held: the flock on tmp/<user>_<n>_Attach.dat.lock that uploadsend and
attachdesk take, so an import never takes a list half written or loses an
upload listed while it runs.

Answers 200 with a text/plain count, or 400/403/405/413 with the reason.
"""

import email.parser
import email.policy
import fcntl
import os
import re
import sys

MAX_BODY = 100 * 1024 * 1024


def answer(status, text):
    sys.stdout.write(f"Status: {status}\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n{text}\n")
    sys.stdout.flush()
    sys.exit(0)


def number_of(text):
    """The compose number as C's atoi reads it: the leading digits, 0 without."""
    match = re.match(r"\s*([+-]?\d+)", text or "")
    return int(match.group(1)) if match else 0


class WindowTurn:
    """The exclusive flock on "<attach list>.lock", as the programs take it."""

    def __init__(self, path):
        self.path = path
        self.fd = None

    def __enter__(self):
        while True:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            fcntl.flock(fd, fcntl.LOCK_EX)
            try:
                same = os.stat(self.path).st_ino == os.fstat(fd).st_ino
            except FileNotFoundError:
                same = False
            if same:
                self.fd = fd
                return self
            os.close(fd)

    def __exit__(self, *exc):
        os.unlink(self.path)
        os.close(self.fd)


def clean_name(name):
    """A client file name that stays one line of the list: control bytes to "_"."""
    return "".join("_" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in name)


def main():
    if os.environ.get("REQUEST_METHOD") != "POST":
        answer("405 Method Not Allowed", "Post the files to upload.")
    user = os.environ.get("REMOTE_USER", "")
    if not re.fullmatch(r"[A-Za-z0-9._+@-]+", user) or user.startswith("."):
        answer("403 Forbidden", "Not logged in.")
    tmp = os.path.join(os.environ.get("WEBMAIL_ROOT") or "/webmail", "tmp")
    try:
        length = int(os.environ.get("CONTENT_LENGTH", ""))
    except ValueError:
        answer("400 Bad Request", "The request has no length.")
    if length > MAX_BODY:
        answer("413 Payload Too Large", "The upload is too large.")
    body = sys.stdin.buffer.read(length)
    head = f"Content-Type: {os.environ.get('CONTENT_TYPE', '')}\r\n\r\n".encode()
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
    if not message.is_multipart():
        answer("400 Bad Request", "Send the files as multipart/form-data.")

    number = 0
    files = []
    for part in message.iter_parts():
        field = part.get_param("name", header="content-disposition")
        if field == "n":
            number = number_of(part.get_content())
        elif field == "file" and part.get_filename():
            files.append((part.get_filename(), part.get_payload(decode=True) or b""))
    if not files:
        answer("400 Bad Request", "No files were sent.")

    stem = f"{user}_{number}"
    lines = []
    for index, (name, data) in enumerate(files):
        path = os.path.join(tmp, f"{stem}_U_{os.getpid()}_{index}")
        suffix = 0
        while True:
            candidate = path if suffix == 0 else f"{path}.{suffix}"
            try:
                fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
                break
            except FileExistsError:
                suffix += 1
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        lines.append(f"{clean_name(name)};{candidate};{len(data)}\n".encode())

    list_path = os.path.join(tmp, f"{stem}_Upload.dat")
    with WindowTurn(os.path.join(tmp, f"{stem}_Attach.dat.lock")):
        try:
            with open(list_path, "rb") as old:
                text = old.read()
        except FileNotFoundError:
            text = b""
        if text and not text.endswith(b"\n"):
            text += b"\n"
        temp = f"{list_path}.tmp.{os.getpid()}"
        with open(temp, "wb") as out:
            out.write(text + b"".join(lines))
        os.chmod(temp, 0o600)
        os.rename(temp, list_path)
    answer("200 OK", f"{len(files)} files received for compose {number}.")


if __name__ == "__main__":
    main()
