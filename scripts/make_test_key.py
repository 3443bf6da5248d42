#!/usr/bin/env python3
"""Makes a test key with openssl: a self-signed 2048-bit RSA certificate with a
Subject Key Identifier, its key in PEM, and both in a PKCS#12 file that Windows
and Wine read (a key-exchange key, 3DES, a SHA-1 MAC).

Wine's PKCS#12 import keeps an RSA private key part that is shorter than its
size (a leading zero byte, in about one key of ten) one byte short, and the key
then fails to decrypt (NTE_BAD_DATA). Such a key is made again; Windows would
take it, so nothing of what the tests check changes."""
import argparse
import re
import subprocess
import sys

# The byte length of each private key part of a 2048-bit key.
FULL_LENGTHS = {'modulus': 256, 'privateExponent': 256, 'prime1': 128, 'prime2': 128,
                'exponent1': 128, 'exponent2': 128, 'coefficient': 128}


def openssl(tool, *arguments):
    return subprocess.run([tool, *arguments], check=True, capture_output=True, text=True).stdout


def full_length(tool, key):
    """True when every private key part has its whole size: no leading zero byte."""
    parts, name = {}, None
    for line in openssl(tool, 'rsa', '-in', key, '-text', '-noout').splitlines():
        if re.match(r'^\w+:$', line):
            name = line[:-1]
            parts[name] = []
        elif name and line.startswith(' '):
            parts[name] += re.findall(r'[0-9a-f]{2}', line)
    # openssl writes a 00 before a part whose top bit is set.
    return all(len(parts.get(n, [])) - (parts.get(n, [])[:1] == ['00']) == size
               for n, size in FULL_LENGTHS.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--openssl', required=True)
    parser.add_argument('--subject', required=True)
    parser.add_argument('--password', default='')
    parser.add_argument('--key', required=True, help='the PEM key written')
    parser.add_argument('--pfx', required=True, help='the PKCS#12 file written')
    a = parser.parse_args()
    for _ in range(50):
        openssl(a.openssl, 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '3650',
                '-subj', '/CN=' + a.subject, '-addext', 'subjectKeyIdentifier=hash',
                '-keyout', a.key, '-out', a.key + '.crt')
        if full_length(a.openssl, a.key):
            break
    else:
        sys.exit('make_test_key: no key without a short part in 50 tries')
    openssl(a.openssl, 'pkcs12', '-export', '-in', a.key + '.crt', '-inkey', a.key, '-keyex',
            '-keypbe', 'PBE-SHA1-3DES', '-certpbe', 'PBE-SHA1-3DES', '-macalg', 'sha1',
            '-passout', 'pass:' + a.password, '-out', a.pfx)


if __name__ == '__main__':
    main()
