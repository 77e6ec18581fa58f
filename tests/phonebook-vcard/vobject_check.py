#!/usr/bin/python3
"""Reads seeded generated 2.1, 3.0 and 4.0 cards (folds, tel: URIs, names
outside ASCII) with an independent reader, Debian's python3-vobject, imports
them with phonebook-vcard into zebd, and prints each formatted name, number or
e-mail address the phonebook holds otherwise (exit status 1). Arguments:
ZEBD ZEB_CLI PHONEBOOK_VCARD DEFINITION CCC.
"""
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

import vobject

ZEBD, CLI, VCARD, DEFINITION, CCC = sys.argv[1:6]

NAMES = ["Ülkü Dvořák", "Łucja Wąsowska", "Zoë O'Brien", "Ἀριστοτέλης", "山田 太郎", "Ağca Şükrü"]
NUMBERS = ["+49 179 1000019", "0179 / 100 00 99", "+49 (0)30 1234567", "06 12 34 56 78",
           "(030) 123-4567", "0049.30.987654", "*31#0611 p 12", "+1 (212) 555-0100"]


def dialable(number):
    """The form phonebook-vcard stores, then the phonebook's "+" as "00"."""
    text = number
    if text.lower().startswith("tel:"):
        text = re.sub(r"[-.() ]", "", text[4:])
    out = text.replace("(0)", "") if text.startswith(("+", "00")) else text
    out = re.sub(r"[ \t\-/.()]", "", out)
    if not re.fullmatch(r"[0-9+*#pPwW,;]*", out) or not re.search(r"[0-9]", out):
        out = text
    return "00" + out[1:] if out.startswith("+") else out


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
            lines.append("FN:" + name)
            lines += ["TEL%s:%s" % (rng.choice([";CELL", ";HOME", ""]), n) for n in numbers]
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


def expected(text):
    return [{"formattedName": card.fn.value,
             "numbers": [dialable(t.value.strip()) for t in card.contents.get("tel", [])],
             "emails": [e.value.strip() for e in card.contents.get("email", [])]}
            for card in vobject.readComponents(text, allowQP=True)]


def main():
    problems = []
    with tempfile.TemporaryDirectory() as directory:
        text = generated_cards(seed=23, count=90)
        path = os.path.join(directory, "cards.vcf")
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        socket = os.path.join(directory, "zeb.sock")
        root = os.path.join(directory, "root")
        for sub in ("usr/lib/phonebook", "cfg/system"):
            os.makedirs(os.path.join(root, sub))
        shutil.copy(CCC, os.path.join(root, "usr/lib/phonebook/CCC.dat"))
        log = os.path.join(directory, "zebd.log")
        zebd = subprocess.Popen([ZEBD, "-s", socket, "--sysroot", root, DEFINITION],
                                stderr=open(log, "w"))
        try:
            while zebd.poll() is None and "zebd: serving" not in open(log).read():
                time.sleep(0.05)
            done = subprocess.run([VCARD, "-s", socket, "import", path], capture_output=True,
                                  text=True)
            listed = subprocess.run([CLI, "-s", socket, "call", "Phonebook", "getAllContacts"],
                                    capture_output=True, text=True, check=True)
        finally:
            zebd.terminate()
            if zebd.wait(30) != 0:
                problems.append("zebd ended with %s" % zebd.returncode)
    want = expected(text)
    if json.loads(done.stdout or "{}").get("added") != len(want):
        problems.append("%d cards, imported %s: %s" % (len(want), done.stdout, done.stderr))
    for i, (card, contact) in enumerate(zip(want, json.loads(listed.stdout)["retval"])):
        got = {"formattedName": contact["formattedName"],
               "numbers": [t["name"] for t in contact["telephoneNumbers"]],
               "emails": [e["name"] for e in contact["emails"]]}
        if got != card:
            problems.append("card %d: vobject %s, phonebook %s" % (
                i + 1, json.dumps(card, ensure_ascii=False), json.dumps(got, ensure_ascii=False)))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
