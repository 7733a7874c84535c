#!/usr/bin/python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; this script documents how they were made and
rebuilds them byte for byte (it uses no randomness that is not seeded).

  fuzz/make_corpus.py            rewrites every seed file
"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16_x25(data):
    """CRC-16/X-25: polynomial 0x1021 reflected (0x8408), init and final XOR 0xFFFF."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


assert crc16_x25(b"123456789") == 0x906E


def frame(wrench, status=0, sequence=0, corrupt_crc=False):
    """One 37-byte sensor frame: 0xAA, status, six float32, 8 extra bytes, CRC."""
    payload = struct.pack("<H6f", status, *wrench) + struct.pack("<II", sequence, 1000 * sequence)
    crc = crc16_x25(payload)
    if corrupt_crc:
        crc ^= 0x0001
    return b"\xaa" + payload + struct.pack("<H", crc)


def cut_seed(seed):
    """The 4 bytes at the end of a sensor_sync input: how the stream arrives."""
    return struct.pack("<I", seed)


def sensor_sync_seeds():
    w = (1.5, -2.25, 10.0, 0.125, 0.25, -0.5)
    frames = [frame(w, sequence=i) for i in range(6)]
    rng = random.Random(37)
    garbage = bytes(rng.randrange(256) for _ in range(50))
    return {
        "three_valid_frames": b"".join(frames[:3]) + cut_seed(0x40),
        "joined_mid_frame": frames[0][17:] + b"".join(frames[1:5]) + cut_seed(0x1234),
        "crc_error_in_sync": frames[0] + frame(w, sequence=1, corrupt_crc=True) + frames[2]
        + cut_seed(0x80),
        "status_bits": frame(w, status=0x000F) + frame(w, status=0x0100, sequence=1)
        + frames[2] + cut_seed(0x100),
        "garbage_then_frames": garbage + b"".join(frames[:4]) + cut_seed(0x2468),
        "header_bytes_in_payload": frame((-3.0316488e-13,) * 6) + b"\xaa" * 36
        + b"".join(frames[:3]) + cut_seed(0x10),
        "faulty_reads": b"".join(frames) + cut_seed(0x55555555),
        "acknowledgements_then_frames": b"ACK C\r\nACK f\r\nACK s\r\nACK R\r\n"
        + b"".join(frames[:3]) + cut_seed(0x30),
        "dropped_and_inserted_bytes": frames[0] + frames[1][:10] + frames[1][11:] + frames[2]
        + frames[3][:20] + b"\xaa" + frames[3][20:] + frames[4] + cut_seed(0x4A),
    }


def filter_options(name, type_code, reject=-1.0, bandwidth=-1.0, cutoff=-1.0, rising=0.0,
                   falling=0.0):
    """FilterOptions as it lies in memory: name[40], int32 type, 4 bytes of
    padding, then five doubles (88 bytes)."""
    name_bytes = name.encode()[:40].ljust(40, b"\0")
    return name_bytes + struct.pack("<i4x5d", type_code, reject, bandwidth, cutoff, rising,
                                    falling)


OP_ADD, OP_ADD_FOLDED, OP_REMOVE, OP_REMOVE_RAW, OP_APPLY, OP_NON_FINITE = range(6)


def apply_samples(samples):
    out = bytes([OP_APPLY, len(samples) - 1])
    for sample, reference in samples:
        out += struct.pack("<hh", sample, reference)
    return out


def filter_chain_seeds():
    steps = [(i * 1000 % 30000 - 15000, 0) for i in range(16)]
    lp = bytes([OP_ADD]) + filter_options("lp", 1, cutoff=20.0)
    notch = bytes([OP_ADD]) + filter_options("notch", 2, reject=50.0, bandwidth=10.0)
    limiter = bytes([OP_ADD]) + filter_options("rl", 3, rising=50.0, falling=-50.0)
    high_pass = bytes([OP_ADD]) + filter_options("hp", 4, cutoff=50.0, rising=50.0,
                                                 falling=-50.0)
    remove_all = bytes([OP_REMOVE, 0xFF])
    return {
        "four_filters_applied": bytes([0]) + lp + notch + limiter + high_pass
        + apply_samples(steps) + remove_all,
        "replace_and_remove": bytes([1]) + lp + notch + bytes([OP_ADD])
        + filter_options("lp", 3, rising=10.0, falling=-10.0) + apply_samples(steps[:4])
        + bytes([OP_REMOVE_RAW]) + b"notch".ljust(40, b"\0") + bytes([OP_REMOVE_RAW])
        + b"notch".ljust(40, b"\0") + apply_samples(steps[:4]),
        "forty_byte_names": bytes([2]) + bytes([OP_ADD]) + filter_options("n" * 40, 1, cutoff=5.0)
        + bytes([OP_ADD]) + filter_options("n" * 45, 2, reject=10.0, bandwidth=3.0)
        + apply_samples(steps[:8]) + bytes([OP_REMOVE_RAW]) + b"n" * 40,
        "notch_at_zero_and_edges": bytes([0]) + bytes([OP_ADD])
        + filter_options("zero", 2, reject=0.0, bandwidth=10.0) + bytes([OP_ADD])
        + filter_options("nyquist", 2, reject=250.0, bandwidth=333.0) + bytes([OP_ADD])
        + filter_options("edge", 1, cutoff=250.0) + apply_samples(steps),
        "folded_requests": bytes([0]) + bytes([OP_ADD_FOLDED]) + filter_options("a", 7, 1e9, 7.0,
                                                                                 -3.0, 1e12, 5.0)
        + bytes([OP_ADD_FOLDED]) + filter_options("b", 2, 60.0, 5.0, 1.0, 2.0, 3.0)
        + apply_samples(steps[:8]) + bytes([OP_NON_FINITE, 0]) + apply_samples(steps[:4])
        + bytes([OP_REMOVE, 0xFF]) + apply_samples(steps[:4]),
    }


CONFIG = """<device class="vorel_device::VorelFTSensor" label="ft_sensor" plux="vorel">
  <activation>
    <arg type="string">/dev/ttyUSB0</arg>
    <arg type="double">{frequency}</arg>
  </activation>
  <mounting>
    <arg type="load"><mass>0.8</mass><cog>0 0 0.04</cog>{inertia}</arg>
    <arg type="rpose"><pos>0 0 0.035</pos><rpy>{rpy}</rpy></arg>
  </mounting>
</device>
"""


def device_config_seeds():
    return {
        "example.xml": CONFIG.format(frequency="500", inertia="", rpy="0 0 0"),
        "inertia_and_rotation.xml": CONFIG.format(
            frequency=" 250 ", inertia="<inertia>0.01 0.01 0.02 0 0 0</inertia>",
            rpy="0 0 1.5707963267948966"),
        "nan_frequency.xml": CONFIG.format(frequency="nan", inertia="", rpy="0 inf 0"),
        "wrong_types.xml": """<device class="vorel_device::VorelFTSensor" label="x">
  <activation><arg type="double">/dev/ttyUSB0</arg><arg type="string">500</arg></activation>
  <mounting><arg type="rpose"><pos>0 0</pos></arg><arg type="load"><mass>a</mass></arg></mounting>
</device>
""",
        "no_mounting.xml": """<device class="vorel_device::VorelFTSensor">
  <activation><arg type="string"></arg></activation>
</device>
""",
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, content in seeds.items():
        data = content.encode() if isinstance(content, str) else content
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def main():
    write("sensor_sync", sensor_sync_seeds())
    write("filter_chain", filter_chain_seeds())
    write("device_config", device_config_seeds())


if __name__ == "__main__":
    main()
