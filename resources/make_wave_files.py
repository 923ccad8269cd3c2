#!/usr/bin/python3
"""Makes the play files of the installation's WaveFiles folder.

VoicePlayback.wav  speech (espeak-ng, resampled by sox), levelled so that the echo test's
                   windows 0.5-2.0 s, 4.0-5.5 s and 6.6-8.1 s hold the same level within 1 dB
MusicPlayback.wav  a short synthesised chord sequence for the speaker test
FE_Play.wav        steady tones of 500, 1000 and 3100 Hz on the left channel, right silent
Delay_Play.wav     noise band-limited to 200-4000 Hz on the left channel, right silent

All are 16-bit PCM at 32000 Hz, two channels. Needs espeak-ng and sox; no other modules.
Run: resources/make_wave_files.py [output folder]   (default: resources/WaveFiles)
"""

import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import wave

RATE = 32000
FULL_SCALE = 32767

VOICE_TEXT = (
    "Good morning, and welcome to the speakerphone test, "
    "please listen to this voice, and check that every word sounds clear and natural, "
    "the quick brown fox jumps over the lazy dog, thank you"
)

# Echo-test windows (start, length) in seconds whose levels must agree.
ECHO_WINDOWS = [(0.5, 1.5), (4.0, 1.5), (6.6, 1.5)]


def write_stereo(path, left, right):
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        frames = bytearray()
        for l, r in zip(left, right):
            frames += struct.pack("<hh", clip(l), clip(r))
        out.writeframes(bytes(frames))


def clip(value):
    return max(-32768, min(32767, int(round(value))))


def rms(samples):
    if not samples:
        return 0.0
    return math.sqrt(sum(s * s for s in samples) / len(samples))


def db(value):
    return 20.0 * math.log10(value / 32768.0) if value > 0 else -1000.0


def read_mono(path):
    with wave.open(path, "rb") as source:
        assert source.getsampwidth() == 2 and source.getnchannels() == 1
        data = source.readframes(source.getnframes())
    return list(struct.unpack("<%dh" % (len(data) // 2), data))


def speech_samples(workdir):
    raw = os.path.join(workdir, "speech.wav")
    resampled = os.path.join(workdir, "speech32k.wav")
    subprocess.run(["espeak-ng", "-v", "en-us", "-s", "150", "-g", "0", "-w", raw, VOICE_TEXT], check=True)
    subprocess.run(["sox", raw, "-r", str(RATE), "-c", "1", "-b", "16", resampled, "highpass", "100"], check=True)
    return [float(s) for s in read_mono(resampled)]


def level_speech(samples, target_rms, span):
    """Slow automatic gain: evens out the level over 2 x span frames of 20 ms, leaving the
    words as they are."""
    frame = RATE // 50  # 20 ms
    energies = [rms(samples[i:i + frame]) for i in range(0, len(samples), frame)]
    gains = []
    for i in range(len(energies)):
        window = energies[max(0, i - span):i + span + 1]
        level = math.sqrt(sum(e * e for e in window) / len(window))
        gains.append(min(8.0, target_rms / level) if level > 1.0 else 1.0)
    # Smooth the gain between frames so that it never clicks.
    out = []
    for n, s in enumerate(samples):
        position = n / frame
        i = min(int(position), len(gains) - 1)
        j = min(i + 1, len(gains) - 1)
        g = gains[i] + (gains[j] - gains[i]) * (position - i)
        out.append(s * g)
    peak = max(abs(s) for s in out)
    if peak > 30000:
        out = [s * 30000 / peak for s in out]
    return out


def window_levels(samples, shift=0.0):
    levels = []
    for start, length in ECHO_WINDOWS:
        a = int(round((start + shift) * RATE))
        b = a + int(round(length * RATE))
        levels.append(db(rms(samples[a:b])))
    return levels


def make_voice(path, workdir):
    speech = speech_samples(workdir)
    voice = speech
    for span in (10, 25, 40):  # 0.4 s, then 1 s, then 1.6 s
        voice = level_speech(voice, 0.1 * 32768, span)
    # Pad to at least 10.5 s: a breath of silence at the start, then speech, then a tail.
    lead = [0.0] * int(0.2 * RATE)
    voice = lead + voice
    while len(voice) < int(10.5 * RATE):
        voice += [0.0] * int(0.3 * RATE) + voice[len(lead):len(lead) + int(10.5 * RATE) - len(voice)]
    for shift in (0.0, 0.1, 0.2):
        levels = window_levels(voice, shift)
        spread = max(levels) - min(levels)
        if spread > 1.0:
            sys.exit("VoicePlayback.wav: window levels %s differ by %.2f dB (shift %.1f s)" % (levels, spread, shift))
    write_stereo(path, voice, voice)
    return window_levels(voice)


def make_music(path):
    seconds = 10.0
    chords = [(220.0, 277.18, 329.63), (196.0, 246.94, 293.66), (174.61, 220.0, 261.63), (196.0, 246.94, 311.13)]
    chord_len = seconds / len(chords)
    left, right = [], []
    for n in range(int(seconds * RATE)):
        t = n / RATE
        index = min(int(t / chord_len), len(chords) - 1)
        local = t - index * chord_len
        envelope = min(1.0, local / 0.05) * math.exp(-local * 0.6)
        notes = chords[index]
        value_l = value_r = 0.0
        for k, f in enumerate(notes):
            partial = math.sin(2 * math.pi * f * t) + 0.3 * math.sin(4 * math.pi * f * t)
            value_l += partial * (1.0 - 0.25 * k)
            value_r += partial * (0.5 + 0.25 * k)
        bass = math.sin(2 * math.pi * notes[0] / 2 * t)
        # A soft beat on every half second.
        beat = math.exp(-((t % 0.5) * 30)) * math.sin(2 * math.pi * 80 * t)
        left.append(4000 * envelope * value_l + 3000 * bass + 2500 * beat)
        right.append(4000 * envelope * value_r + 3000 * bass + 2500 * beat)
    write_stereo(path, left, right)


def make_far_end(path):
    seconds = 3.0
    left = []
    for n in range(int(seconds * RATE)):
        t = n / RATE
        left.append(6000 * (math.sin(2 * math.pi * 500 * t) + math.sin(2 * math.pi * 1000 * t)
                            + math.sin(2 * math.pi * 3100 * t)))
    write_stereo(path, left, [0] * len(left))


def biquad(samples, b0, b1, b2, a1, a2):
    x1 = x2 = y1 = y2 = 0.0
    out = []
    for x in samples:
        y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2
        x2, x1, y2, y1 = x1, x, y1, y
        out.append(y)
    return out


def butterworth(kind, cutoff):
    w = 2 * math.pi * cutoff / RATE
    alpha = math.sin(w) / (2 * math.sqrt(0.5))
    cos = math.cos(w)
    if kind == "low":
        b = ((1 - cos) / 2, 1 - cos, (1 - cos) / 2)
    else:
        b = ((1 + cos) / 2, -(1 + cos), (1 + cos) / 2)
    a0 = 1 + alpha
    return (b[0] / a0, b[1] / a0, b[2] / a0, -2 * cos / a0, (1 - alpha) / a0)


def make_delay(path):
    seconds = 4.5
    generator = random.Random(4711)
    noise = [generator.gauss(0.0, 1.0) for _ in range(int(seconds * RATE))]
    for kind, cutoff in (("high", 200), ("high", 200), ("low", 4000), ("low", 4000)):
        noise = biquad(noise, *butterworth(kind, cutoff))
    scale = 0.15 * 32768 / rms(noise)
    left = [s * scale for s in noise]
    write_stereo(path, left, [0] * len(left))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "WaveFiles")
    os.makedirs(target, exist_ok=True)
    with tempfile.TemporaryDirectory() as workdir:
        levels = make_voice(os.path.join(target, "VoicePlayback.wav"), workdir)
    make_music(os.path.join(target, "MusicPlayback.wav"))
    make_far_end(os.path.join(target, "FE_Play.wav"))
    make_delay(os.path.join(target, "Delay_Play.wav"))
    print("VoicePlayback.wav window levels: " + ", ".join("%.2f dB" % l for l in levels))


if __name__ == "__main__":
    main()
