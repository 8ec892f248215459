"""What signing is in a release without a signing service: a throw-away code-signing
certificate, and an RFC 3161 time-stamp authority on 127.0.0.1, whose answers OpenSSL makes
(`openssl ts -reply`) with a root and a time-stamping certificate of its own. Everything
lives in the folder given; nothing reaches the network."""
import contextlib
import http.server
import subprocess
import threading

PASSWORD = "test-only"


def openssl(*arguments):
    subprocess.run(["openssl", *map(str, arguments)], check=True, capture_output=True)


def make_certificate(folder, name="Quindle test signer"):
    """A self-signed certificate and its key, in folder: (certificate, key)."""
    folder.mkdir(parents=True, exist_ok=True)
    key, pem = folder / f"{name}.key", folder / f"{name}.pem"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-days", "30", "-keyout", key,
            "-out", pem)
    return pem, key


def make_signer(folder):
    """A code-signing certificate as the .pfx that `./dev dist --sign` takes (password PASSWORD): (certificate,
    pfx)."""
    pem, key = make_certificate(folder)
    pfx = folder / "signer.pfx"
    openssl("pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx, "-passout", f"pass:{PASSWORD}")
    return pem, pfx


def sign(program, signed, pfx, timestamp_url=None):
    """Signs program into signed as a service would, time-stamped when a URL is given."""
    command = ["osslsigncode", "sign", "-pkcs12", pfx, "-pass", PASSWORD, "-h", "sha256", "-in", program, "-out", signed]
    subprocess.run([str(part) for part in command + (["-ts", timestamp_url] if timestamp_url else [])], check=True,
                   capture_output=True)


@contextlib.contextmanager
def time_stamp_authority(folder):
    """Answers RFC 3161 requests on 127.0.0.1 while the block runs; yields its URL. Its root
    certificate, to verify the time stamps against, is folder/root.pem."""
    root, root_key = make_certificate(folder, "root")
    tsa_key, request, tsa = folder / "tsa.key", folder / "tsa.csr", folder / "tsa.pem"
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Quindle test time stamps", "-keyout", tsa_key,
            "-out", request)
    (folder / "tsa.ext").write_text("extendedKeyUsage = critical, timeStamping\n")
    openssl("x509", "-req", "-in", request, "-CA", root, "-CAkey", root_key, "-CAcreateserial", "-days", "30",
            "-extfile", folder / "tsa.ext", "-out", tsa)
    (folder / "serial").write_text("01\n")
    (folder / "tsa.cnf").write_text(
        f"[tsa]\ndefault_tsa = this\n[this]\nserial = {folder}/serial\nsigner_cert = {tsa}\nsigner_key = {tsa_key}\n"
        f"certs = {root}\nsigner_digest = sha256\ndefault_policy = 1.3.6.1.4.1.4146.2.3\n"
        "digests = sha256, sha384, sha512\ness_cert_id_alg = sha256\n")
    lock = threading.Lock()  # one request at a time: the serial file and the scratch files are shared

    class Answer(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            with lock:
                (folder / "query.der").write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
                openssl("ts", "-reply", "-config", folder / "tsa.cnf", "-queryfile", folder / "query.der", "-out",
                        folder / "reply.der")
                reply = (folder / "reply.der").read_bytes()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *arguments):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Answer)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
