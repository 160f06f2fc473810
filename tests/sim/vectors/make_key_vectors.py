#!/usr/bin/python3
"""Writes key_handshake.txt: known answers for the simulated key's handshake and payload cipher.

Computed with python3-cryptography (Debian's /usr/bin/python3), independently of Crypto++, from
fixed private keys and fixed device-chosen bytes:

  Z          X coordinate of device_private * host point (P-256 ECDH)
  other_info 04 09090909 | 08 host id | 01 host lead | 10 host X[0:16]
             | 08 SHA-256(device X | device Y)[0:8] | 10 initial counter | 01 device lead
  K          SHA-256(00000001 | Z | other_info) | SHA-256(00000002 | Z | other_info)
  frame key  K[32:48]; session block = K[16:64] | initial counter
  ciphertexts AES-128-CTR under the frame key, counter block = initial counter (big-endian,
             wrapping modulo 2^128), restarted for every payload

Run from anywhere: /usr/bin/python3 tests/sim/vectors/make_key_vectors.py
"""

import hashlib
import os

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

CURVE_ORDER = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def private_from_label(label):
    value = int.from_bytes(hashlib.sha256(label.encode()).digest(), "big")
    return value % (CURVE_ORDER - 1) + 1


def coordinates(private_value):
    numbers = ec.derive_private_key(private_value, ec.SECP256R1()).public_key().public_numbers()
    return numbers.x.to_bytes(32, "big"), numbers.y.to_bytes(32, "big")


def sha256(data):
    digest = hashes.Hash(hashes.SHA256())
    digest.update(data)
    return digest.finalize()


def ctr(key, counter, data):
    encryptor = Cipher(algorithms.AES(key), modes.CTR(counter)).encryptor()
    return encryptor.update(data) + encryptor.finalize()


def make_case(name, device_label, host_label, lead, counter, unexamined, payloads):
    device_private = private_from_label(device_label)
    host_private = private_from_label(host_label)
    device_x, device_y = coordinates(device_private)
    host_x, host_y = coordinates(host_private)

    request = bytes([0]) + bytes(8) + host_x + host_y
    response = bytes([lead]) + counter + unexamined + device_x + device_y

    device_key = ec.derive_private_key(device_private, ec.SECP256R1())
    host_public = ec.EllipticCurvePublicNumbers(
        int.from_bytes(host_x, "big"), int.from_bytes(host_y, "big"), ec.SECP256R1()
    ).public_key()
    z = device_key.exchange(ec.ECDH(), host_public)

    fingerprint = sha256(response[33:97])[:8]
    other_info = (bytes([4]) + bytes([9, 9, 9, 9]) + bytes([8]) + request[1:9] + bytes([1])
                  + request[0:1] + bytes([16]) + request[9:25] + bytes([8]) + fingerprint
                  + bytes([16]) + response[1:17] + bytes([1]) + response[0:1])
    assert len(other_info) == 61
    material = (sha256((1).to_bytes(4, "big") + z + other_info)
                + sha256((2).to_bytes(4, "big") + z + other_info))
    frame_key = material[32:48]

    lines = [f"[{name}]",
             f"device_private = {device_private.to_bytes(32, 'big').hex()}",
             f"host_private = {host_private.to_bytes(32, 'big').hex()}",
             f"handshake_request = {request.hex()}",
             f"handshake_response = {response.hex()}",
             f"z = {z.hex()}",
             f"other_info = {other_info.hex()}",
             f"key_material = {material.hex()}",
             f"session_keys = {(material[16:64] + counter).hex()}",
             f"frame_key = {frame_key.hex()}"]
    for label, plain in payloads:
        lines.append(f"{label}_plain = {plain.hex()}")
        lines.append(f"{label}_cipher = {ctr(frame_key, counter, plain).hex()}")
    return "\n".join(lines) + "\n"


def main():
    setup_parameters = bytes.fromhex("08000660ff00ffff48bc0100")
    status_query = (16).to_bytes(4, "little")
    cases = [
        make_case("basic", "nevrik sim device key 1", "nevrik sim host key 1", 0x5A,
                  bytes(range(0x00, 0x100, 0x11)), bytes([0xA5]) * 16,
                  [("status_query", status_query),
                   ("setup", setup_parameters + b"123456"),
                   ("chunk", bytes((i * 7 + 3) & 0xFF for i in range(100)))]),
        # The counter block wraps from all ones to zero after the first 16 bytes.
        make_case("wrap", "nevrik sim device key 2", "nevrik sim host key 2", 0x00,
                  bytes([0xFF]) * 16, bytes(16),
                  [("setup", setup_parameters + b"correct horse battery"),
                   ("status_query", status_query)]),
    ]
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "key_handshake.txt"), "w") as out:
        out.write("# Written by make_key_vectors.py (python3-cryptography); do not edit.\n")
        out.write("\n".join(cases))


if __name__ == "__main__":
    main()
