"""The exe's Authenticode signature: the block where the build ends, its
structure, osslsigncode's cryptographic verdict on it, and its certificates,
each proven by signature to be on the path from its signer to the CA.

Run as python3 -m tooling.release_signature EXE, it rewrites the signed EXE's
signature block into the one form the check takes (scripts/dist does, right
after signing)."""
import functools
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from asn1crypto import cms, core, pem, tsp, x509  # noqa: F401 (tsp: so that tokens parse)
from tooling.release_verdict import QUICK_LIMIT, Refused, printable, run_step

# Room for the largest signature block a real chain and timestamp need.
SIGNATURE_ROOM = 64 << 10
TRUSTED_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
CODE_SIGNING = "code_signing"
# The one encoding of each algorithm the project's signing writes.
SHA256 = bytes.fromhex("300d06096086480165030402010500")
RSA = bytes.fromhex("300d06092a864886f70d0101010500")
# What the timestamp's SignedData, SignerInfo (named by issuer and serial
# number) and TSTInfo must be, as RFC 5652 and RFC 3161 give them.
TOKEN_VERSIONS = (3, 1, 1)
# Signature algorithms whose parameters RFC 3279 and RFC 4055 make NULL, and
# those whose parameters RFC 5758 makes absent.
NULL_PARAMETERS = {"1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11", "1.2.840.113549.1.1.12",
                   "1.2.840.113549.1.1.13"}
NO_PARAMETERS = {"1.2.840.10045.4.3.2", "1.2.840.10045.4.3.3", "1.2.840.10045.4.3.4"}
# The signature algorithms a timestamp's signer may name, by its key and the
# digest its SignerInfo names: an RSA key's own algorithm, or the one of RSA
# with that digest; ECDSA with that digest. No signature covers the field.
SIGNED_WITH = {
    ("rsa", "sha256"): ("1.2.840.113549.1.1.1", "1.2.840.113549.1.1.11"),
    ("rsa", "sha384"): ("1.2.840.113549.1.1.1", "1.2.840.113549.1.1.12"),
    ("rsa", "sha512"): ("1.2.840.113549.1.1.1", "1.2.840.113549.1.1.13"),
    ("ec", "sha256"): ("1.2.840.10045.4.3.2",),
    ("ec", "sha384"): ("1.2.840.10045.4.3.3",),
    ("ec", "sha512"): ("1.2.840.10045.4.3.4",),
}


def pe_fields(exe):
    """Where the PE checksum and the security directory entry lie."""
    try:
        header = struct.unpack_from("<I", exe, 0x3C)[0]
        magic = struct.unpack_from("<H", exe, header + 24)[0]
        if exe[header:header + 4] != b"PE\0\0" or magic != 0x10B:
            return None
    except struct.error:
        return None
    optional = header + 24
    if len(exe) < optional + 136:
        return None
    return optional + 64, optional + 128  # a PE32 file's


def pe_checksum(exe):
    """The PE checksum of EXE, whose checksum field holds zero: its 16-bit
    words summed with the carries folded in, plus its length."""
    total = 0
    for (word,) in struct.iter_unpack("<H", exe + b"\0" * (len(exe) % 2)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(exe)


def signature_in(exe):
    """The exe's signature (PKCS#7 bytes), or None where it carries none, found
    by the exe's own header: one Authenticode certificate table at the file's
    end, holding the signature and at most its padding."""
    fields = pe_fields(exe)
    if fields is None:
        raise Refused("talvenor.exe is not what this checkout builds")
    address, size = struct.unpack_from("<II", exe, fields[1])
    if (address, size) == (0, 0):
        return None
    if address % 8 or address + size != len(exe) or size < 8:
        raise Refused("talvenor.exe's signature block is not the one table the build's end"
                      " takes")
    length, revision, kind = struct.unpack_from("<IHH", exe, address)
    if (revision, kind) != (0x200, 2) or length != size:
        raise Refused("talvenor.exe's certificate table is not one Authenticode signature")
    block = exe[address + 8:address + size]
    der_length = signature_extent(block)
    if len(block) - der_length >= 8 or block[der_length:].strip(b"\0"):
        raise Refused("talvenor.exe's certificate table holds bytes beyond its signature")
    return block[:der_length]


NOT_DER = "talvenor.exe's signature is not DER"
# Deeper than any signature nests, shallow enough for Python's stack.
DEEPEST = 40


def der_header(data, at, end):
    """(tag, where its contents start, where they end) of the value at AT,
    which must end by END, with a header in DER's one form: a low tag number,
    a definite length written as short as it can be."""
    if end - at < 2 or data[at] & 0x1F == 0x1F:
        raise Refused(NOT_DER)
    if data[at + 1] < 0x80:
        start, length = at + 2, data[at + 1]
    else:
        count = data[at + 1] & 0x7F
        start, length = at + 2 + count, int.from_bytes(data[at + 2:at + 2 + count], "big")
        if not 1 <= count <= 3 or length < 0x80 or data[at + 2] == 0:
            raise Refused(NOT_DER)
    if start + length > end:
        raise Refused(NOT_DER)
    return data[at], start, start + length


def check_der(data, at, end, depth=0):
    """Every value from AT to END in DER's one form, constructed ones down to
    their primitive leaves: no string in pieces, every BOOLEAN, INTEGER, NULL,
    BIT STRING and OBJECT IDENTIFIER written its one way, and the values of
    every SET in DER's order."""
    values = []
    while at < end:
        tag, start, after = der_header(data, at, end)
        contents = data[start:after]
        if tag & 0x20:
            if (tag < 0x40 and tag not in (0x30, 0x31)) or depth == DEEPEST:
                raise Refused(NOT_DER)
            members = check_der(data, start, after, depth + 1)
            if tag == 0x31 and members != sorted(members):
                raise Refused(NOT_DER)
        elif not primitive_in_der(tag, contents):
            raise Refused(NOT_DER)
        values.append(data[at:after])
        at = after
    return values


def primitive_in_der(tag, contents):
    """Whether CONTENTS of a primitive value of TAG are written DER's one way."""
    if tag == 0x01:  # BOOLEAN
        return contents in (b"\x00", b"\xff")
    if tag == 0x02:  # INTEGER, in as few bytes as hold it
        return len(contents) == 1 or (len(contents) > 1 and not (
            contents[0] == 0 and contents[1] < 0x80 or contents[0] == 0xFF and contents[1] >= 0x80))
    if tag == 0x03:  # BIT STRING, its unused bits counted right and zero
        return (len(contents) > 0 and contents[0] < 8 and (len(contents) > 1 or contents[0] == 0)
                and contents[-1] & ((1 << contents[0]) - 1) == 0)
    if tag == 0x05:  # NULL
        return contents == b""
    if tag == 0x06:  # OBJECT IDENTIFIER, each number in as few bytes as hold it
        return (len(contents) > 0 and contents[-1] < 0x80 and contents[0] != 0x80
                and all(contents[i] != 0x80 for i in range(1, len(contents))
                        if contents[i - 1] < 0x80))
    return True


def signature_extent(block):
    """How many bytes the value that BLOCK starts with takes."""
    return der_header(block, 0, len(block))[2]


def certificate_sets(info):
    """The encodings of the certificates of the signature, then of its
    timestamp, where it carries one, as they stand in the signature."""
    sets = [info["content"]["certificates"]]
    for attribute in info["content"]["signer_infos"][0]["unsigned_attrs"] or []:
        for value in attribute["values"]:
            if isinstance(value, cms.ContentInfo) and value["content_type"].native == "signed_data":
                sets.append(value["content"]["certificates"])
    return [[c.dump() for c in found] for found in sets if not isinstance(found, core.Void)]


def der_form(block):
    """BLOCK with its certificate sets in DER's order, as each SET OF is in
    DER: the one form, where the signing tool left them in another order,
    since no signature covers those sets. Sorting changes no length."""
    for found in certificate_sets(cms.ContentInfo.load(block, strict=True)):
        joined = b"".join(found)
        at = block.index(joined)
        block = block[:at] + b"".join(sorted(found)) + block[at + len(joined):]
    return block


def checksummed(exe, checksum_at):
    """EXE (a bytearray) with its PE checksum made to fit, as bytes."""
    struct.pack_into("<I", exe, checksum_at, 0)
    struct.pack_into("<I", exe, checksum_at, pe_checksum(bytes(exe)))
    return bytes(exe)


def in_der_form(exe):
    """The signed EXE with its signature block in DER's one form: sorting
    changes no length, so only the header's checksum changes with it."""
    block = signature_in(exe)
    canonical = der_form(block)
    checksum_at, security_at = pe_fields(exe)
    start = struct.unpack_from("<I", exe, security_at)[0] + 8
    return checksummed(bytearray(exe[:start] + canonical + exe[start + len(block):]),
                       checksum_at)


def check_against_build(exe, built):
    """The exe must be BUILT byte for byte with its signature block, if any,
    put back: the block where the build ends, the header's checksum and
    security directory pointing at it, and nothing else changed."""
    fields = pe_fields(built)
    if fields is None or pe_fields(exe) != fields:
        raise Refused("talvenor.exe is not what this checkout builds")
    checksum_at, security_at = fields
    address, size = struct.unpack_from("<II", exe, security_at)
    if (address, size) == (0, 0):
        if exe != built:
            raise Refused("talvenor.exe is not what this checkout builds")
        return
    start = -(-len(built) // 8) * 8
    if address != start:
        raise Refused("talvenor.exe's signature block is not the one table the build's end"
                      " takes")
    rebuilt = bytearray(built + b"\0" * (start - len(built)) + exe[address:])
    struct.pack_into("<II", rebuilt, security_at, address, size)
    if checksummed(rebuilt, checksum_at) != exe:
        raise Refused("talvenor.exe is not this checkout's build with its signature block"
                      " put back")


def authenticode_digest(exe, algorithm):
    """The exe's Authenticode digest: every byte before the certificate table
    but the checksum and the security directory entry."""
    checksum_at, security_at = pe_fields(exe)
    address = struct.unpack_from("<I", exe, security_at)[0]
    digest = hashlib.new(algorithm)
    digest.update(exe[:checksum_at])
    digest.update(exe[checksum_at + 4:security_at])
    digest.update(exe[security_at + 8:address])
    return digest.digest()


class DigestInfo(core.Sequence):
    _fields = [("algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectData(core.Sequence):
    _fields = [("data", core.Any), ("message_digest", DigestInfo)]


def certificates_of(signed_data):
    found = []
    for choice in signed_data["certificates"] or []:
        if choice.name != "certificate":
            raise Refused("the signature carries a certificate of another kind than X.509")
        found.append(choice.chosen)
    return found


def name_bytes(certificate, which):
    """The DER of CERTIFICATE's issuer or subject, as it stands in it."""
    return certificate["tbs_certificate"][which].dump()


def signer_of(signed_data, certificates, what):
    """The one signer of SIGNED_DATA and its certificate, which must be there."""
    if len(signed_data["signer_infos"]) != 1:
        raise Refused(f"the {what} has {len(signed_data['signer_infos'])} signers, not one")
    signer = signed_data["signer_infos"][0]
    identifier = signer["sid"]
    if identifier.name != "issuer_and_serial_number":
        raise Refused(f"the {what}'s signer is not named by issuer and serial number")
    wanted = identifier.chosen
    # By the bytes of the name, which no signature covers here: a name that
    # only compares equal (another case, another string type) is another.
    leaves = [c for c in certificates if name_bytes(c, "issuer") == wanted["issuer"].dump()
              and c.serial_number == wanted["serial_number"].native]
    if len(leaves) != 1:
        raise Refused(f"the {what} does not carry its signer's certificate once")
    return signer, leaves[0]


def check_versions(what, found, wanted):
    for structure, value, version in zip(("SignedData", "SignerInfo", "TSTInfo"), found, wanted):
        if int(value) != version:
            raise Refused(f"the {what}'s {structure} is version {int(value)}, not {version}")


def check_token(token):
    """The timestamp's signer, its certificate and the certificates carried:
    every version the one the RFCs give, every algorithm written in its one
    form, and nothing present but empty."""
    if (not isinstance(token, cms.ContentInfo) or token["content_type"].native != "signed_data"
            or token["content"]["encap_content_info"]["content_type"].native != "tst_info"):
        raise Refused("talvenor.exe's timestamp is not an RFC 3161 token")
    stamp = token["content"]
    certificates = certificates_of(stamp)
    stamper, leaf = signer_of(stamp, certificates, "timestamp")
    info = stamp["encap_content_info"]["content"].parsed
    check_versions("timestamp", (stamp["version"], stamper["version"], info["version"]),
                   TOKEN_VERSIONS)
    if not isinstance(stamper["unsigned_attrs"], core.Void) or not isinstance(stamp["crls"],
                                                                              core.Void):
        raise Refused("talvenor.exe's timestamp carries attributes or lists of its own")
    # The authority chooses its digest; written as the imprint it signed
    # writes the same algorithm, where it is the same, and alike in both places.
    digest = stamper["digest_algorithm"].dump()
    imprint = info["message_imprint"]["hash_algorithm"]
    if ([a.dump() for a in stamp["digest_algorithms"]] != [digest]
            or (imprint["algorithm"].dotted == stamper["digest_algorithm"]["algorithm"].dotted
                and imprint.dump() != digest)):
        raise Refused("the timestamp's digest algorithm is not written alike where it appears")
    algorithm = stamper["signature_algorithm"]
    if algorithm["algorithm"].dotted not in SIGNED_WITH.get(
            (leaf.public_key.algorithm, stamper["digest_algorithm"]["algorithm"].native), ()):
        raise Refused("the timestamp's signature algorithm is not its signer's key's with its"
                      " digest")
    parameters = algorithm["parameters"]
    parameters = b"" if isinstance(parameters, core.Void) else parameters.dump()
    if ((algorithm["algorithm"].dotted in NULL_PARAMETERS and parameters != b"\x05\x00")
            or (algorithm["algorithm"].dotted in NO_PARAMETERS and parameters != b"")):
        raise Refused("the timestamp's signature algorithm has other parameters than its RFC"
                      " gives")
    return leaf, certificates


def pinned(algorithm, wanted, refusal):
    """ALGORITHM must be WANTED's, else REFUSAL; and written as the project's
    signing writes it, byte for byte."""
    if algorithm["algorithm"].dotted != cms.DigestAlgorithm.load(wanted)["algorithm"].dotted:
        raise Refused(refusal)
    if algorithm.dump() != wanted:
        raise Refused("talvenor.exe's signature writes an algorithm's parameters otherwise than"
                      " its signing does")


def check_structure(signature, exe):
    """(the signer's subject, the paths to prove): the one signature's parts
    that Authenticode's own verdict leaves unchecked, each a path of what (the
    signature, the timestamp), its signer's certificate and the certificates
    carried. asn1crypto reads each part as it is used, and raises ValueError,
    its one error for bytes it cannot read, where they do not parse: only that
    error is the signature's fault. So the checker's own work that may raise
    one too, the exe's digest, is done before."""
    own_digest = authenticode_digest(exe, "sha256")
    try:
        check_der(signature, 0, len(signature))
        if der_form(signature) != signature:
            raise Refused(NOT_DER)
        info = cms.ContentInfo.load(signature, strict=True)
        if info["content_type"].native != "signed_data":
            raise Refused("talvenor.exe's signature is not PKCS#7 signed data")
        signed = info["content"]
        if [a["algorithm"].native for a in signed["digest_algorithms"]] != ["sha256"]:
            raise Refused("talvenor.exe is not signed with SHA-256 alone")
        pinned(signed["digest_algorithms"][0], SHA256,
               "talvenor.exe is not signed with SHA-256 alone")
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
            raise Refused("talvenor.exe's signature is not Authenticode's")
        indirect = encapsulated["content"].parse(SpcIndirectData)
        digest = indirect["message_digest"]
        pinned(digest["algorithm"], SHA256, "talvenor.exe's Authenticode digest is not SHA-256")
        if digest["digest"].native != own_digest:
            raise Refused("talvenor.exe's signature is of other bytes than its own")
        if not isinstance(signed["crls"], core.Void):
            raise Refused("talvenor.exe's signature carries revocation lists")
        certificates = certificates_of(signed)
        signer, leaf = signer_of(signed, certificates, "signature")
        check_versions("signature", (signed["version"], signer["version"]), (1, 1))
        pinned(signer["digest_algorithm"], SHA256,
               "talvenor.exe's signer digests with another algorithm than SHA-256")
        pinned(signer["signature_algorithm"], RSA, "talvenor.exe's signer's key is not RSA")
        usage = leaf.extended_key_usage_value
        if usage is None or CODE_SIGNING not in usage.native:
            raise Refused("the signer's certificate is not for code signing")
        allowed = leaf.key_usage_value
        if allowed is not None and "digital_signature" not in allowed.native:
            raise Refused("the signer's certificate does not allow digital signatures")
        attributes = signer["unsigned_attrs"]
        unsigned = [] if isinstance(attributes, core.Void) else list(attributes)
        if not isinstance(attributes, core.Void) and not unsigned:
            raise Refused("talvenor.exe's signature carries an empty set of unauthenticated"
                          " attributes")
        kinds = [attribute["type"].dotted for attribute in unsigned]
        if NESTED_SIGNATURE in kinds:
            raise Refused("talvenor.exe carries a second, nested signature")
        if kinds not in ([], [RFC3161_TIMESTAMP]) or any(len(a["values"]) != 1 for a in unsigned):
            raise Refused("talvenor.exe's signature carries an unauthenticated attribute other"
                          " than one timestamp")
        paths = [("signature", leaf, certificates)]
        if unsigned:
            paths.append(("timestamp", *check_token(unsigned[0]["values"][0])))
        return printable(leaf.subject.human_friendly), paths
    except ValueError as error:  # asn1crypto's, on DER that whoever made the file chose
        raise Refused("talvenor.exe's signature does not parse:"
                      f" {str(error).splitlines()[0]}") from None


def tool(argv, what):
    """ARGV's completed process, its report as one text: osslsigncode and
    openssl each write part of it to standard error."""
    return run_step(argv, QUICK_LIMIT, what, stderr=subprocess.STDOUT)


def holds_certificate(path):
    """Whether the file at PATH holds a certificate in PEM that parses. A CA
    file that holds none is the caller's mistake, which osslsigncode would
    report as a signature that does not verify, in words of its version's."""
    with open(path, "rb") as file:
        data = file.read()
    try:
        return any(kind == "CERTIFICATE" and x509.Certificate.load(der, strict=True).native
                   for kind, _, der in pem.unarmor(data, multiple=True))
    except ValueError:
        return False


@functools.lru_cache(maxsize=None)
def offline():
    """The option that keeps this machine's osslsigncode from fetching the
    revocation lists that certificates name: 2.9 fetches them unless told
    -ignore-crl; 2.5 fetches none, and rejects the option."""
    offered = tool(["osslsigncode", "-h"], "osslsigncode -h").stdout.split()
    return ["-ignore-crl"] if "-ignore-crl" in offered else []


def verify(exe, ca, tsa_ca, stamped):
    """Authenticode's cryptographic verdict on the one signature, from
    osslsigncode, which fetches nothing. Its exit status is no verdict (it is 0
    when any one of several signatures verifies), so only whole lines of its
    report count."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "talvenor.exe")
        with open(path, "wb") as file:
            file.write(exe)
        report = tool(["osslsigncode", "verify", *offline(), "-CAfile", ca, "-TSA-CAfile", tsa_ca,
                       "-in", path], "osslsigncode verify").stdout
    lines = [line.rstrip() for line in report.splitlines()]
    if lines.count("Signature verification: ok") != 1 or any(
            line.startswith("Signature verification: ") and line != "Signature verification: ok"
            for line in lines):
        raise Refused("the signature or the signer's chain does not verify")
    if stamped and lines.count("Timestamp Server Signature verification: ok") != 1:
        raise Refused("the timestamp or its chain does not verify")


def prove_path(what, leaf, certificates, anchors):
    """CERTIFICATES must be exactly the path from LEAF towards ANCHORS, each
    issued by the next, the last by one of ANCHORS or one of them itself: each
    proven by its issuer's signature (names only choose whom to try), and
    judged without the time, since a signing's certificate may expire after
    its timestamp."""
    refusal = Refused(f"the {what} carries other certificates than its signer's path, proven by"
                      " signature, to its CA")
    path, rest = [leaf], [c for c in certificates if c is not leaf]
    while rest:
        issuers = [c for c in rest
                   if name_bytes(c, "subject") == name_bytes(path[-1], "issuer")]
        if len(issuers) != 1:
            raise refusal
        path.append(issuers[0])
        rest.remove(issuers[0])
    with tempfile.TemporaryDirectory() as work:
        files = [os.path.join(work, f"{index}.pem") for index in range(len(path))]
        for file, certificate in zip(files, path):
            with open(file, "wb") as out:
                out.write(pem.armor("CERTIFICATE", certificate.dump()))
        # From the anchor down, so that a path of the maker's own certificates
        # fails at its first step, whatever its length.
        links = [(["-partial_chain", "-CAfile", issuer], file)
                 for file, issuer in zip(files, files[1:])]
        for trust, file in [(["-CAfile", anchors], files[-1]), *links[::-1]]:
            if tool(["openssl", "verify", "-no_check_time", *trust, file],
                    "openssl verify").returncode != 0:
                raise refusal


def check_signature(exe, block, ca, tsa_ca):
    """The verdict's words on the one signature BLOCK of EXE ("signed by ...,
    timestamped"): its structure, then its cryptography and its certificates
    against CA and TSA_CA, each by default the machine's trusted roots."""
    signer, paths = check_structure(block, exe)
    stamped = len(paths) == 2
    if tsa_ca and not stamped:
        raise Refused("talvenor.exe's signature carries no timestamp, and a timestamp CA was"
                      " named to check it by")
    anchors = {"signature": ca or TRUSTED_ROOTS, "timestamp": tsa_ca or TRUSTED_ROOTS}
    verify(exe, anchors["signature"], anchors["timestamp"], stamped)
    for what, leaf, certificates in paths:
        prove_path(what, leaf, certificates, anchors[what])
    return f"signed by {signer}, {'timestamped' if stamped else 'not timestamped'}"


if __name__ == "__main__":
    try:
        with open(sys.argv[1], "rb") as file:
            signed = in_der_form(file.read())
    except Refused as refused:
        sys.exit(f"{sys.argv[1]}: {refused}")
    with open(sys.argv[1], "wb") as file:
        file.write(signed)
