#!/usr/bin/python3
# Headless GNU Radio flowgraph around gr-hpsdr's Protocol 1 block (hermesNB):
# records a few seconds of every receiver and prints the strongest signals.
#   gr_hpsdr_capture.py RATE SECONDS INTERFACE [tx]
# With "tx" it also keys the transmitter (PTT mode on, drive 255) with a
# 1 kHz tone at half scale, and tunes all four receivers to 7.1 MHz.
import sys, time
import numpy as np
from gnuradio import gr, blocks, analog
import hpsdr

rate = int(sys.argv[1])
seconds = float(sys.argv[2])
intfc = sys.argv[3]
transmit = len(sys.argv) > 4 and sys.argv[4] == "tx"
tx = 7100000
freqs = [tx] * 4 if transmit else [600000, 7090000]
n = int(rate * seconds)

tb = gr.top_block()
src = hpsdr.hermesNB(*(freqs + [7200000] * (8 - len(freqs))),
                     tx,                      # transmit frequency, Hz
                     0,                       # preamp off
                     2 if transmit else 0,    # PTT mode: 0 off, 2 on
                     1, 0,                    # PTT off mutes Tx; PTT on does not mute Rx
                     255 if transmit else 0,  # drive
                     rate, intfc, "0xF8",     # sample rate, interface, clock source
                     0, 0, 0, 0,              # Alex antennas and filters
                     0,                       # verbose
                     len(freqs), "*")         # receivers, any MAC
if transmit:
    tone = analog.sig_source_c(48000, analog.GR_COS_WAVE, 1000, 0.5)
    tb.connect(tone, src)
else:
    tb.connect(blocks.null_source(gr.sizeof_gr_complex), src)
sinks = []
for i in range(len(freqs)):
    head = blocks.head(gr.sizeof_gr_complex, n)
    sink = blocks.vector_sink_c()
    tb.connect((src, i), head, sink)
    sinks.append(sink)
t0 = time.time()
tb.run()
elapsed = time.time() - t0
print(f"{n} samples per receiver in {elapsed:.2f} s")
for i, sink in enumerate(sinks):
    x = np.array(sink.data()[-min(n, 65536):])
    w = np.blackman(len(x))
    p = np.abs(np.fft.fftshift(np.fft.fft(x * w))) / w.sum()
    f = np.fft.fftshift(np.fft.fftfreq(len(x), 1 / rate))
    top = []
    for k in np.argsort(p)[::-1]:
        if all(abs(f[k] - g) > 300 for g, _ in top):
            top.append((f[k], 20 * np.log10(p[k] + 1e-30)))
        if len(top) == 3:
            break
    print(f"receiver {i + 1} at {freqs[i]} Hz:",
          ", ".join(f"{g:+.0f} Hz {l:.1f} dBFS" for g, l in top))
