#!/usr/bin/env python3
"""Writes the unsigned security catalog of a driver package; osslsigncode signs it after.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list (CTL) of the
package's files. Each member is tagged by its hash (upper-case hexadecimal, UTF-16LE) and
carries the hash itself in an indirect-data attribute, with its file name and the subject
type that hashes it: a PE image the Authenticode way, any other file flat. The members use
SHA-256 (a version 2 catalog), which Windows 8 and later read.

    makecat.py [--os 2:10.0] [--date YYMMDDHHMMSSZ] OUTPUT.cat FILE...
    makecat.py --pe-hash IMAGE          prints the SHA-256 Authenticode hash of IMAGE

Python 3 standard library only.
"""
import argparse
import hashlib
import struct
import sys

# Object identifiers.
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER2 = "1.3.6.1.4.1.311.12.1.3"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"

# Name-value attribute flags: authenticated, name and data as text.
NAMEVALUE_FLAGS = 0x10010001
# The subject interface packages that hash a member: PE images, and flat files.
SUBJECT_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SUBJECT_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# The version of the member information.
MEMBERINFO_VERSION = 512


# DER encoding ------------------------------------------------------------------------------

def der(tag, content):
    """One DER element: TAG (a byte value), its definite length, CONTENT."""
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(octets)]) + octets
    return bytes([tag]) + length + content


def sequence(*items):
    return der(0x30, b"".join(items))


def der_set(*items):
    # DER orders the members of a SET OF by their encodings.
    return der(0x31, b"".join(sorted(items)))


def integer(value):
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big", signed=True))


def octets(data):
    return der(0x04, data)


def null():
    return der(0x05, b"")


def bmp(text):
    return der(0x1E, text.encode("utf-16-be"))


def oid(dotted):
    arcs = [int(arc) for arc in dotted.split(".")]
    body = bytes([40 * arcs[0] + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, body)


def explicit(number, content):
    return der(0xA0 | number, content)


# Hashes ------------------------------------------------------------------------------------

class NotAnImage(ValueError):
    pass


def pe_hash(data):
    """The SHA-256 Authenticode hash of the PE image DATA: every byte but the checksum, the
    certificate table's directory entry and the certificate table, the headers first, then
    the sections in file order, then what follows them; an unsigned image is hashed as
    signing will pad it, with zeros to a multiple of 8 bytes."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise NotAnImage("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise NotAnImage("no PE signature")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:
        directories = optional + 112
    elif magic == 0x10B:
        directories = optional + 96
    else:
        raise NotAnImage("unknown optional header magic 0x%X" % magic)
    checksum = optional + 64
    security = directories + 4 * 8
    headers_size = struct.unpack_from("<I", data, optional + 60)[0]
    if security + 8 > optional + optional_size or headers_size > len(data):
        raise NotAnImage("headers out of bounds")
    table, table_size = struct.unpack_from("<II", data, security)
    end = len(data)
    if table_size:
        if table < headers_size or table + table_size > len(data):
            raise NotAnImage("certificate table out of bounds")
        end = table

    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security])
    digest.update(data[security + 8:headers_size])
    hashed = headers_size
    table_offset = optional + optional_size
    raw = []
    for i in range(sections):
        size, pointer = struct.unpack_from("<II", data, table_offset + 40 * i + 16)
        if size:
            raw.append((pointer, size))
    for pointer, size in sorted(raw):
        if pointer < hashed or pointer + size > end:
            raise NotAnImage("section data at 0x%X overlaps or runs past the image" % pointer)
        digest.update(data[pointer:pointer + size])
        hashed = pointer + size
    # What follows the sections (but the certificate table) counts too.
    digest.update(data[hashed:end])
    if not table_size and end % 8:
        digest.update(bytes(8 - end % 8))
    return digest.digest()


# The catalog -------------------------------------------------------------------------------

def name_value(name, value):
    return sequence(bmp(name), integer(NAMEVALUE_FLAGS), octets((value + "\0").encode("utf-16-le")))


def attribute(type_oid, *values):
    return sequence(oid(type_oid), der_set(*values))


def obsolete_link():
    # SpcLink, a file whose name is the placeholder Authenticode has always used.
    return explicit(2, der(0x80, "<<<Obsolete>>>".encode("utf-16-be")))


def member(name, data, os_attr):
    """The CTL entry of the file NAME holding DATA."""
    if data[:2] == b"MZ":
        digest = pe_hash(data)
        # SpcPeImageData: no flags, the placeholder file.
        kind = sequence(oid(OID_SPC_PE_IMAGE_DATA),
                        sequence(der(0x03, b"\0"), explicit(0, obsolete_link())))
        subject = SUBJECT_PE_IMAGE
    else:
        digest = hashlib.sha256(data).digest()
        kind = sequence(oid(OID_SPC_CAB_DATA), obsolete_link())
        subject = SUBJECT_FLAT
    indirect = sequence(kind, sequence(sequence(oid(OID_SHA256), null()), octets(digest)))
    tag = digest.hex().upper().encode("utf-16-le")
    attributes = der_set(
        attribute(OID_CAT_NAMEVALUE, name_value("File", name.lower())),
        attribute(OID_CAT_NAMEVALUE, name_value("OSAttr", os_attr)),
        attribute(OID_CAT_MEMBERINFO, sequence(bmp(subject), integer(MEMBERINFO_VERSION))),
        attribute(OID_SPC_INDIRECT_DATA, indirect))
    return sequence(octets(tag), attributes)


def catalog(files, os_attr, date):
    """The unsigned catalog of FILES, (name, bytes) pairs: a SignedData with no signer."""
    members = [member(name, data, os_attr) for name, data in files]
    # The list identifier names this list of members; the same files give the same catalog.
    identifier = hashlib.sha256(b"".join(sorted(members))).digest()[:16]
    os_extension = sequence(oid(OID_CAT_NAMEVALUE), octets(name_value("OSAttr", os_attr)))
    ctl = sequence(
        sequence(oid(OID_CATALOG_LIST)),
        octets(identifier),
        der(0x17, date.encode("ascii")),
        sequence(oid(OID_CATALOG_LIST_MEMBER2), null()),
        sequence(*sorted(members)),
        explicit(0, sequence(os_extension)))
    signed = sequence(
        integer(1),
        der_set(sequence(oid(OID_SHA256), null())),
        sequence(oid(OID_CTL), explicit(0, ctl)),
        der_set())
    return sequence(oid(OID_SIGNED_DATA), explicit(0, signed))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pe-hash", metavar="IMAGE")
    parser.add_argument("--os", default="2:10.0", help="the OSAttr value (default 2:10.0)")
    parser.add_argument("--date", default="700101000000Z",
                        help="the effective date, UTCTime YYMMDDHHMMSSZ")
    parser.add_argument("output", nargs="?")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args(argv)
    try:
        if args.pe_hash:
            with open(args.pe_hash, "rb") as image:
                print(pe_hash(image.read()).hex().upper())
            return 0
        if not args.output or not args.files:
            parser.error("an output catalog and at least one file are needed")
        files = []
        for path in args.files:
            with open(path, "rb") as f:
                files.append((path.replace("\\", "/").rsplit("/", 1)[-1], f.read()))
        with open(args.output, "wb") as out:
            out.write(catalog(files, args.os, args.date))
    except (OSError, NotAnImage, struct.error) as error:
        print("makecat: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
