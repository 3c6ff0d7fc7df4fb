"""The exe's Authenticode signature: the block where the build ends, its
structure, and osslsigncode's cryptographic verdict on it."""
import hashlib
import os
import struct
import subprocess
import tempfile

from asn1crypto import cms, core
from release_verdict import Refused, printable

# Room for the largest signature block a real chain and timestamp need.
SIGNATURE_ROOM = 64 << 10
TRUSTED_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
CODE_SIGNING = "code_signing"


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
    try:
        outer = core.Asn1Value.load(block, strict=False)
        der_length = len(outer.dump())
    except Exception:  # asn1crypto's, on bytes that whoever made the file chose
        raise Refused("talvenor.exe's signature is not DER") from None
    if len(block) - der_length >= 8 or block[der_length:].strip(b"\0"):
        raise Refused("talvenor.exe's certificate table holds bytes beyond its signature")
    return block[:der_length]


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
    struct.pack_into("<I", rebuilt, checksum_at, 0)
    struct.pack_into("<I", rebuilt, checksum_at, pe_checksum(bytes(rebuilt)))
    if bytes(rebuilt) != exe:
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


def chain_of(leaf, certificates):
    """LEAF and the certificates that issued it, up to a self-issued one or
    one whose issuer is not among CERTIFICATES."""
    chain = [leaf]
    while chain[-1].issuer != chain[-1].subject:
        issuers = [c for c in certificates if c.subject == chain[-1].issuer and c not in chain]
        if not issuers:
            break
        chain.append(issuers[0])
    return chain


def signer_of(signed_data, certificates, what):
    """The one signer of SIGNED_DATA and its certificate, which must be there;
    the certificates must be exactly its chain."""
    if len(signed_data["signer_infos"]) != 1:
        raise Refused(f"the {what} has {len(signed_data['signer_infos'])} signers, not one")
    signer = signed_data["signer_infos"][0]
    identifier = signer["sid"]
    if identifier.name != "issuer_and_serial_number":
        raise Refused(f"the {what}'s signer is not named by issuer and serial number")
    wanted = identifier.chosen
    leaves = [c for c in certificates if c.issuer == wanted["issuer"]
              and c.serial_number == wanted["serial_number"].native]
    if len(leaves) != 1:
        raise Refused(f"the {what} does not carry its signer's certificate once")
    chain = chain_of(leaves[0], certificates)
    if len(chain) != len(certificates):
        raise Refused(f"the {what} carries certificates beyond its signer's chain")
    return signer, leaves[0]


def check_structure(signature, exe):
    """(the signer's subject, whether it is timestamped): the one signature's
    parts that Authenticode's own verdict leaves unchecked."""
    try:
        info = cms.ContentInfo.load(signature, strict=True)
        if info["content_type"].native != "signed_data":
            raise Refused("talvenor.exe's signature is not PKCS#7 signed data")
        signed = info["content"]
        if [a["algorithm"].native for a in signed["digest_algorithms"]] != ["sha256"]:
            raise Refused("talvenor.exe is not signed with SHA-256 alone")
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
            raise Refused("talvenor.exe's signature is not Authenticode's")
        indirect = encapsulated["content"].parse(SpcIndirectData)
        digest = indirect["message_digest"]
        if digest["algorithm"]["algorithm"].native != "sha256":
            raise Refused("talvenor.exe's Authenticode digest is not SHA-256")
        if digest["digest"].native != authenticode_digest(exe, "sha256"):
            raise Refused("talvenor.exe's signature is of other bytes than its own")
        if signed["crls"].native:
            raise Refused("talvenor.exe's signature carries revocation lists")
        certificates = certificates_of(signed)
        signer, leaf = signer_of(signed, certificates, "signature")
        if signer["digest_algorithm"]["algorithm"].native != "sha256":
            raise Refused("talvenor.exe's signer digests with another algorithm than SHA-256")
        usage = leaf.extended_key_usage_value
        if usage is None or CODE_SIGNING not in usage.native:
            raise Refused("the signer's certificate is not for code signing")
        allowed = leaf.key_usage_value
        if allowed is not None and "digital_signature" not in allowed.native:
            raise Refused("the signer's certificate does not allow digital signatures")
        attributes = signer["unsigned_attrs"]
        unsigned = [] if isinstance(attributes, core.Void) else list(attributes)
        kinds = [attribute["type"].dotted for attribute in unsigned]
        if NESTED_SIGNATURE in kinds:
            raise Refused("talvenor.exe carries a second, nested signature")
        if kinds not in ([], [RFC3161_TIMESTAMP]) or any(len(a["values"]) != 1 for a in unsigned):
            raise Refused("talvenor.exe's signature carries an unauthenticated attribute other"
                          " than one timestamp")
        if unsigned:
            token = unsigned[0]["values"][0]
            if (not isinstance(token, cms.ContentInfo)
                    or token["content_type"].native != "signed_data"):
                raise Refused("talvenor.exe's timestamp is not an RFC 3161 token")
            stamp = token["content"]
            stamper, _ = signer_of(stamp, certificates_of(stamp), "timestamp")
            if not isinstance(stamper["unsigned_attrs"], core.Void) or stamp["crls"].native:
                raise Refused("talvenor.exe's timestamp carries attributes or lists of its own")
        return printable(leaf.subject.human_friendly), bool(unsigned)
    except Refused:
        raise
    except Exception as error:  # asn1crypto's, on DER that whoever made the file chose
        raise Refused("talvenor.exe's signature does not parse:"
                      f" {str(error).splitlines()[0]}") from None


def verify(exe, ca, tsa_ca, stamped):
    """Authenticode's cryptographic verdict on the one signature, from
    osslsigncode. Its exit status is no verdict (it is 0 when any one of
    several signatures verifies), so only whole lines of its report count."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "talvenor.exe")
        with open(path, "wb") as file:
            file.write(exe)
        report = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", tsa_ca,
                                 "-in", path], capture_output=True, text=True,
                                errors="replace").stdout
    lines = [line.rstrip() for line in report.splitlines()]
    if lines.count("Signature verification: ok") != 1 or any(
            line.startswith("Signature verification: ") and line != "Signature verification: ok"
            for line in lines):
        raise Refused("the signature or the signer's chain does not verify")
    if stamped and lines.count("Timestamp Server Signature verification: ok") != 1:
        raise Refused("the timestamp or its chain does not verify")


def check_signature(exe, block, ca, tsa_ca):
    """The verdict's words on the one signature BLOCK of EXE ("signed by ...,
    timestamped"): its structure, then its cryptography against CA and TSA_CA,
    each by default the machine's trusted roots."""
    signer, stamped = check_structure(block, exe)
    verify(exe, ca or TRUSTED_ROOTS, tsa_ca or TRUSTED_ROOTS, stamped)
    return f"signed by {signer}, {'timestamped' if stamped else 'not timestamped'}"
