"""A throwaway signing set-up, all made at test time, as public CAs issue
it: a CA whose intermediate issues a code-signing certificate whose key lives
only on a SoftHSM2 token, and an RFC 3161 timestamp authority on loopback,
under an intermediate of a CA of its own, that stops by itself; every
certificate below a CA names a revocation list at a loopback address that
takes the connection and never answers. And, for the tampered releases, a
certificate without code signing's usage, a self-signed one named after a
line of osslsigncode's report, and self-signed ones named after each CA that
carry a payload."""
import contextlib
import http.server
import os
import pathlib
import socket
import subprocess
import threading

PIN = "731946285"
TOKEN_KEY = "pkcs11:token=talvenor-test;object=signer;type=private"
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"

TSA_CONFIG = """\
[here]
serial = {0}/tsa-serial
signer_cert = {0}/timestamper.pem
signer_key = {0}/timestamper.key
certs = {0}/tsa-intermediate.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.0.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def openssl(*args, folder):
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


def make_pki(folder, crl_url):
    """ca.pem, which issues intermediate.pem, which issues signer.pem and
    plain.pem; tsa-ca.pem, which issues tsa-intermediate.pem, which issues
    timestamper.pem; impostor.pem, self-signed; forged-ca.pem and
    forged-tsa-ca.pem, self-signed under each CA's name, with a payload in an
    extension; each with its key. chain.pem is the signer's certificate
    followed by its intermediate's."""
    ca = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign"]
    payload = "1.3.6.1.4.1.0.2=DER:" + ("payload " * 768).encode().hex()
    crl = f"crlDistributionPoints=URI:{crl_url}"
    intermediate = ["basicConstraints=critical,CA:TRUE,pathlen:0",
                    "keyUsage=critical,keyCertSign,cRLSign", crl]
    leaf = ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature"]
    for serial, (name, subject, issuer, extensions) in enumerate((
            ("ca", "CA", None, ca), ("tsa-ca", "TSA CA", None, ca),
            ("forged-ca", "CA", None, [*ca, payload]),
            ("forged-tsa-ca", "TSA CA", None, [*ca, payload]),
            ("intermediate", "intermediate", "ca", intermediate),
            ("tsa-intermediate", "tsa-intermediate", "tsa-ca", intermediate),
            ("signer", "signer", "intermediate", [*leaf, "extendedKeyUsage=codeSigning", crl]),
            ("timestamper", "timestamper", "tsa-intermediate",
             [*leaf, "extendedKeyUsage=critical,timeStamping", crl]),
            ("plain", "plain", "intermediate", leaf)), start=2):
        issued = ["-CA", f"{issuer}.pem", "-CAkey", f"{issuer}.key"] if issuer else []
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                "-out", f"{name}.pem", "-days", "2", "-subj", f"/CN=Talvenor Test {subject}",
                "-set_serial", str(serial), *issued,
                *[arg for extension in extensions for arg in ("-addext", extension)], folder=folder)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "impostor.key",
            "-out", "impostor.pem", "-days", "2", "-subj", "/CN=Signature verification: ok",
            "-addext", "extendedKeyUsage=codeSigning", folder=folder)
    pathlib.Path(folder, "chain.pem").write_bytes(b"".join(
        pathlib.Path(folder, name).read_bytes() for name in ("signer.pem", "intermediate.pem")))


def unanswering_server(port=0):
    """A loopback server, and a URL on it, that takes every connection and
    never answers while it stays open: a fetch from it hangs, not fails. Each
    process that shares the port holds it open, until the last one ends."""
    server = socket.create_server(("127.0.0.1", port), backlog=256, reuse_port=True)
    return server, f"http://127.0.0.1:{server.getsockname()[1]}/talvenor-test.crl"


def make_token(folder):
    """A SoftHSM2 token holding the signer's key, which then leaves the disk;
    FOLDER/softhsm2.conf, which SOFTHSM2_CONF names, finds it."""
    tokens = os.path.join(folder, "tokens")
    os.makedirs(tokens)
    config = pathlib.Path(folder, "softhsm2.conf")
    config.write_text(f"directories.tokendir = {tokens}\nobjectstore.backend = file\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(config))
    for args in (["--init-token", "--free", "--label", "talvenor-test", "--so-pin", "86420"],
                 ["--import", os.path.join(folder, "signer.key"), "--token", "talvenor-test",
                  "--label", "signer", "--id", "01"]):
        subprocess.run(["softhsm2-util", *args, "--pin", PIN], env=env, check=True,
                       capture_output=True)
    os.remove(os.path.join(folder, "signer.key"))


@contextlib.contextmanager
def timestamp_authority(folder, lifetime=900):
    """An RFC 3161 authority at the URL it yields, on loopback, answering with
    openssl ts; it stops when the block ends, or after LIFETIME seconds."""
    config = pathlib.Path(folder, "tsa.cnf")
    config.write_text(TSA_CONFIG.format(folder))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-section",
                                    "here", "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                                   input=query, capture_output=True).stdout
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    deadline = threading.Timer(lifetime, server.shutdown)
    deadline.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        deadline.cancel()
        server.shutdown()
        server.server_close()
