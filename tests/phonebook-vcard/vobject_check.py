#!/usr/bin/python3
"""Reads the fixtures and seeded generated 2.1, 3.0 and 4.0 cards (soft line
breaks before blanks, folds, odd 2.1 parameters, names outside ASCII) with
an independent reader, Debian's python3-vobject, imports them with
phonebook-vcard into zebd, and prints each formatted name, number or e-mail
address the phonebook holds otherwise (exit status 1).

usage: vobject_check.py ZEBD ZEB_CLI PHONEBOOK_VCARD DEFINITION CCC FIXTURES
"""
import codecs
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import vobject

ZEBD, CLI, VCARD, DEFINITION, CCC, FIXTURES = sys.argv[1:7]

NAMES = ["Ülkü Dvořák", "Renée Dupré", "Łucja Wąsowska", "Zoë O'Brien", "Jürgen Müller",
         "Ἀριστοτέλης", "山田 太郎", "Nguyễn Thị Minh", "Ana María Núñez", "Søren Ødegård",
         "Chloé d'Arc", "Ağca Şükrü"]
NUMBERS = ["+49 179 1000019", "0179 / 100 00 99", "+49 (0)30 1234567", "06 12 34 56 78",
           "+33 6 12 34 56 78", "(030) 123-4567", "0049.30.987654", "*31#0611 p 12",
           "+1 (212) 555-0100", "0800 22 33 44"]


def dialable(number):
    """The form phonebook-vcard stores, then the phonebook's "+" as "00"."""
    text = number.replace("\u00a0", " ")
    if text.lower().startswith("tel:"):
        # A tel: URI loses its separators before its parameters in any case.
        body, _, params = text[4:].partition(";")
        text = re.sub(r"[-.() ]", "", body) + (";" + params if params else "")
    out = text
    if text.startswith("+") or text.startswith("00"):
        out = out.replace("(0)", "")
    out = re.sub(r"[ \t\-/.()]", "", out)
    if not re.fullmatch(r"[0-9+*#pPwW,;]*", out) or not re.search(r"[0-9]", out):
        out = text
    return "00" + out[1:] if out.startswith("+") else out


def qp_with_soft_breaks(text, rng):
    """Quoted-printable of UTF-8 text with soft line breaks, many of them
    right before a blank, so that the next line starts with it."""
    encoded = "".join(c if c.isascii() and c not in "=;:\\," else
                      "".join("=%02X" % b for b in c.encode("utf-8")) for c in text)
    pieces, start = [], 0
    for i, c in enumerate(encoded):
        escape = i >= 1 and encoded[i - 1] == "=" or i >= 2 and encoded[i - 2] == "="
        # vobject ends a line at a line of blanks alone: none is made.
        if encoded[start:i].strip() and not escape and (c == " " or rng.random() < 0.1):
            pieces.append(encoded[start:i])
            start = i
    pieces.append(encoded[start:])
    return "=\r\n".join(pieces)


def fold(line, rng):
    """Folds a line at character boundaries, as 3.0 and 4.0 allow."""
    out, start = [], 0
    for i in range(1, len(line)):
        if rng.random() < 0.08 and line[start:i].strip():
            out.append(line[start:i])
            start = i
    out.append(line[start:])
    return "\r\n ".join(out)


def generated_cards(seed, count):
    rng = random.Random(seed)
    cards = []
    for i in range(count):
        version = ["2.1", "3.0", "4.0"][i % 3]
        name = "%s %d" % (rng.choice(NAMES), i)
        numbers = rng.sample(NUMBERS, rng.randint(1, 3))
        emails = ["p%d.%d@example.org" % (i, k) for k in range(rng.randint(0, 2))]
        lines = ["BEGIN:VCARD", "VERSION:" + version]
        if version == "2.1":
            lines.append("FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:" +
                         qp_with_soft_breaks(name, rng))
            for number in numbers:
                params = rng.choice([";CELL", ";X-Mobil privat", ";HOME;X-Privat Handy", ""])
                lines.append("TEL" + params + ":" + number)
            lines += ["EMAIL;INTERNET:" + e for e in emails]
        else:
            lines.append(fold("FN:" + name, rng))
            for number in numbers:
                uri = version == "4.0" and number.startswith("+")
                value = "TEL;VALUE=uri:tel:" + number.replace(" ", "-") if uri else \
                    "TEL;TYPE=cell:" + number
                lines.append(fold(value, rng))
            lines += [fold("EMAIL;TYPE=home:" + e, rng) for e in emails]
        lines.append("END:VCARD")
        cards.append("\r\n".join(lines) + "\r\n")
    return "".join(cards)


def for_vobject(text):
    """Without what vobject refuses or reads otherwise, none of it a name,
    number or e-mail address: 2.1 parameters with a blank, inline photos,
    values in a character set unknown to Python (phonebook-vcard drops them)."""
    out, skipping = [], False
    for line in text.lstrip("\ufeff").splitlines():
        if skipping and line[:1] in (" ", "\t"):
            continue
        skipping = line.upper().startswith("PHOTO")
        if skipping:
            continue
        head, colon, value = line.partition(":")
        charset = re.search(r";CHARSET=([^;:]+)", head, re.IGNORECASE)
        try:
            codecs.lookup(charset.group(1) if charset else "utf-8")
        except LookupError:
            continue
        if colon and ";" in head and not line[:1].isspace():
            parts = head.split(";")
            head = ";".join(p for p in parts if " " not in p or "=" in p)
        out.append(head + colon + value)
    return "\r\n".join(out) + "\r\n"


def expected(text):
    cards = []
    for card in vobject.readComponents(for_vobject(text), allowQP=True):
        fn = card.contents.get("fn")
        cards.append({
            "formattedName": fn[0].value if fn else None,
            "numbers": [dialable(t.value.strip()) for t in card.contents.get("tel", [])],
            "emails": [e.value.strip() for e in card.contents.get("email", [])],
        })
    return cards


class Daemon:
    def __init__(self, directory):
        self.socket = os.path.join(directory, "zeb.sock")
        root = os.path.join(directory, "root")
        os.makedirs(os.path.join(root, "cfg/system"))
        os.makedirs(os.path.join(root, "usr/lib/phonebook"))
        shutil.copy(CCC, os.path.join(root, "usr/lib/phonebook/CCC.dat"))
        self.log = open(os.path.join(directory, "zebd.log"), "w+")
        self.process = subprocess.Popen([ZEBD, "-s", self.socket, "--sysroot", root, DEFINITION],
                                        stderr=self.log)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.process.poll() is None:
            self.log.seek(0)
            if "zebd: serving" in self.log.read():
                return
            time.sleep(0.05)
        raise RuntimeError("zebd did not start")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(30)

    def call(self, function):
        done = subprocess.run([CLI, "-s", self.socket, "call", "Phonebook", function],
                              capture_output=True, text=True, check=True)
        return json.loads(done.stdout)["retval"]


def check(daemon, label, path, problems):
    with open(path, encoding="utf-8") as f:
        want = expected(f.read())
    daemon.call("removeAllContacts")
    done = subprocess.run([VCARD, "-s", daemon.socket, "import", path], capture_output=True,
                          text=True)
    summary = json.loads(done.stdout or "{}")
    if summary.get("added") != len(want) or summary.get("failed") != 0:
        problems.append("%s: %d cards, imported %s: %s" % (label, len(want), done.stdout,
                                                           done.stderr))
        return
    held = daemon.call("getAllContacts")
    for i, (card, contact) in enumerate(zip(want, held)):
        got = {
            "formattedName": contact["formattedName"] if card["formattedName"] else None,
            "numbers": [t["name"] for t in contact["telephoneNumbers"]],
            "emails": [e["name"] for e in contact["emails"]],
        }
        if got != card:
            problems.append("%s, card %d: vobject %s, phonebook %s" % (
                label, i + 1, json.dumps(card, ensure_ascii=False),
                json.dumps(got, ensure_ascii=False)))


def main():
    problems = []
    with tempfile.TemporaryDirectory() as directory:
        generated = os.path.join(directory, "generated.vcf")
        with open(generated, "w", encoding="utf-8", newline="") as f:
            f.write(generated_cards(seed=23, count=90))
        daemon = Daemon(directory)
        try:
            for name in sorted(os.listdir(FIXTURES)):
                check(daemon, name, os.path.join(FIXTURES, name), problems)
            check(daemon, "generated", generated, problems)
        finally:
            status = daemon.stop()
        if status != 0:
            problems.append("zebd ended with %s" % status)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
