#!/usr/bin/python3
"""Forges a release as an attacker would, for the release check: one change, then every
checksum, hash and subject the verifier reads recomputed, so that only what the verifier
decides for itself can catch it.

  forge_release.py FROM TO NAME CHANGE [ARG...] [+ CHANGE [ARG...]]...

FROM holds a genuine NAME.zip, NAME.intoto.json and NAME-tests.zip; TO gets the forged
three. Changes (paths inside the release's folder):
  none                    nothing (the copy re-zipped, its subjects recomputed)
  flip FILE               one byte of FILE changed
  plant FILE [FROM_FILE]  FILE added (a copy of FROM_FILE, else a few bytes)
  plant-tests FILE        FILE added to the tests folder
  bom-lists A=B...        the bill of materials' file component A renamed B
  commit SHA              every place that names the commit names SHA (the tests zip's
                          bill of materials too)
  source URL              every place that names the source names URL (both bills of
                          materials, the provenance)
  corrupt-signature FILE  a byte of FILE's signature value changed
  unsigned-attribute FILE OID [own]  an attribute OID added to the unsigned attributes of FILE's
                          signer (which its signature does not cover), the PKCS#7 encoded
                          again, the certificate table and the PE checksum written anew: for
                          an RFC 3161 timestamp (1.3.6.1.4.1.311.3.3.1) a token whose
                          message imprint is another signature's (with own, that of this
                          very signature, as a timestamp authority's), for any other OID a
                          copy of the file's own signature (as a nested one is)
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
import struct
import sys
import warnings
import zipfile

# The PE checksum as the build writes it, imported without leaving bytecode in the tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
from pe_checksum import pe_checksum  # noqa: E402


def sha(data, alg="sha256"):
    return hashlib.new(alg, data).hexdigest()


def der_item(tag, content):
    n = len(content)
    length = bytes([n]) if n < 0x80 else bytes([0x80 | (n.bit_length() + 7) // 8]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content


def der_items(data, count=None):
    """The DER items that DATA holds one after another (the first COUNT of them): (tag,
    content, whole item)."""
    items, pos = [], 0
    while pos < len(data) and len(items) != count:
        tag, length, head = data[pos], data[pos + 1], 2
        if length & 0x80:
            head += length & 0x7F
            length = int.from_bytes(data[pos + 2:pos + head], "big")
        items.append((tag, data[pos + head:pos + head + length], data[pos:pos + head + length]))
        pos += head + length
    return items


def der_oid(text):
    numbers = [int(n) for n in text.split(".")]
    out = b""
    for n in [40 * numbers[0] + numbers[1]] + numbers[2:]:
        chunk = [n & 0x7F]
        while n > 0x7F:
            n >>= 7
            chunk.insert(0, 0x80 | n & 0x7F)
        out += bytes(chunk)
    return der_item(0x06, out)


def timestamp_token(imprint):
    """An RFC 3161 token (ContentInfo, SignedData over a TSTInfo) whose message imprint is
    IMPRINT's SHA-256."""
    algorithm = der_item(0x30, der_oid("2.16.840.1.101.3.4.2.1") + b"\x05\x00")
    tst_info = der_item(0x30, b"\x02\x01\x01" + der_oid("1.3.6.1.4.1.601.10.3.1") + der_item(
        0x30, algorithm + der_item(0x04, hashlib.sha256(imprint).digest())) + b"\x02\x01\x07" +
        der_item(0x18, b"20230101000000Z"))
    content = der_item(0x30, der_oid("1.2.840.113549.1.9.16.1.4") + der_item(0xA0, der_item(0x04, tst_info)))
    signed_data = der_item(0x30, b"\x02\x01\x03" + der_item(0x31, algorithm) + content + der_item(0x31, b""))
    return der_item(0x30, der_oid("1.2.840.113549.1.7.2") + der_item(0xA0, signed_data))


def add_unsigned_attribute(data, oid, own=False):
    """DATA, a signed PE file, with the attribute OID added to its signer's unsigned ones."""
    data = bytearray(data)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    directories = pe + 24 + (96 if struct.unpack_from("<H", data, pe + 24)[0] == 0x10B else 112)
    offset, _ = struct.unpack_from("<II", data, directories + 32)
    length = struct.unpack_from("<I", data, offset)[0]
    blob = der_items(bytes(data[offset + 8:offset + length]), 1)[0][2]  # without the entry's padding
    # ContentInfo { OID, [0] SignedData { ..., SignerInfos SET { SignerInfo { version,
    # issuerAndSerialNumber, digestAlgorithm, [0] signed, signatureAlgorithm, signature,
    # [1] unsigned } } } }
    content_info = der_items(der_items(blob)[0][1])
    signed_data = der_items(der_items(content_info[1][1])[0][1])
    signer = der_items(der_items(signed_data[-1][1])[0][1])
    stamped = signer[5][1] if own else b"another signature"  # the signature value's contents
    value = timestamp_token(stamped) if oid == "1.3.6.1.4.1.311.3.3.1" else blob
    attribute = der_item(0x30, der_oid(oid) + der_item(0x31, value))
    fields = [f[2] for f in signer[:6]] + [der_item(0xA1, (signer[6][1] if len(signer) > 6 else b"") + attribute)]
    signer_infos = der_item(0x31, der_item(0x30, b"".join(fields)))
    signed = der_item(0x30, b"".join(f[2] for f in signed_data[:-1]) + signer_infos)
    blob = der_item(0x30, content_info[0][2] + der_item(0xA0, signed))
    entry = struct.pack("<IHH", 8 + len(blob), 0x0200, 0x0002) + blob
    entry += b"\0" * (-len(entry) % 8)
    data[offset:] = entry
    struct.pack_into("<I", data, directories + 36, len(entry))
    field = pe + 24 + 64
    struct.pack_into("<I", data, field, pe_checksum(bytes(data), field))
    return bytes(data)


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


def main(source, dest, name, *changes):
    files = unpack(os.path.join(source, name + ".zip"))
    with open(os.path.join(source, name + ".intoto.json")) as f:
        statement = json.load(f)
    tests = unpack(os.path.join(source, name + "-tests.zip"))
    bom_path = "%s/%s.cdx.json" % (name, name)
    bom = json.loads(files[bom_path])
    extra = []
    # The changes, one after another: CHANGE ARG... + CHANGE ARG...
    groups = [[]]
    for word in changes:
        if word == "+":
            groups.append([])
        else:
            groups[-1].append(word)
    for change, *args in groups:
        statement, bom = apply_change(files, tests, extra, statement, bom, name, change, args)
    dsse = ["provenance", "dsse"] in groups
    finish(files, tests, extra, statement, bom, bom_path, name, dest, dsse)


def apply_change(files, tests, extra, statement, bom, name, change, args):
    """STATEMENT and BOM (which a change may replace) after CHANGE with ARGS."""
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
    elif change == "source":
        commit = statement["predicate"]["buildDefinition"]["externalParameters"]["commit"]
        tests_bom_path = "%s-tests/%s-tests.cdx.json" % (name, name)
        tests_bom = json.loads(tests[tests_bom_path])
        for b in (bom, tests_bom):
            b["metadata"]["component"]["externalReferences"] = [{"type": "vcs", "url": args[0],
                                                                 "comment": "commit " + commit}]
        tests[tests_bom_path] = (json.dumps(tests_bom, indent=2) + "\n").encode()
        statement["predicate"]["buildDefinition"]["resolvedDependencies"][0]["uri"] = "git+%s@%s" % (args[0], commit)
    elif change == "corrupt-signature":
        data = bytearray(files[name + "/" + args[0]])
        pe = int.from_bytes(data[0x3C:0x40], "little")
        directories = pe + 24 + (96 if data[pe + 24] == 0x0B and data[pe + 25] == 0x01 else 112)
        offset = int.from_bytes(data[directories + 32:directories + 36], "little")
        length = int.from_bytes(data[offset:offset + 4], "little")
        data[offset + length - 40] ^= 0x01  # inside the signature value, which ends the PKCS#7
        files[name + "/" + args[0]] = bytes(data)
    elif change == "unsigned-attribute":
        files[name + "/" + args[0]] = add_unsigned_attribute(files[name + "/" + args[0]], args[1], args[2:] == ["own"])
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
    return statement, bom


def finish(files, tests, extra, statement, bom, bom_path, name, dest, dsse):
    """What an attacker recomputes after the changes, the forged release written to DEST
    (its provenance a DSSE envelope with DSSE)."""
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
    if dsse:
        statement = {"payloadType": "application/vnd.in-toto+json", "signatures": [],
                     "payload": base64.b64encode(json.dumps(statement).encode()).decode()}
    with open(os.path.join(dest, name + ".intoto.json"), "w") as f:
        json.dump(statement, f, indent=2)


if __name__ == "__main__":
    main(*sys.argv[1:])
