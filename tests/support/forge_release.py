#!/usr/bin/python3
"""Forges a release as an attacker would, for the release check: one change, then every
checksum, hash and subject the verifier reads recomputed, so that only what the verifier
decides for itself can catch it.

  forge_release.py FROM TO NAME CHANGE [ARG...]

FROM holds a genuine NAME.zip, NAME.intoto.json and NAME-tests.zip; TO gets the forged
three. Changes (paths inside the release's folder):
  none                    nothing (the copy re-zipped, its subjects recomputed)
  flip FILE               one byte of FILE changed
  plant FILE [FROM_FILE]  FILE added (a copy of FROM_FILE, else a few bytes)
  plant-tests FILE        FILE added to the tests folder
  bom-lists A=B...        the bill of materials' file component A renamed B
  commit SHA              every place that names the commit names SHA (the tests zip's
                          bill of materials too)
  corrupt-signature FILE  a byte of FILE's signature value changed
  entry NAME KIND         a zip entry added beside the folder's: KIND is file,
                          symlink (to ../../etc/passwd) or duplicate (of NAME's entry)
  provenance KIND         the provenance made a dsse envelope, without its predicate,
                          or with another _type
"""
import base64
import hashlib
import json
import os
import stat
import sys
import warnings
import zipfile


def sha(data, alg="sha256"):
    return hashlib.new(alg, data).hexdigest()


def unpack(path):
    with zipfile.ZipFile(path) as z:
        return {i.filename: z.read(i) for i in z.infolist()}


def pack(path, files, extra=()):
    warnings.simplefilter("ignore")  # a duplicate name is the point of one forgery
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name in sorted(files):
            z.writestr(zipfile.ZipInfo(name, (2023, 1, 1, 0, 0, 0)), files[name])
        for info, data in extra:
            z.writestr(info, data)


def main(source, dest, name, change, *args):
    files = unpack(os.path.join(source, name + ".zip"))
    with open(os.path.join(source, name + ".intoto.json")) as f:
        statement = json.load(f)
    tests = unpack(os.path.join(source, name + "-tests.zip"))
    bom_path = "%s/%s.cdx.json" % (name, name)
    bom = json.loads(files[bom_path])
    extra = []
    if change == "flip":
        data = bytearray(files[name + "/" + args[0]])
        data[600] ^= 0x5A
        files[name + "/" + args[0]] = bytes(data)
    elif change == "plant":
        files[name + "/" + args[0]] = open(args[1], "rb").read() if len(args) > 1 else b"MZ planted"
    elif change == "plant-tests":
        tests["%s-tests/%s" % (name, args[0])] = b"MZ planted"
    elif change == "bom-lists":
        renames = dict(a.split("=", 1) for a in args)
        for c in bom["components"]:
            if c.get("type") == "file" and c["name"] in renames:
                c["name"] = c["bom-ref"] = renames[c["name"]]
    elif change == "commit":
        old = statement["predicate"]["buildDefinition"]["externalParameters"]["commit"]
        statement = json.loads(json.dumps(statement).replace(old, args[0]))
        bom = json.loads(json.dumps(bom).replace(old, args[0]))
        tests_bom = "%s-tests/%s-tests.cdx.json" % (name, name)
        tests[tests_bom] = tests[tests_bom].replace(old.encode(), args[0].encode())
    elif change == "corrupt-signature":
        data = bytearray(files[name + "/" + args[0]])
        pe = int.from_bytes(data[0x3C:0x40], "little")
        directories = pe + 24 + (96 if data[pe + 24] == 0x0B and data[pe + 25] == 0x01 else 112)
        offset = int.from_bytes(data[directories + 32:directories + 36], "little")
        length = int.from_bytes(data[offset:offset + 4], "little")
        data[offset + length - 40] ^= 0x01  # inside the signature value, which ends the PKCS#7
        files[name + "/" + args[0]] = bytes(data)
    elif change == "entry":
        entry, kind = args
        info = zipfile.ZipInfo(entry, (2023, 1, 1, 0, 0, 0))
        if kind == "symlink":
            info.create_system = 3
            info.external_attr = (stat.S_IFLNK | 0o777) << 16
            extra.append((info, b"../../etc/passwd"))
        elif kind == "duplicate":
            extra.append((info, b"a second " + entry.encode()))
        else:
            extra.append((info, b"MZ " + entry.encode()))
    elif change == "provenance":
        if args[0] == "no-predicate":
            del statement["predicate"]
        elif args[0] == "type":
            statement["_type"] = "https://in-toto.io/Statement/v0.1"
    # What an attacker recomputes: the bill of materials' hashes, SHA256SUMS over every
    # file of the folder, the zip, the provenance's subjects.
    for c in bom["components"]:
        data = files.get("%s/%s" % (name, c["name"])) if c.get("type") == "file" else None
        if data is not None:
            c["hashes"] = [{"alg": "SHA-256", "content": sha(data)}, {"alg": "SHA-512", "content": sha(data, "sha512")}]
    files[bom_path] = (json.dumps(bom, indent=2) + "\n").encode()
    digests = {}
    for folder, contents, entries in ((name, files, extra), (name + "-tests", tests, ())):
        # As a release writes it: SHA256SUMS.unsigned is listed by no checksum file.
        listed = sorted(n for n in contents if n not in (folder + "/SHA256SUMS", folder + "/SHA256SUMS.unsigned")
                        and n.startswith(folder + "/"))
        contents[folder + "/SHA256SUMS"] = "".join("%s  %s\n" % (sha(contents[n]), n[len(folder) + 1:])
                                                   for n in listed).encode()
        zip_path = os.path.join(dest, folder + ".zip")
        pack(zip_path, contents, entries)
        digests[folder + ".zip"] = sha(open(zip_path, "rb").read())
        digests.update({n: sha(d) for n, d in contents.items()})
    for subject in statement.get("subject", []):
        if subject["name"] in digests:
            subject["digest"] = {"sha256": digests[subject["name"]]}
    if change == "provenance" and args[0] == "dsse":
        statement = {"payloadType": "application/vnd.in-toto+json", "signatures": [],
                     "payload": base64.b64encode(json.dumps(statement).encode()).decode()}
    with open(os.path.join(dest, name + ".intoto.json"), "w") as f:
        json.dump(statement, f, indent=2)


if __name__ == "__main__":
    main(*sys.argv[1:])
