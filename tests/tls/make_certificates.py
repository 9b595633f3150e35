#!/usr/bin/env python3
"""Writes the TLS test certificates into a folder, made fresh for each test run so that none
expires in the repository:
  ca.pem                the test CA that the tests trust
  server.pem, server.key   for 127.0.0.1, localhost and the API host, signed by the test CA
  other-name.pem, .key  signed by the test CA, for another host name only
  expired.pem, .key     signed by the test CA, for the right names, expired yesterday
  untrusted.pem, .key   for the right names, signed by a CA nobody trusts
usage: make_certificates.py FOLDER API_HOST"""

import datetime
import ipaddress
import pathlib
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

NOW = datetime.datetime.now(datetime.timezone.utc)
DAY = datetime.timedelta(days=1)


def name(common):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common)])


def authority(common):
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (x509.CertificateBuilder().subject_name(name(common)).issuer_name(name(common))
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(NOW - DAY).not_valid_after(NOW + 30 * DAY)
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True,
                                         content_commitment=False, key_encipherment=False,
                                         data_encipherment=False, key_agreement=False,
                                         encipher_only=False, decipher_only=False), critical=True)
            .sign(key, hashes.SHA256()))
    return key, cert


def server(issuer_key, issuer_cert, hosts, not_before, not_after):
    key = ec.generate_private_key(ec.SECP256R1())
    names = [x509.IPAddress(ipaddress.ip_address(h)) if h[0].isdigit() else x509.DNSName(h) for h in hosts]
    cert = (x509.CertificateBuilder().subject_name(name(hosts[0])).issuer_name(issuer_cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(not_before).not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .sign(issuer_key, hashes.SHA256()))
    return key, cert


def write(folder, stem, key, cert):
    (folder / f"{stem}.pem").write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    if key is not None:
        (folder / f"{stem}.key").write_bytes(key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))


def main():
    folder = pathlib.Path(sys.argv[1])
    api_host = sys.argv[2]
    folder.mkdir(parents=True, exist_ok=True)
    right = ["127.0.0.1", "localhost", api_host]
    ca_key, ca_cert = authority("TolvexOmbriVoice test CA")
    other_key, other_cert = authority("an authority nobody trusts")
    write(folder, "ca", None, ca_cert)
    write(folder, "server", *server(ca_key, ca_cert, right, NOW - DAY, NOW + 30 * DAY))
    write(folder, "other-name", *server(ca_key, ca_cert, ["other.example"], NOW - DAY, NOW + 30 * DAY))
    write(folder, "expired", *server(ca_key, ca_cert, right, NOW - 30 * DAY, NOW - DAY))
    write(folder, "untrusted", *server(other_key, other_cert, right, NOW - DAY, NOW + 30 * DAY))


if __name__ == "__main__":
    main()
