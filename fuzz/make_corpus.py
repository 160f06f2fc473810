#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs into fuzz/corpus/<fuzzer>/, one named file per case.

Each seed is a meaningful exchange in the input format that the harness's header comment
describes, so the fuzzers start from inputs that get deep. Run it again after changing a format:
    python3 fuzz/make_corpus.py
"""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

NEVRIK_GUID = "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}"


def le16(value):
    return struct.pack("<H", value)


def le32(value):
    return struct.pack("<I", value)


def write(fuzzer, name, data):
    folder = CORPUS / fuzzer
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(bytes(data))


# --- Microsoft OS 2.0 descriptors: configuration index, then the device's bytes ---------------

PLATFORM_UUID = bytes.fromhex("DF60DDD88945C74C9CD2659D9E648A9F")
WINDOWS_81 = 0x06030000


def capability(entries):
    """A platform capability with (windowsVersion, totalLength, vendorCode) entries."""
    body = b"".join(le32(v) + le16(total) + bytes([code, 0]) for v, total, code in entries)
    return bytes([20 + len(body), 0x10, 0x05, 0x00]) + PLATFORM_UUID + body


def utf16(text):
    return (text + "\0").encode("utf-16-le")


def registry_property(name, data_type, data):
    name_bytes = utf16(name)
    body = le16(data_type) + le16(len(name_bytes)) + name_bytes + le16(len(data)) + data
    return le16(4 + len(body)) + le16(0x04) + body


def guids_property(*guids):
    return registry_property("DeviceInterfaceGUIDs", 7, b"".join(map(utf16, guids)) + b"\0\0")


def guid_property(guid):
    return registry_property("DeviceInterfaceGUID", 1, utf16(guid))


def compatible_id(identifier):
    return le16(20) + le16(0x03) + identifier.ljust(8, b"\0") + bytes(8)


def subset(kind, number, contents):
    return le16(8) + le16(kind) + bytes([number, 0]) + le16(8 + len(contents)) + contents


def descriptor_set(contents):
    return le16(10) + le16(0x00) + le32(WINDOWS_81) + le16(10 + len(contents)) + contents


def ms_os20_seeds():
    write("ms_os20_descriptors", "capability_one_set", b"\0" + capability([(WINDOWS_81, 178, 0x20)]))
    write("ms_os20_descriptors", "capability_newest_windows_wins",
          b"\0" + capability([(0x0A000000, 200, 0x21), (WINDOWS_81, 178, 0x20)]))
    write("ms_os20_descriptors", "set_device_level_guids",
          b"\0" + descriptor_set(compatible_id(b"WINUSB") + guids_property("{00000000-0000-0000-0000-000000000000}", NEVRIK_GUID)))
    function = subset(2, 1, compatible_id(b"WINUSB") + guids_property(NEVRIK_GUID))
    write("ms_os20_descriptors", "set_function_in_configuration",
          b"\0" + descriptor_set(subset(1, 0, function)))
    write("ms_os20_descriptors", "set_other_configuration_index",
          b"\1" + descriptor_set(subset(1, 0, function)))
    write("ms_os20_descriptors", "set_single_guid_lower_case",
          b"\0" + descriptor_set(subset(2, 2, guid_property(NEVRIK_GUID.lower()))))


# --- Buffered IN pipe: pipe byte, then (kind, 16-bit value) records ---------------------------

PACKET_SIZES = [64, 512, 8, 16, 1, 3, 1024, 0]
SHORT_PACKET_TERMINATE = 0x08


def pipe(max_packet_size, *records):
    return bytes([PACKET_SIZES.index(max_packet_size) | SHORT_PACKET_TERMINATE]) + b"".join(records)


def packet(size):
    return b"\0" + le16(size)


def fail():
    return b"\1\0\0"


def read(length):
    return b"\2" + le16(length)


def drop():
    return b"\3\0\0"


def overreport():
    return b"\4\0\0"


def in_pipe_seeds():
    write("in_pipe", "header_then_payload",
          pipe(64, packet(64), packet(44), read(8), read(100),
               packet(64), packet(64), packet(0), read(8), read(120)))
    write("in_pipe", "full_packet_then_zero_length_packet",
          pipe(512, packet(512), packet(0), read(8), read(504), packet(12), read(8), read(4)))
    write("in_pipe", "zero_length_packet_alone", pipe(64, packet(0), read(8), packet(8), read(8)))
    write("in_pipe", "failure_mid_transfer",
          pipe(64, packet(64), fail(), packet(64), read(100), read(8), read(200)))
    write("in_pipe", "packet_beyond_max_packet_size",
          pipe(8, packet(17), packet(3), read(20), packet(9), read(4), read(4)))
    write("in_pipe", "platform_reports_more_than_asked",
          pipe(64, overreport(), read(8), packet(20), overreport(), read(8), read(12)))
    write("in_pipe", "staged_bytes_dropped",
          pipe(16, packet(16), packet(5), read(8), drop(), read(8), packet(10), read(10)))


# --- Device session: device shape, then operations with the device's answers -----------------

WELL_BEHAVED = 0x05  # one OUT and one IN pipe, halts on the class request, resets clear them
SYNCHRONIZE, QUERY, GET_STATUS, HANDSHAKE, SECURE, PLAIN, NO_DATA, FINAL = range(8)

# The P-256 base point: a valid device key for the handshake.
GX = bytes.fromhex("6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296")
GY = bytes.fromhex("4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5")


def op(kind, n=0):
    return bytes([n << 3 | kind])


def answer(payload):
    return b"\1" + payload


def response(sequence, status, payload=b""):
    """The device's whole answer: the header read, then the payload read if there is one."""
    header = b"NVKW" + bytes([sequence & 0xFF, status]) + le16(len(payload))
    return answer(header) + (answer(payload) if payload else b"")


def status_record(flags, major, minor):
    record = bytearray(108)
    record[1], record[102], record[103] = flags, major, minor
    return bytes(record)


def handshake_answer(x=GX, y=GY):
    return b"\x00" + bytes(range(1, 17)) + bytes(16) + x + y


def session_seeds():
    write("device_session", "update_exchange", bytes([WELL_BEHAVED])
          + op(SYNCHRONIZE) + response(1, 0, le32(1))
          + op(GET_STATUS) + response(2, 0, status_record(0x01, 1, 5))
          + op(HANDSHAKE) + response(3, 0, handshake_answer())
          + op(NO_DATA, 1) + response(4, 0x80)          # setup, secure, 17 bytes
          + op(NO_DATA, 17) + response(5, 0x80)         # a write, secure, 8738 bytes
          + op(SECURE, 0) + response(6, 0x80, bytes(range(32)))  # the hash
          + op(NO_DATA, 0) + response(7, 0)             # deploy
          + op(FINAL))
    write("device_session", "sync_halts_never_come", bytes([0x25]) + op(SYNCHRONIZE) + op(FINAL))
    write("device_session", "sync_check_answers_two",
          bytes([WELL_BEHAVED]) + op(SYNCHRONIZE) + response(1, 0, le32(2)) + op(GET_STATUS))
    write("device_session", "short_header_does_not_latch",
          bytes([WELL_BEHAVED]) + op(QUERY, 3) + b"\x08" + b"NVKW\x01\x00"
          + op(QUERY, 3) + response(2, 0, le32(1)))
    write("device_session", "failed_payload_read_latches",
          bytes([WELL_BEHAVED]) + op(QUERY, 16) + answer(b"NVKW\x01\x00\x6c\x00") + b"\x00"
          + op(PLAIN, 1) + op(SYNCHRONIZE) + response(2, 0, le32(1)))
    write("device_session", "secure_answer_without_keys",
          bytes([WELL_BEHAVED]) + op(QUERY, 3) + response(1, 0x80, le32(1)))
    write("device_session", "error_status_with_payload",
          bytes([WELL_BEHAVED]) + op(QUERY, 3) + response(1, 0x45, bytes(10)))
    write("device_session", "status_record_one_byte_short",
          bytes([WELL_BEHAVED]) + op(GET_STATUS) + response(1, 0, bytes(107)))
    write("device_session", "handshake_key_off_the_curve",
          bytes([WELL_BEHAVED]) + op(HANDSHAKE)
          + b"".join(response(i, 0, handshake_answer(bytes(32), bytes(32))) for i in range(1, 11))
          + op(SECURE, 1))
    write("device_session", "sequence_byte_wraps",
          bytes([WELL_BEHAVED]) + op(FINAL) * 255 + op(QUERY, 3) + response(256, 0, le32(1)))


# --- A whole update: the scene, then one plan per request the host begins ---------------------
# With the small pack of the harness a run sends: status query, handshake, setup, three writes,
# hash query, deploy, final frame. A plan of 0 passes the key's real answer; the input ending
# passes every answer after it.

NO_PIN, RIGHT_PIN, WRONG_PIN, LOCKED_PIN = range(4)
FORCE, UP_TO_DATE, LONG_PIN, HIGH_SPEED = 0x04, 0x08, 0x40, 0x80
DECLINE, INPUT_ENDS, TOO_LONG_THEN_YES = 0x10, 0x20, 0x30
STATUS, HANDSHAKE_REQUEST, SETUP, WRITE1, WRITE2, WRITE3, HASH, DEPLOY, FINAL_FRAME = range(9)


def passes(count):
    return bytes(count)


def set_status(status):
    return bytes([0x01, status])


def set_header_byte(index, value):
    return bytes([0x02, index, value])


def payload_length(length):
    return b"\x04" + le16(length)


def flip(offset, xor):
    return b"\x08" + le16(offset) + bytes([xor])


def replace(frame):
    return bytes([0x10, len(frame)]) + frame


def packets(shape):
    return bytes([0x20, shape])


def stall_in(index):
    return bytes([0x40, index])


STALL_OUT = b"\x80"
ONE_BYTE_PACKETS, LEADING_ZLP, DROP_ZLP, EXTRA_ZLP, TWICE, NOTHING = 0x01, 0x08, 0x10, 0x20, 0x40, 0x80


def at(request, plan, scene=NO_PIN):
    """The scene, the key's own answers up to `request`, then that request's plan."""
    return bytes([scene]) + passes(request) + plan


def update_seeds():
    for name, scene in [("whole_update_without_pin", NO_PIN), ("whole_update_with_pin", RIGHT_PIN),
                        ("wrong_pin", WRONG_PIN), ("locked_pin", LOCKED_PIN),
                        ("pin_too_long", RIGHT_PIN | LONG_PIN), ("up_to_date", UP_TO_DATE),
                        ("up_to_date_forced", UP_TO_DATE | FORCE), ("declined", DECLINE),
                        ("input_ends_at_question", INPUT_ENDS),
                        ("too_long_answer_then_yes", TOO_LONG_THEN_YES | RIGHT_PIN),
                        ("high_speed_key", HIGH_SPEED | RIGHT_PIN)]:
        write("update", name, bytes([scene]))
    write("update", "status_says_pin_locked", at(STATUS, flip(1, 0x09)))
    write("update", "status_query_busy", at(STATUS, set_status(3)))
    write("update", "status_record_split_in_one_byte_packets", at(STATUS, packets(ONE_BYTE_PACKETS)))
    write("update", "status_payload_stalls", at(STATUS, stall_in(1)))
    write("update", "handshake_answer_off_the_curve", at(HANDSHAKE_REQUEST, flip(96, 1) * 10))
    write("update", "handshake_answer_96_bytes", at(HANDSHAKE_REQUEST, payload_length(96)))
    write("update", "setup_answers_incorrect_pin", at(SETUP, set_status(15), RIGHT_PIN))
    write("update", "setup_answer_sequence_behind", at(SETUP, set_header_byte(4, 3)))
    write("update", "setup_answered_twice", at(SETUP, packets(TWICE)))
    write("update", "write_refused", at(WRITE2, set_status(8)))
    write("update", "write_request_stalls", at(WRITE1, STALL_OUT))
    write("update", "write_not_answered", at(WRITE3, packets(NOTHING)))
    write("update", "write_answer_after_zero_length_packet", at(WRITE1, packets(LEADING_ZLP)))
    write("update", "write_answer_with_extra_zero_length_packet", at(WRITE2, packets(EXTRA_ZLP)))
    write("update", "write_answer_with_payload", at(WRITE3, payload_length(4)))
    write("update", "hash_differs", at(HASH, flip(0, 1)))
    write("update", "hash_31_bytes", at(HASH, payload_length(31)))
    write("update", "hash_empty", at(HASH, payload_length(0)))
    write("update", "hash_answer_in_clear", at(HASH, set_status(0)))
    write("update", "deploy_refused", at(DEPLOY, set_status(8)))
    write("update", "final_frame_stalls", at(FINAL_FRAME, STALL_OUT))
    write("update", "cancel_answered_with_data", at(DEPLOY, set_status(8) + payload_length(4)))
    write("update", "deploy_answer_replaced_by_a_success",
          at(DEPLOY, replace(b"NVKW" + bytes([9, 0]) + le16(0))))


if __name__ == "__main__":
    ms_os20_seeds()
    in_pipe_seeds()
    session_seeds()
    update_seeds()
