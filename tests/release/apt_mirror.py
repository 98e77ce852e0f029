#!/usr/bin/env python3
"""Prints the first plain Debian archive of this machine's apt sources and its keyring:
"URI KEYRING" (the keyring empty when the entry names none). Reads the one-line form
(sources.list, sources.list.d/*.list) and the deb822 form (sources.list.d/*.sources). Security
and update archives are passed over: they hold no whole release."""
import glob
import sys


def one_line(path):
    for line in open(path, encoding="utf-8", errors="replace"):
        words = line.split("#", 1)[0].split()
        if not words or words[0] != "deb":
            continue
        words = words[1:]
        options = {}
        if words and words[0].startswith("["):
            text = []
            while words:
                word = words.pop(0)
                text.append(word.strip("[]"))
                if word.endswith("]"):
                    break
            for option in " ".join(text).split():
                name, _, value = option.partition("=")
                options[name] = value
        if len(words) >= 2:
            yield words[0], [words[1]], options.get("signed-by", "")


def deb822(path):
    text = open(path, encoding="utf-8", errors="replace").read()
    for stanza in text.split("\n\n"):
        fields, name = {}, None
        for line in stanza.splitlines():
            if line.startswith("#") or not line.strip():
                continue
            if line[0] in " \t" and name:
                fields[name] += " " + line.strip()
                continue
            name, _, value = line.partition(":")
            name = name.strip().lower()
            fields[name] = value.strip()
        if "deb" not in fields.get("types", "").split():
            continue
        if fields.get("enabled", "yes").lower() == "no":
            continue
        signed_by = fields.get("signed-by", "")
        if signed_by.startswith("-----"):
            signed_by = ""  # an inline key: debootstrap cannot take it, its default is used
        for uri in fields.get("uris", "").split():
            yield uri, fields.get("suites", "").split(), signed_by


def entries(root="/etc/apt"):
    yield from one_line(f"{root}/sources.list") if glob.glob(f"{root}/sources.list") else ()
    for path in sorted(glob.glob(f"{root}/sources.list.d/*")):
        if path.endswith(".list"):
            yield from one_line(path)
        elif path.endswith(".sources"):
            yield from deb822(path)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "/etc/apt"
    for uri, suites, keyring in entries(root):
        if "security" in uri:
            continue
        if any("-" not in suite and "/" not in suite for suite in suites):
            print(uri.rstrip("/"), keyring)
            return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
