#!/usr/bin/env python3
"""Writes the seed inputs of both fuzz targets into fuzz/corpus/<target>/: devices as the
simulator's plug keys describe them, and sessions in the shapes of the simulator's scenarios
(data, teardown, replug, recovery, wait masks, power, two devices). Run once; `make fuzz`
grows and minimises the corpus from there."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def endpoint(address, kind=2, packet=64, interval=0):
    return bytes([7, 5, address, kind]) + struct.pack("<H", packet) + bytes([interval])


def interface(number, endpoints, alternate=0, klass=0xFF):
    return bytes([9, 4, number, alternate, len(endpoints), klass, 0, 0, 0]) + b"".join(endpoints)


def configuration(interfaces, total=None, count=None, padding=b""):
    body = padding + b"".join(interfaces)
    length = 9 + len(body) if total is None else total
    numbers = len({i[2] for i in interfaces}) if count is None else count
    return bytes([9, 2]) + struct.pack("<H", length) + bytes([numbers, 1, 0, 0x80, 50]) + body


def device_descriptor(product=0x005B):
    return bytes([18, 1, 0, 2, 0, 0, 0, 64]) + struct.pack("<HHH", 0x1234, product, 0x100) + bytes([0, 0, 0, 1])


def device_input(flags, config, descriptor=b"", seed=0):
    return struct.pack("<I", flags) + bytes([seed, len(descriptor)]) + descriptor + config


SERIAL = [endpoint(0x81), endpoint(0x02)]
DEVICES = {
    "adapter": device_input(0, configuration([interface(0, SERIAL)])),
    "adapter-other-product": device_input(1, configuration([interface(0, SERIAL)]),
                                          device_descriptor(0x0042)),
    "adapter-async-seed": device_input(2, configuration([interface(0, SERIAL)]), seed=3),
    "packet-0": device_input(0, configuration([interface(0, [endpoint(0x81, packet=0), endpoint(0x02, packet=0)])])),
    "packet-512": device_input(0, configuration([interface(0, [endpoint(0x81, packet=512), endpoint(0x02, packet=512)])])),
    "packet-huge": device_input(0, configuration([interface(0, [endpoint(0x81, packet=0xFFFF), endpoint(0x02, packet=1)])])),
    "bulk-in-only": device_input(0, configuration([interface(0, [endpoint(0x81)])])),
    "interrupt-first": device_input(0, configuration([interface(0, [endpoint(0x83, 3, 8, 1)] + SERIAL)])),
    "two-interfaces": device_input(0, configuration([interface(0, [endpoint(0x83, 3, 8, 1)]), interface(1, SERIAL)])),
    "alternates": device_input(0, configuration([interface(0, []), interface(0, SERIAL, alternate=1)])),
    "class-junk": device_input(0, configuration([interface(0, SERIAL, klass=2)], padding=bytes([5, 0x24, 0, 1, 2]) + bytes([3, 0x41, 0]))),
    "padded": device_input(0, configuration([interface(0, SERIAL)], padding=bytes([255, 0x41]) + bytes(253))),
    "wtotal-lies-long": device_input(0, configuration([interface(0, SERIAL)], total=400)),
    "wtotal-lies-short": device_input(0, configuration([interface(0, SERIAL)], total=12)),
    "numinterfaces-lies": device_input(0, configuration([interface(0, SERIAL)], count=5)),
    "config-nothing": device_input(0x1000, configuration([interface(0, SERIAL)])),
    "devdesc-fails": device_input(4, configuration([interface(0, SERIAL)])),
    "devdesc-short": device_input(0, configuration([interface(0, SERIAL)]), device_descriptor()[:5]),
    "select-fails": device_input(8, configuration([interface(0, SERIAL)])),
    "port-faults": device_input(0x10 | 0x20 | 0x40, configuration([interface(0, SERIAL)])),
    "caps-registry": device_input(0x80 | 0x2000, configuration([interface(0, SERIAL)])),
    "registry-fails": device_input(0x100, configuration([interface(0, SERIAL)])),
    "disconnected": device_input(0x400, configuration([interface(0, SERIAL)])),
}

# Session steps: the opcode (0x80 names the second device) and its argument bytes.
PLUG, OPEN, CLOSE, READ, WRITE, TIMEOUTS, SERIAL_CODE, ANY_CODE, PURGE, MASK, WAITMASK, CANCEL, \
    SLEEP, SEND, ZLP, HOLD, FAIL, PORT, PNP, POWER, TIMED_READ, QUERY = \
    0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 15, 16, 17, 18, 19, 20, 21, 22, 24


def session(seed, *steps):
    out = bytes([seed])
    for step in steps:
        out += bytes(step)
    return out


def sleep(index=5):
    return [SLEEP, index]


def timed_read(length, immediate=False, constant=50):
    return [TIMED_READ, 1 if immediate else 0, constant, 0, 0, 0, length]


A = 0
B = 0x80
SESSIONS = {
    "data": session(0, [PLUG, 0], [OPEN], [TIMEOUTS, 0, 0, 7, 0, 7, 0, 0], [SEND, 10], timed_read(10),
                    sleep(), [WRITE, 0, 20], sleep(), [READ, 0, 5], [CANCEL, 0], sleep(),
                    [PURGE, 0x0F, 0, 0], [SEND, 0x81], timed_read(0x40 | 1, True), sleep(8), [CLOSE, 0]),
    "teardown": session(1, [PLUG, 0], [OPEN], [READ, 0, 10], [PNP, 5], sleep(), [READ, 0, 3],
                        [CLOSE, 0], [PLUG, 0], [OPEN], [CLOSE, 0], [PNP, 1], [PNP, 1], [OPEN],
                        [PNP, 0], [CLOSE, 0], [PNP, 0]),
    "replug": session(2, [PLUG, 0], [OPEN], [PNP, 5], [PLUG, 8], [OPEN], [WRITE, 1, 6], [SEND, 6],
                      timed_read(6), sleep(6), [WRITE, 0, 4], [READ, 0, 4], sleep(), [PNP, 5],
                      [PLUG, 0x10], [OPEN], [CLOSE, 0], [CLOSE, 0], [CLOSE, 0]),
    "recovery": session(3, [PLUG, 3], [OPEN], [FAIL, 0, 0, 1], [SEND, 30], timed_read(30), sleep(7),
                        [FAIL, 1, 0, 1], [WRITE, 0, 0x45, 50], sleep(7), [FAIL, 3, 2, 4],
                        [WRITE, 0, 9], [PORT, 0], [PORT, 2 | 4], [READ, 0, 9], sleep(9),
                        [PORT, 4], [PORT, 1 | 4], [CLOSE, 0]),
    "waitmask": session(4, [PLUG, 0], [OPEN], [MASK, 0x05, 0, 0, 0], [WAITMASK, 0], [SEND, 1],
                        sleep(), [WRITE, 0, 0], [WAITMASK, 0], [MASK, 0x01, 0, 0, 0], sleep(),
                        [WAITMASK, 0], [CANCEL, 4], sleep(), [CLOSE, 0]),
    "power": session(5, [PLUG, 8], [OPEN], [READ, 0, 20], [POWER, 3], [SEND, 5], sleep(), [POWER, 0],
                     sleep(), [POWER, 0x80 | 3], [POWER, 0x80], [PNP, 6], [PNP, 2], [PNP, 3],
                     [CLOSE, 0]),
    "two-devices": session(6, [PLUG, 0], [B | PLUG, 0x28], [OPEN], [B | OPEN], [HOLD, 1], [WRITE, 0, 30],
                           [WRITE, 1, 0x41, 200], sleep(5), [B | SEND, 0x90], [TIMED_READ, 0, 99, 0, 1, 0x80, 0x00, 0x10],
                           sleep(10), [HOLD, 0], sleep(), [B | PNP, 5], [READ, 1, 8], [CLOSE, 0], [CLOSE, 0]),
    "serial-codes": session(7, [PLUG, 0x10], [OPEN], *[[SERIAL_CODE, c, 0, 1, 4, 0, 0, 0, 15] for c in range(0, 39, 2)],
                            *[[SERIAL_CODE + 1, c, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 9] for c in range(1, 39, 2)],
                            [ANY_CODE, 0x50, 0, 0x1B, 0, 0, 4, 15], sleep(), [CLOSE, 0]),
    "stop-query-wmi": session(8, [PLUG, 0], [PNP, 7], [PNP, 1], [OPEN], [QUERY, 0, 5, 0],
                              [QUERY, 1, 15, 0], [QUERY, 0x15, 4, 0], [PNP, 8], [PNP, 9],
                              [READ, 0, 3], [PNP, 7], sleep(), [CLOSE, 0], [PNP, 1], [PNP, 5]),
}


def main():
    for target, inputs in (("device", DEVICES), ("session", SESSIONS)):
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, data in inputs.items():
            with open(os.path.join(folder, "seed-" + name), "wb") as out:
                out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
