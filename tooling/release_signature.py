"""The exe's Authenticode signature: the block where the build ends, its
structure, osslsigncode's cryptographic verdict on it, and its certificates,
each proven by signature to be on the path from its signer to the CA.

Run as python3 -m tooling.release_signature EXE, it rewrites the signed EXE's
signature block into the one form the check takes (scripts/dist does, right
after signing)."""
import functools
import hashlib
import pathlib
import struct
import subprocess
import sys
import tempfile

import pefile
from asn1crypto import algos, cms, core, keys, pem, tsp, x509  # noqa: F401 (tsp: tokens parse)
from pyasn1.codec.ber import decoder
from pyasn1.codec.der import encoder
from pyasn1.error import PyAsn1Error
from pyasn1.type import tag, univ
from tooling.release_steps import QUICK_LIMIT, Refused, printable, refuse_if, run_step

TRUSTED_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
# The one encoding of each algorithm the project's signing writes.
SHA256 = bytes.fromhex("300d06096086480165030402010500")
RSA = bytes.fromhex("300d06092a864886f70d0101010500")


def pe_header(exe):
    """pefile's reading of EXE's headers alone, and its security directory."""
    try:
        pe = pefile.PE(data=exe, fast_load=True)
        return pe, pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]  # IMAGE_DIRECTORY_ENTRY_SECURITY
    except (pefile.PEFormatError, IndexError):  # IndexError: too few directories
        raise Refused("talvenor.exe is not what this checkout builds") from None


def signature_in(exe):
    """What follows the exe's certificate table's header (the signature and its
    padding), or None where it has none; that it is one Authenticode table
    where the build ends, the comparison with the build proves."""
    security = pe_header(exe)[1]
    return exe[security.VirtualAddress + 8:] if security.VirtualAddress or security.Size else None


def with_signature(exe, block):
    """EXE, its certificate table if any taken off, with BLOCK (a signature and
    whatever follows it) as its one table, padded to 8 bytes, and the header's
    security directory and checksum made to fit, as a signing tool makes them."""
    end = pe_header(exe)[1].VirtualAddress or len(exe)
    start, block = -(-end // 8) * 8, block + b"\0" * (-len(block) % 8)
    pe, security = pe_header(exe[:end].ljust(start, b"\0")
                             + struct.pack("<IHH", 8 + len(block), 0x200, 2) + block)
    security.VirtualAddress, security.Size = start, 8 + len(block)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def authenticode_digest(exe):
    """The exe's Authenticode digest, SHA-256: every byte before the
    certificate table but the checksum and the security directory entry."""
    pe, security = pe_header(exe)
    checksum_at, security_at = (pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"),
                                security.get_file_offset())
    return hashlib.new("sha256", exe[:checksum_at] + exe[checksum_at + 4:security_at]
                       + exe[security_at + 8:security.VirtualAddress]).digest()


TAG_MAP = getattr(decoder, "TAG_MAP", None) or decoder.tagMap  # pyasn1 0.5 on; 0.4


class Empty:
    """Where pyasn1 0.5 on reads an empty SEQUENCE or SET without a schema as
    None (and fails on it where it is inside another), the empty value it is."""

    def _decodeComponentsSchemaless(self, substrate, tagSet=None, **options):
        for value in super()._decodeComponentsSchemaless(substrate, tagSet, **options):
            yield value if value is not None else self.protoSequenceComponent.clone(tagSet=(
                tag.TagSet(self.protoSequenceComponent.tagSet.baseTag, *tagSet.superTags))).clear()


class ContextSpecific(Empty, type(TAG_MAP[univ.Set.tagSet])):
    """A context-specific value, read without a schema by its form alone: a
    primitive one as an OCTET STRING, a constructed one as a SET, which DER's
    order then applies to. In a signature each is an implicit SET OF (of
    certificates, of attributes) or an explicit tag's one value."""

    def valueDecoder(self, substrate, schema, tags, *rest, **options):
        primitive = tags[0].tagFormat == tag.tagFormatSimple
        return (TAG_MAP[univ.OctetString.tagSet] if primitive else super()).valueDecoder(
            substrate, schema, tags, *rest, **options)


TAGS = {**TAG_MAP, **{tags: type("Universal", (Empty, type(TAG_MAP[tags])), {})()
                      for tags in (univ.Sequence.tagSet, univ.Set.tagSet)},
        **{tag.TagSet((), tag.Tag(tag.tagClassContext, tag.tagFormatSimple, number)):
           ContextSpecific() for number in range(31)}}


READ = (functools.partial(decoder.decode, tagMap=TAGS) if hasattr(decoder, "StreamingDecoder")
        else decoder.Decoder(TAGS, decoder.typeMap))  # pyasn1 0.5 on; 0.4


# DER's encoder pads a SET's values to the longest to sort them, which a
# crafted set of many values makes cost gigabytes; a signature's sets hold a
# few certificates or attributes.
MOST_IN_A_SET = 64


def der_form(block):
    """(BLOCK's first value written again in DER's one form, what follows it),
    read by its tags alone, so that no part is left unread as a schema's ANY
    would leave it: definite lengths, each as short as it can be, no string in
    pieces, each value written its one way, and every SET in DER's order."""
    value, rest = READ(block)
    parts = [value]
    while parts:
        part = parts.pop()
        if isinstance(part, univ.SequenceOfAndSetOfBase):
            refuse_if(isinstance(part, univ.SetOf) and len(part) > MOST_IN_A_SET,
                      f"talvenor.exe's signature holds a SET of more than {MOST_IN_A_SET} values")
            parts.extend(part)
    try:
        return encoder.encode(value), rest
    except IndexError as error:  # a value read that cannot be written again: an empty time
        raise PyAsn1Error(f"{type(error).__name__}: {error}") from None


def in_der_form(exe):
    """The signed EXE with its signature in DER's one form, which the check
    takes: some osslsigncode versions and openssl ts leave the certificate
    sets, which no signature covers, in the order they were given."""
    return with_signature(exe, der_form(signature_in(exe))[0])


class SpcIndirectData(core.Sequence):
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


def signer_of(signed_data, what, versions):
    """(the one signer of SIGNED_DATA, its certificate, the certificates
    carried), which must be X.509 ones, without revocation lists, the
    SignedData and the SignerInfo of the VERSIONS given."""
    refuse_if(any(choice.name != "certificate" for choice in signed_data["certificates"]),
              f"the {what} carries a certificate of another kind than X.509")
    certificates = [choice.chosen for choice in signed_data["certificates"]]
    refuse_if(signed_data["crls"].dump(), f"the {what} carries revocation lists")  # b"": absent
    signers = len(signed_data["signer_infos"])
    refuse_if(signers != 1, f"the {what} has {signers} signers, not one")
    signer = signed_data["signer_infos"][0]
    refuse_if(signer["sid"].name != "issuer_and_serial_number",
              f"the {what}'s signer is not named by issuer and serial number")
    wanted = signer["sid"].chosen
    # By the bytes of the name, which no signature covers here: a name that
    # only compares equal (another case, another string type) is another.
    leaves = [c for c in certificates if c.issuer.dump() == wanted["issuer"].dump()
              and c.serial_number == wanted["serial_number"].native]
    refuse_if(len(leaves) != 1, f"the {what} does not carry its signer's certificate once")
    for structure, value, version in zip(("SignedData", "SignerInfo"),
                                         (signed_data["version"], signer["version"]), versions):
        refuse_if(int(value) != version,
                  f"the {what}'s {structure} is version {int(value)}, not {version}")
    return signer, leaves[0], certificates


def check_token(token):
    """The timestamp's signer, its certificate and the certificates carried:
    every version the one the RFCs give, every algorithm written in its one
    form, and nothing present but empty."""
    refuse_if(token["content_type"].native != "signed_data"
              or token["content"]["encap_content_info"]["content_type"].native != "tst_info"
              or isinstance(token["content"]["encap_content_info"]["content"], core.Void),
              "talvenor.exe's timestamp is not an RFC 3161 token")
    stamp = token["content"]
    # SignedData 3 and SignerInfo 1, named by issuer and serial number, as
    # RFC 5652 gives them; RFC 3161's TSTInfo 1.
    stamper, leaf, certificates = signer_of(stamp, "timestamp", (3, 1))
    info = stamp["encap_content_info"]["content"].parsed
    refuse_if(int(info["version"]) != 1,
              f"the timestamp's TSTInfo is version {int(info['version'])}, not 1")
    refuse_if(stamper["unsigned_attrs"].dump(), "talvenor.exe's timestamp carries attributes of its"
              " own")
    # The authority chooses its digest; written as the imprint it signed
    # writes the same algorithm, where it is the same, and alike in both places;
    # its parameters, which no signature covers, absent or NULL as the imprint's.
    digest = stamper["digest_algorithm"].dump()
    parameters = stamper["digest_algorithm"]["parameters"]
    imprint = info["message_imprint"]["hash_algorithm"]
    refuse_if([a.dump() for a in stamp["digest_algorithms"]] != [digest]
              or parameters.dump() not in (b"", b"\x05\x00")
              or parameters.dump() != imprint["parameters"].dump()
              or (imprint["algorithm"].dotted == stamper["digest_algorithm"]["algorithm"].dotted
                  and imprint.dump() != digest),
              "the timestamp's digest algorithm is not written alike where it appears")
    # Its signature algorithm, which no signature covers, by asn1crypto's names:
    # an RSA key's own algorithm, or RSA with that digest, with NULL parameters
    # (RFC 3279, RFC 4055). RSA alone: an ECDSA signature (r, s) verifies as
    # (r, n - s) too, a second form of the block. The key's kind is read
    # alone: asn1crypto, reading the whole key, raises KeyError for a kind it
    # does not know.
    key = keys.PublicKeyAlgorithm.load(leaf.public_key.contents, strict=False)["algorithm"].native
    algorithm = stamper["signature_algorithm"]
    name = stamper["digest_algorithm"]["algorithm"].native
    named = {"rsassa_pkcs1v15", f"{name}_rsa"} if key == "rsa" else ()
    refuse_if(name not in ("sha256", "sha384", "sha512")
              or algorithm["algorithm"].native not in named,
              "the timestamp's signature algorithm is not its signer's key's with its digest")
    refuse_if(algorithm["parameters"].dump() != b"\x05\x00",
              "the timestamp's signature algorithm has other parameters than its RFC gives")
    return leaf, certificates


def pinned(algorithms, wanted, refusal):
    """ALGORITHMS must be WANTED's alone, else REFUSAL; and written as the
    project's signing writes it, byte for byte."""
    refuse_if([a["algorithm"].dotted for a in algorithms] != [
        cms.DigestAlgorithm.load(wanted)["algorithm"].dotted], refusal)
    refuse_if(algorithms[0].dump() != wanted, "talvenor.exe's signature writes an algorithm's"
              " parameters otherwise than its signing does")


def check_structure(block, exe):
    """(the signer's subject, the paths to prove): the one signature that the
    certificate table's BLOCK holds, and its parts that Authenticode's own
    verdict leaves unchecked, each a path of what (the signature, the
    timestamp), its signer's certificate and the certificates carried. Where
    the bytes do not parse, pyasn1 raises PyAsn1Error (ValueError, writing a
    BIT STRING that cannot be; RecursionError or OverflowError, past Python's
    limits on depth and length), asn1crypto ValueError as it reads each part:
    only those are the signature's fault. So the checker's own work that may
    raise one too, the exe's digest, is done before."""
    own_digest = authenticode_digest(exe)
    try:
        canonical, rest = der_form(block)
        signature = block[:len(block) - len(rest)]
        refuse_if(len(rest) >= 8 or rest.strip(b"\0"),
                  "talvenor.exe's certificate table holds bytes beyond its signature")
        refuse_if(canonical != signature, "talvenor.exe's signature is not DER")
        info = cms.ContentInfo.load(signature, strict=True)
        refuse_if(info["content_type"].native != "signed_data",
                  "talvenor.exe's signature is not PKCS#7 signed data")
        signed = info["content"]
        pinned(signed["digest_algorithms"], SHA256, "talvenor.exe is not signed with SHA-256 alone")
        encapsulated = signed["encap_content_info"]
        refuse_if(encapsulated["content_type"].dotted != "1.3.6.1.4.1.311.2.1.4",  # SpcIndirectData
                  "talvenor.exe's signature is not Authenticode's")
        digest = encapsulated["content"].parse(SpcIndirectData)["message_digest"]
        pinned([digest["digest_algorithm"]], SHA256,
               "talvenor.exe's Authenticode digest is not SHA-256")
        refuse_if(digest["digest"].native != own_digest,
                  "talvenor.exe's signature is of other bytes than its own")
        signer, leaf, certificates = signer_of(signed, "signature", (1, 1))
        pinned([signer["digest_algorithm"]], SHA256,
               "talvenor.exe's signer digests with another algorithm than SHA-256")
        pinned([signer["signature_algorithm"]], RSA, "talvenor.exe's signer's key is not RSA")
        usage, allowed = leaf.extended_key_usage_value, leaf.key_usage_value
        refuse_if(usage is None or "code_signing" not in usage.native,
                  "the signer's certificate is not for code signing")
        refuse_if(allowed is not None and "digital_signature" not in allowed.native,
                  "the signer's certificate does not allow digital signatures")
        unsigned = list(signer["unsigned_attrs"])
        refuse_if(signer["unsigned_attrs"].dump() and not unsigned,
                  "talvenor.exe's signature carries an empty set of unauthenticated attributes")
        kinds = [attribute["type"].native for attribute in unsigned]  # asn1crypto's names
        refuse_if("microsoft_nested_signature" in kinds,
                  "talvenor.exe carries a second, nested signature")
        refuse_if(kinds not in ([], ["microsoft_time_stamp_token"])
                  or any(len(a["values"]) != 1 for a in unsigned), "talvenor.exe's signature"
                  " carries an unauthenticated attribute other than one timestamp")
        paths = [("signature", leaf, certificates)]
        if unsigned:
            paths.append(("timestamp", *check_token(unsigned[0]["values"][0])))
        return printable(leaf.subject.human_friendly), paths
    except (ValueError, PyAsn1Error, RecursionError, OverflowError) as error:
        raise Refused("talvenor.exe's signature does not parse:"
                      f" {(str(error).splitlines() or [type(error).__name__])[0]}") from None


def tool(argv, what):
    """ARGV's completed process, its report as one text: osslsigncode and
    openssl each write part of it to standard error."""
    return run_step(argv, QUICK_LIMIT, what, stderr=subprocess.STDOUT)


def holds_certificate(path):
    """Whether the file at PATH is PEM whose every block is whole and one at
    least a certificate, as osslsigncode takes it. Any other is the caller's
    mistake, which osslsigncode would report as a signature that does not
    verify, in words of its version's."""
    try:
        certificates = [der for kind, _, der in pem.unarmor(pathlib.Path(path).read_bytes(), True)
                        if kind == "CERTIFICATE"]
        return bool(certificates) and all(x509.Certificate.load(der, strict=True).native
                                          for der in certificates)
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
    with tempfile.NamedTemporaryFile(suffix=".exe", buffering=0) as file:
        file.write(exe)
        report = tool(["osslsigncode", "verify", *offline(), "-CAfile", ca, "-TSA-CAfile", tsa_ca,
                       "-in", file.name], "osslsigncode verify").stdout
    lines = [line.rstrip() for line in report.splitlines()]
    refuse_if([line for line in lines if line.startswith("Signature verification: ")] != [
        "Signature verification: ok"], "the signature or the signer's chain does not verify")
    refuse_if(stamped and lines.count("Timestamp Server Signature verification: ok") != 1,
              "the timestamp or its chain does not verify")


def prove_path(what, leaf, certificates, anchors):
    """CERTIFICATES must be exactly the path from LEAF towards ANCHORS, each
    issued by the next, the last by one of ANCHORS or one of them itself: each
    proven by its issuer's signature (names only choose whom to try), and
    judged without the time, since a signing's certificate may expire after
    its timestamp."""
    refusal = (f"the {what} carries other certificates than its signer's path, proven by"
               " signature, to its CA")
    path, rest = [leaf], [c for c in certificates if c is not leaf]
    while rest:
        # By the bytes of the names, as they stand in each certificate.
        issuers = [c for c in rest if c.subject.dump() == path[-1].issuer.dump()]
        refuse_if(len(issuers) != 1, refusal)
        path.append(issuers[0])
        rest.remove(issuers[0])
    with tempfile.TemporaryDirectory() as work:
        files = [pathlib.Path(work, f"{index}.pem") for index in range(len(path))]
        for file, certificate in zip(files, path):
            file.write_bytes(pem.armor("CERTIFICATE", certificate.dump()))
        # Each issued by the next, the last by the anchors; from the anchors
        # down, so that a path of the maker's own certificates fails at its
        # first step, whatever its length.
        trusts = [["-partial_chain", "-CAfile", issuer] for issuer in files[1:]]
        for trust, file in reversed(list(zip([*trusts, ["-CAfile", anchors]], files))):
            refuse_if(tool(["openssl", "verify", "-no_check_time", *trust, file],
                           "openssl verify").returncode, refusal)


def check_signature(exe, block, ca, tsa_ca):
    """The verdict's words on the one signature that EXE's certificate table's
    BLOCK holds ("signed by ..., timestamped"): its structure, then its
    cryptography and its certificates against CA and TSA_CA, each by default
    the machine's trusted roots."""
    signer, paths = check_structure(block, exe)
    stamped = len(paths) == 2
    refuse_if(tsa_ca and not stamped, "talvenor.exe's signature carries no timestamp, and a"
              " timestamp CA was named to check it by")
    anchors = {"signature": ca or TRUSTED_ROOTS, "timestamp": tsa_ca or TRUSTED_ROOTS}
    verify(exe, anchors["signature"], anchors["timestamp"], stamped)
    for what, leaf, certificates in paths:
        prove_path(what, leaf, certificates, anchors[what])
    return f"signed by {signer}, {'timestamped' if stamped else 'not timestamped'}"


if __name__ == "__main__":  # on the signing tool's own output: any fault stops the signing
    signed = pathlib.Path(sys.argv[1])
    signed.write_bytes(in_der_form(signed.read_bytes()))
