#!/usr/bin/python3
# A real Protocol 1 client against the simulated board: gr-hpsdr's
# hermesNB block in a headless flowgraph, checking where signals land in the
# samples it delivers, taken as they are.
#   gr_hpsdr_check.py rx INTERFACE   a carrier at 7.215 MHz, receivers at
#                                    7.200 and 7.205 MHz: +15 and +10 kHz
#   gr_hpsdr_check.py tx INTERFACE   an upper-sideband tone of +1 kHz at
#                                    7.100 MHz, receivers 5 kHz below and
#                                    above: +6 and -4 kHz
# Prints one line per receiver and exits 0 when every signal is within
# 50 Hz of where a real radio puts it and its mirror image is at least
# 30 dB weaker; 1 otherwise.
import sys

import numpy as np
from gnuradio import analog, blocks, gr
import hpsdr

RATE = 48000
SETTLE = RATE // 2  # samples dropped first: discovery, start, the first frames
KEEP = 65536        # samples analysed per receiver (1.4 s)
TOLERANCE_HZ = 50


def spectrum(x):
    w = np.blackman(len(x))
    p = np.abs(np.fft.fftshift(np.fft.fft(x * w))) / w.sum()
    f = np.fft.fftshift(np.fft.fftfreq(len(x), 1 / RATE))
    return f, 20 * np.log10(p + 1e-30)


def level_near(f, db, hz):
    near = np.abs(f - hz) < TOLERANCE_HZ
    return db[near].max()


def main():
    mode, intfc = sys.argv[1], sys.argv[2]
    transmit = mode == "tx"
    if transmit:
        tx = 7100000
        freqs = [tx - 5000, tx + 5000]
        expected = [6000, -4000]
    else:
        tx = 7200000
        freqs = [7200000, 7205000]
        expected = [15000, 10000]

    tb = gr.top_block()
    src = hpsdr.hermesNB(*(freqs + [tx] * (8 - len(freqs))),
                         tx,                      # transmit frequency, Hz
                         0,                       # preamp off
                         2 if transmit else 0,    # PTT mode: 0 off, 2 on
                         1, 0,                    # PTT off mutes Tx; PTT on does not mute Rx
                         255 if transmit else 0,  # drive
                         RATE, intfc, "0xF8",     # sample rate, interface, clock source
                         0, 0, 0, 0,              # Alex antennas and filters
                         0,                       # verbose
                         len(freqs), "*")         # receivers, any MAC
    if transmit:
        # exp(+j 2 pi 1000 t): a tone 1 kHz above the carrier, as an
        # upper-sideband signal is sent.
        tb.connect(analog.sig_source_c(RATE, analog.GR_COS_WAVE, 1000, 0.5), src)
    else:
        tb.connect(blocks.null_source(gr.sizeof_gr_complex), src)
    sinks = []
    for i in range(len(freqs)):
        head = blocks.head(gr.sizeof_gr_complex, SETTLE + KEEP)
        sink = blocks.vector_sink_c()
        tb.connect((src, i), head, sink)
        sinks.append(sink)
    tb.run()

    ok = True
    for i, (sink, want) in enumerate(zip(sinks, expected)):
        x = np.array(sink.data()[SETTLE:])
        if len(x) < KEEP:
            print(f"receiver {i + 1}: {len(x)} samples, expected {KEEP}")
            ok = False
            continue
        f, db = spectrum(x)
        k = int(np.argmax(db))
        found, level = f[k], db[k]
        mirror = level_near(f, db, -want)
        good = abs(found - want) <= TOLERANCE_HZ and level - mirror >= 30
        ok = ok and good
        print(f"receiver {i + 1} at {freqs[i]} Hz: strongest {found:+.1f} Hz {level:.1f} dBFS,"
              f" expected {want:+d} Hz; mirror {-want:+d} Hz {mirror:.1f} dBFS:"
              f" {'ok' if good else 'WRONG'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
