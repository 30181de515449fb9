"""Behaviour of the wrenpad-clean command as a user meets it in a terminal."""
import math
import os
import struct
import subprocess
import sys
import time
import wave

import pytest

TOOL = os.environ["WRENPAD_CLEAN"]
SOURCE = os.environ["WD_SOURCE_DIR"]
SAMPLE = os.path.join(SOURCE, "models", "sample")
DEFAULT_MODEL = os.path.join(SOURCE, "models", "default", "denoise.onnx")

sys.path.insert(0, SAMPLE)
import snr_gain  # noqa: E402


def run(*args, **kwargs):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120, **kwargs)


def write_raw(path, samples):
    with open(path, "wb") as f:
        f.write(struct.pack("<%dh" % len(samples), *samples))


def tone(count, rate, channels, frequency=440.0):
    frames = []
    for i in range(count):
        value = int(8000 * math.sin(2 * math.pi * frequency * i / rate))
        frames.extend([value] * channels)
    return frames


def write_wav(path, rate, channels, frames):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack("<%dh" % len(frames), *frames))


@pytest.mark.parametrize("args, code, stream, text", [
    (["--help"], 0, "stdout", "usage: wrenpad-clean"),
    (["--version"], 0, "stdout", "cleaner interface 1"),
    ([], 64, "stderr", "expected an input and an output"),
    (["only-one"], 64, "stderr", "expected an input and an output"),
    (["--frobnicate", "a", "b"], 64, "stderr", "unknown option --frobnicate"),
    (["--model"], 64, "stderr", "--model needs a file"),
])
def test_command_line(args, code, stream, text):
    result = run(*args)
    assert result.returncode == code
    assert text in getattr(result, stream)


def test_check_describes_the_bundled_model():
    result = run("--check", DEFAULT_MODEL)
    assert result.returncode == 0, result.stderr
    assert "metadata: accepted" in result.stdout
    assert "state size: 1932 values" in result.stdout
    assert "operations after folding:" in result.stdout
    assert "constants:" in result.stdout


def test_check_reports_the_library_error(tmp_path):
    result = run("--check", str(tmp_path / "missing.onnx"))
    assert result.returncode == 2
    assert result.stderr == "wrenpad-clean: model: No such file or directory (os error 2)\n"


def test_bundled_model_is_found_beside_the_program(tmp_path):
    # The build puts the program in bundle/libexec and the model in bundle/share/wrenpad.
    source = tmp_path / "in.raw"
    write_raw(source, tone(4000, 16000, 1))
    result = run("--quiet", str(source), str(tmp_path / "out.raw"))
    assert result.returncode == 0, result.stderr
    assert os.path.getsize(tmp_path / "out.raw") == os.path.getsize(source)


@pytest.mark.parametrize("noise", ["white", "hum"])
def test_bundled_model_improves_the_sample_by_six_db(tmp_path, noise):
    noisy = os.path.join(SAMPLE, f"speech-{noise}.raw")
    cleaned = tmp_path / "cleaned.raw"
    result = run("--model", DEFAULT_MODEL, noisy, str(cleaned))
    assert result.returncode == 0, result.stderr
    gain = snr_gain.main(os.path.join(SAMPLE, "speech-clean.raw"), noisy, str(cleaned))
    assert gain >= 6.0


def test_audio_file_is_mixed_down_and_resampled(tmp_path):
    source = tmp_path / "stereo.wav"
    write_wav(source, 44100, 2, tone(44100, 44100, 2))
    output = tmp_path / "out.raw"
    result = run("--model", DEFAULT_MODEL, str(source), str(output))
    assert result.returncode == 0, result.stderr
    # One second at 16 kHz, give or take the resampler's edge.
    assert abs(os.path.getsize(output) // 2 - 16000) <= 16


def test_wav_output_is_16_khz_mono(tmp_path):
    source = tmp_path / "in.raw"
    write_raw(source, tone(8000, 16000, 1))
    output = tmp_path / "out.wav"
    result = run("--model", DEFAULT_MODEL, str(source), str(output))
    assert result.returncode == 0, result.stderr
    with wave.open(str(output)) as w:
        assert (w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes()) == \
            (16000, 1, 2, 8000)


def test_missing_input_is_an_input_error(tmp_path):
    result = run("--model", DEFAULT_MODEL, str(tmp_path / "none.raw"), str(tmp_path / "o.raw"))
    assert result.returncode == 3
    assert result.stderr.startswith("wrenpad-clean: input: No such file or directory (os error 2)")
    assert not (tmp_path / "o.raw").exists()


@pytest.mark.parametrize("make_output", [
    lambda source, tmp: source,
    lambda source, tmp: (os.symlink(source, tmp / "link.raw"), tmp / "link.raw")[1],
    lambda source, tmp: (os.link(source, tmp / "hard.raw"), tmp / "hard.raw")[1],
])
def test_output_never_overwrites_the_input(tmp_path, make_output):
    source = tmp_path / "in.raw"
    samples = tone(4000, 16000, 1)
    write_raw(source, samples)
    before = source.read_bytes()
    result = run("--model", DEFAULT_MODEL, str(source), str(make_output(source, tmp_path)))
    assert result.returncode == 4
    assert result.stderr == "wrenpad-clean: output: the output would overwrite the input\n"
    assert source.read_bytes() == before


def test_interrupt_cancels_the_run(tmp_path):
    source = tmp_path / "long.raw"
    write_raw(source, tone(16000 * 120, 16000, 1))
    process = subprocess.Popen([TOOL, "--model", DEFAULT_MODEL, str(source),
                                str(tmp_path / "out.raw")],
                               stderr=subprocess.PIPE, text=True)
    # Interrupt once the output exists, that is once the run is under way.
    while not (tmp_path / "out.raw").exists() and process.poll() is None:
        time.sleep(0.01)
    process.send_signal(2)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 1
    assert stderr == "wrenpad-clean: cancelled\n"
