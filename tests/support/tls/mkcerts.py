#!/usr/bin/python3
"""Writes a throwaway certificate authority and the certificates the TLS tests need.

  mkcerts.py OUTDIR

ca.pem/ca.key       the test CA
other-ca.pem        an unrelated CA (the "wrong CA")
bundle.pem          other-ca.pem followed by ca.pem (a bundle of two)
server.pem          server certificate for 127.0.0.1 and localhost, signed by the CA,
                    followed by its key (lighttpd's ssl.pemfile)
client.pem/.key     client certificate signed by the CA, valid for two days
expired.pem/.key    client certificate signed by the CA that expired yesterday
stranger.key        a key that belongs to no certificate
Keys are written with mode 0600.
"""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

NOW = datetime.datetime.now(datetime.timezone.utc)


def key():
    return ec.generate_private_key(ec.SECP256R1())


def name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def certificate(subject, subject_key, issuer, issuer_key, ca=False, not_before=None, not_after=None,
                usage=None, sans=None):
    builder = (x509.CertificateBuilder().subject_name(name(subject)).issuer_name(name(issuer))
               .public_key(subject_key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(not_before or NOW - datetime.timedelta(hours=1))
               .not_valid_after(not_after or NOW + datetime.timedelta(days=2))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if ca:
        builder = builder.add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                                        critical=True)
    if usage:
        builder = builder.add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
    if sans:
        builder = builder.add_extension(x509.SubjectAlternativeName(sans), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def key_pem(private_key):
    return private_key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                     serialization.NoEncryption())


def write(folder, file_name, data, mode=0o644):
    path = os.path.join(folder, file_name)
    with open(path, "wb") as stream:
        stream.write(data)
    os.chmod(path, mode)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    ca_key, other_key = key(), key()
    ca = certificate("Updater Test CA", ca_key, "Updater Test CA", ca_key, ca=True)
    other_ca = certificate("Unrelated Test CA", other_key, "Unrelated Test CA", other_key, ca=True)
    write(folder, "ca.pem", pem(ca))
    write(folder, "ca.key", key_pem(ca_key), 0o600)
    write(folder, "other-ca.pem", pem(other_ca))
    write(folder, "bundle.pem", pem(other_ca) + pem(ca))

    server_key = key()
    server = certificate("127.0.0.1", server_key, "Updater Test CA", ca_key, usage=ExtendedKeyUsageOID.SERVER_AUTH,
                         sans=[x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")])
    write(folder, "server.pem", pem(server) + key_pem(server_key), 0o600)

    client_key = key()
    client = certificate("device-0001", client_key, "Updater Test CA", ca_key, usage=ExtendedKeyUsageOID.CLIENT_AUTH)
    write(folder, "client.pem", pem(client))
    write(folder, "client.key", key_pem(client_key), 0o600)

    expired_key = key()
    expired = certificate("device-0002", expired_key, "Updater Test CA", ca_key, usage=ExtendedKeyUsageOID.CLIENT_AUTH,
                          not_before=NOW - datetime.timedelta(days=30), not_after=NOW - datetime.timedelta(days=1))
    write(folder, "expired.pem", pem(expired))
    write(folder, "expired.key", key_pem(expired_key), 0o600)
    write(folder, "stranger.key", key_pem(key()), 0o600)


if __name__ == "__main__":
    main()
