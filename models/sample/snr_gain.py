#!/usr/bin/python3
"""Reports how much a cleaned recording improves on the noisy one.

usage: snr_gain.py CLEAN NOISY CLEANED   (raw 16-bit little-endian mono PCM)

The cleaner's output lines up with its input; its last samples (at least 640) are the
silence the cleaning run pads with, so the comparison covers only the cleaned part."""
import sys

import numpy as np

HOP = 160
LAG = 640


def read(path):
    return np.fromfile(path, dtype="<i2").astype(np.float64) / 32768.0


def snr_db(reference, signal):
    return 10 * np.log10(np.sum(reference ** 2) / np.sum((signal - reference) ** 2))


def main(clean_path, noisy_path, cleaned_path):
    clean, noisy, cleaned = read(clean_path), read(noisy_path), read(cleaned_path)
    if not len(clean) == len(noisy) == len(cleaned):
        sys.exit("snr_gain: the three recordings differ in length")
    covered = HOP * (len(clean) // HOP) - LAG
    if covered <= 0:
        sys.exit("snr_gain: the recording is too short")
    before = snr_db(clean[:covered], noisy[:covered])
    after = snr_db(clean[:covered], cleaned[:covered])
    print(f"input SNR {before:.2f} dB, output SNR {after:.2f} dB, gain {after - before:.2f} dB")
    return after - before


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
