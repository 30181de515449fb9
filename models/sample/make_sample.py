#!/usr/bin/python3
"""Makes the bundled sample: synthetic speech from espeak-ng, and the same speech with
white noise and with mains hum, each at 5 dB SNR. Writes raw 16-bit little-endian mono
PCM at 16 kHz: speech-clean.raw, speech-white.raw, speech-hum.raw."""
import io
import os
import subprocess
import wave

import numpy as np

TEXT = ("Remember to buy milk and bread on the way home. The meeting moved to Thursday "
        "at three o'clock, and the report is due next week.")
RATE = 16000
SNR_DB = 5.0


def speak(text):
    wav = subprocess.run(["espeak-ng", "-v", "en-us", "-s", "150", "--stdout", text],
                         check=True, capture_output=True).stdout
    with wave.open(io.BytesIO(wav)) as w:
        rate = w.getframerate()
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return resample(samples.astype(np.float64) / 32768.0, rate, RATE)


def resample(x, rate_in, rate_out):
    # Band-limited resampling in the frequency domain; the speech has no energy near
    # the edges, so the circular wrap of the transform is harmless.
    count = int(round(len(x) * rate_out / rate_in))
    spectrum = np.fft.rfft(x)
    kept = np.zeros(count // 2 + 1, dtype=complex)
    bins = min(len(kept), len(spectrum))
    kept[:bins] = spectrum[:bins]
    return np.fft.irfft(kept, count) * (count / len(x))


def at_snr(clean, noise):
    scale = np.sqrt(np.mean(clean ** 2) / np.mean(noise ** 2) / 10 ** (SNR_DB / 10))
    return clean + noise * scale


def hum(count):
    t = np.arange(count) / RATE
    return sum(np.sin(2 * np.pi * 50 * h * t + h) / h for h in range(1, 8))


def write_pcm(path, x):
    pcm = np.clip(np.round(x * 32768.0), -32768, 32767).astype("<i2")
    with open(path, "wb") as f:
        f.write(pcm.tobytes())


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    clean = 0.5 * speak(TEXT)
    rng = np.random.default_rng(20261211)
    write_pcm(os.path.join(here, "speech-clean.raw"), clean)
    write_pcm(os.path.join(here, "speech-white.raw"),
              at_snr(clean, rng.standard_normal(len(clean))))
    write_pcm(os.path.join(here, "speech-hum.raw"), at_snr(clean, hum(len(clean))))
