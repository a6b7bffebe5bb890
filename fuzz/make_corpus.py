#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Valid inputs only: sessions a client would send, every control word, the
simulated board's own kinds of scene and script. Run from anywhere; the
files are kept in the tree, so this is needed only to change them.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Accessory presence bits, in the order of the start-up probe.
PENE, ALEX, LEVEL, MISC, DRIVE, DAC0, DAC1, ARDUINO, NUCLEO, CODEC = (1 << i for i in range(10))
ALL = 0x3FF


def command(kind, arg, length=64):
    return bytes([0xEF, 0xFE, kind, arg]) + bytes(length - 4)


DISCOVERY = command(0x02, 0x00, 63)
START = command(0x04, 0x01)
STOP = command(0x04, 0x00)


def word(c0, c1=0, c2=0, c3=0, c4=0):
    return bytes([c0, c1, c2, c3, c4])


def freq(c0, hz):
    return bytes([c0]) + struct.pack(">I", hz)


def ep2(a, b, seq=0, iq=(0x10, 0x00, 0x00, 0x00), audio=(0x01, 0x00, 0x01, 0x00)):
    f = bytearray(b"\xef\xfe\x01\x02" + struct.pack(">I", seq))
    for block, w in enumerate((a, b)):
        f += b"\x7f\x7f\x7f" + w
        f += bytes(audio + iq) * 63
    assert len(f) == 1032
    return bytes(f)


def session(accessories, datagrams):
    out = bytearray(struct.pack(">H", accessories))
    for client, d in datagrams:
        out += bytes([client]) + struct.pack(">H", len(d)) + d
    return bytes(out)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- datagram: sessions on the wire ----
write("datagram", "discovery", session(0, [(0, DISCOVERY)]))
write("datagram", "start_frames_stop", session(0, [
    (0, ep2(word(0x00, 0, 0, 0, 1 << 3), word(0x00, 1, 0, 0, 1 << 3))),
    (0, START),
    (0, DISCOVERY),
    (0, ep2(freq(0x02, 7100000), freq(0x04, 7100000), 1)),
    (0, ep2(word(0x01, 0, 0, 0, 0), freq(0x06, 14200000), 2)),
    (0, STOP),
    (0, DISCOVERY),
]))
write("datagram", "second_client_takes_over", session(0, [
    (0, START), (1, START), (0, ep2(word(0x00), word(0x00))), (1, STOP), (2, STOP),
]))
write("datagram", "codec_keyer_and_audio", session(CODEC, [
    (0, ep2(word(0x16, 0, 0, 0x40 | 25, 50), word(0x20, 75, 0, 0x25, 0x08))),
    (0, ep2(word(0x1E, 1, 77, 0, 0), word(0x1E, 1, 77, 0, 0), 1)),
    (0, START),
    (0, ep2(word(0x01, 0, 0, 0, 0), word(0x12, 200, 0x01, 0, 0), 2)),
    (0, STOP),
]))
write("datagram", "band_boards_and_filters", session(ALL & ~CODEC, [
    (0, ep2(freq(0x02, 1840000), freq(0x04, 3650000))),
    (0, ep2(word(0x12, 128, 0, 0x0A, 0xFF), word(0x00, 0, 0, 0x01, 0), 1)),
    (0, ep2(word(0x14, 0, 0, 0, 0x20 | 17), word(0x1C, 0, 0, 0, 12), 2)),
    (0, ep2(freq(0x08, 28500000), freq(0x02, 5350000), 3)),
    (0, ep2(word(0x01, 0, 0, 0, 0), word(0x12, 255, 0, 0, 0), 4)),
]))
# MOX held while frames come faster than the transmit FIFO drains: the sink
# waits for room.
write("datagram", "transmit_fifo_fills", session(0, [(0, START)] + [
    (0, ep2(word(0x01, 0, 0, 0, 0), word(0x01, 0, 0, 0, 0), n, iq=(0x40, 0x00, 0x00, 0x00)))
    for n in range(8)
] + [(0, STOP)]))
write("datagram", "short_and_foreign", session(0, [
    (0, b"\xef\xfe"),
    (0, b"\xef\xfe\x01\x02" + bytes(100)),
    (0, command(0x04, 0x05)),
    (0, command(0x03, 0x00)),
    (3, b"\x00" * 1100),
]))

# ---- control_word: every address the decoder handles ----
words = [
    word(0x00, 3, 0x0C, 0x1F, 0x7C), word(0x01, 0, 0, 0x04, 0x38),
    freq(0x02, 7100000), freq(0x03, 50000000), freq(0x04, 600000), freq(0x06, 14074000),
    freq(0x08, 21074000), word(0x12, 255, 0x7F, 0x55, 0xAA), word(0x14, 0x7F, 0xFF, 0xFF, 0x3F),
    word(0x16, 0x1F, 0x7F, 0xFF, 0x7F), word(0x1C, 0xFF, 0xFF, 0xFF, 0xFF),
    word(0x1E, 1, 255, 50, 0), word(0x20, 0xFF, 0x03, 0xFF, 0x0F), word(0x22, 1, 2, 3, 4),
]
write("control_word", "every_address", b"".join(words))
write("control_word", "band_changes", b"".join(
    freq(c0, hz) for hz in (1840000, 3650000, 5350000, 7100000, 10120000, 14200000, 18100000,
                            21200000, 24900000, 28500000, 50100000, 30720000)
    for c0 in (0x02, 0x04)))
write("control_word", "filters_manual_and_auto", b"".join([
    word(0x12, 100, 0x40, 0x3F, 0x7F), freq(0x02, 3650000), word(0x12, 100, 0x00, 0, 0),
    freq(0x02, 14200000), word(0x00, 0, 0, 0x03, 0x80), word(0x01, 0, 0, 0x03, 0x80),
]))

# ---- sim_files: scenes and input-line scripts ----
write("sim_files", "scene", (
    b"# a quiet band with two stations\n"
    b"noise -105\n"
    b"594000 -45\n"
    b"7012000 -70 morse:CQ_DE_DL0SIM_K 50\n"
    b"7030000 -85 1101001 80\n"
    b"28500000 -74   # steady\n"))
write("sim_files", "scene_morse", b"14020000 -66 morse:CQ_DX/1?_73 45\n3525000 -75 morse:TEST\n")
write("sim_files", "gpio_script", b"0 0\n1000 4\n1030 0\n1100 0x2\n1130 0\n")
write("sim_files", "gpio_ptt", b"# PTT for half a second\n500 1\n1000 0x00\n")
