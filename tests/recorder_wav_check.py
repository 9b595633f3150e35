#!/usr/bin/env python3
"""Opens a recording with Python's wave module and checks what the recorder promises.

usage: recorder_wav_check.py WAV DATA_BYTES [--pattern RAW] [--tone HZ] [--seconds S --tolerance T]
  --pattern RAW   the audio starts with RAW's bytes (as far as both go)
  --tone HZ       a sine at HZ dominates the audio
  --seconds S     the audio lasts S seconds, within --tolerance T
"""
import argparse
import math
import sys
import wave


def tone_ratio(samples, rate, hz):
    """Power at hz against the mean power at a few unrelated frequencies (Goertzel)."""
    def power(frequency):
        coefficient = 2 * math.cos(2 * math.pi * frequency / rate)
        previous = before = 0.0
        for sample in samples:
            previous, before = sample + coefficient * previous - before, previous
        return previous * previous + before * before - coefficient * previous * before
    others = [power(f) for f in (300.0, 1700.0, 2900.0)]
    return power(hz) / (sum(others) / len(others) + 1e-9)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("wav")
    parser.add_argument("data_bytes", type=int)
    parser.add_argument("--pattern")
    parser.add_argument("--tone", type=float)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--tolerance", type=float, default=0.3)
    args = parser.parse_args()
    with wave.open(args.wav, "rb") as reader:
        params = reader.getparams()
        audio = reader.readframes(params.nframes)
    problems = []
    if (params.nchannels, params.sampwidth, params.framerate) != (1, 2, 44100):
        problems.append(f"format {params}")
    if params.nframes * 2 != args.data_bytes or len(audio) != args.data_bytes:
        problems.append(f"{params.nframes} frames, {len(audio)} bytes read, {args.data_bytes} expected")
    if args.pattern:
        with open(args.pattern, "rb") as source:
            pattern = source.read()
        common = min(len(pattern), len(audio))
        if common == 0 or audio[:common] != pattern[:common]:
            problems.append(f"audio differs from the pattern within its first {common} bytes")
    if args.tone:
        middle = len(audio) // 4 * 2  # a second from the middle of the recording
        chunk = audio[middle:middle + 88200]
        samples = [int.from_bytes(chunk[i:i + 2], "little", signed=True) for i in range(0, len(chunk) - 1, 2)]
        ratio = tone_ratio(samples, 44100, args.tone) if samples else 0.0
        if ratio < 100.0:
            problems.append(f"no {args.tone:g} Hz tone (power ratio {ratio:.1f})")
    if args.seconds is not None:
        duration = args.data_bytes / 88200.0
        if abs(duration - args.seconds) > args.tolerance:
            problems.append(f"{duration:.3f} s of audio over {args.seconds:.3f} s of wall time")
    for problem in problems:
        print(f"{args.wav}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
