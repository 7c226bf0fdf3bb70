#!/usr/bin/python3
"""Hashes of the coded pictures of a file's H.264 video, to show that packets were copied unchanged.

    h264_hashes.py FILE                  one line per picture: "I HASH" (IDR) or "P HASH"
    h264_hashes.py --within SOURCE CLIP  checks that CLIP's pictures are a run of SOURCE's, SOURCE
                                         looped (as the test camera plays it); one line, status 0 or 1

A picture's hash covers its slices' NAL units only (types 1 to 5), byte for
byte: the parameter sets and SEI that a streamer or a muxer may add or move
around, and the start codes or length prefixes of each container, are left
out. Any re-encoding, or any changed byte of a slice, shows. Needs ffmpeg.
"""

import argparse
import hashlib
import signal
import subprocess
import sys

READ_CHUNK = 1 << 20
START_CODE = b"\x00\x00\x01"
IDR_SLICE = 5
SLICES = range(1, 6)


def nal_units(stream):
    """The NAL units of an Annex B byte stream, read a chunk at a time."""
    pending = b""
    while True:
        chunk = stream.read(READ_CHUNK)
        pending += chunk
        start = pending.find(START_CODE)
        while start >= 0:
            end = pending.find(START_CODE, start + 3)
            if end < 0:
                break
            # The zero bytes before a start code (a 4-byte start code, or
            # trailing zeros) belong to no NAL unit.
            yield pending[start + 3:end].rstrip(b"\x00")
            start = end
        if not chunk:
            if start >= 0:
                yield pending[start + 3:].rstrip(b"\x00")
            return
        pending = pending[start:] if start >= 0 else pending[-2:]


def first_mb_is_zero(nal):
    """Whether a slice starts a picture: first_mb_in_slice, ue(v), is 0 when its first bit is 1."""
    return len(nal) > 1 and nal[1] & 0x80 != 0


def pictures(path):
    """(is_idr, hash) for each coded picture of the file's first video stream, in decoding order."""
    command = ["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0", "-c:v", "copy",
               "-bsf:v", "h264_mp4toannexb", "-f", "h264", "-"]
    with subprocess.Popen(command, stdout=subprocess.PIPE) as ffmpeg:
        digest, idr = None, False
        for nal in nal_units(ffmpeg.stdout):
            if not nal or nal[0] & 0x1F not in SLICES:
                continue
            if first_mb_is_zero(nal) and digest is not None:
                yield idr, digest.hexdigest()
                digest = None
            if digest is None:
                digest, idr = hashlib.sha1(), nal[0] & 0x1F == IDR_SLICE
            digest.update(len(nal).to_bytes(4, "big"))
            digest.update(nal)
        if digest is not None:
            yield idr, digest.hexdigest()
    if ffmpeg.returncode != 0:
        sys.exit(f"h264_hashes: cannot read the H.264 video of {path}")


def within(source, clip):
    """Where CLIP's pictures run in SOURCE looped, as (first index, None), or (None, why not)."""
    if not clip:
        return None, "the clip has no picture"
    hashes = [h for _, h in source]
    starts = [i for i, h in enumerate(hashes) if h == clip[0][1]]
    if not starts:
        return None, "its first picture is not in the source"
    best = (0, None)
    for start in starts:
        matched = 0
        while matched < len(clip) and clip[matched][1] == hashes[(start + matched) % len(hashes)]:
            matched += 1
        if matched == len(clip):
            return start, None
        best = max(best, (matched, start))
    return None, f"picture {best[0]} differs from the source's (the run began at its picture {best[1]})"


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # piped into head: end quietly
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--within", metavar="SOURCE", help="check that FILE's pictures are a run of SOURCE's")
    parser.add_argument("file")
    args = parser.parse_args()
    if not args.within:
        for idr, digest in pictures(args.file):
            print("I" if idr else "P", digest)
        return
    clip = list(pictures(args.file))
    start, why = within(list(pictures(args.within)), clip)
    if why:
        print(f"{args.file}: {why}")
        sys.exit(1)
    keyframe = "an IDR picture" if clip[0][0] else "not an IDR picture"
    print(f"{args.file}: its {len(clip)} pictures are the source's from picture {start} on (the first {keyframe})")


if __name__ == "__main__":
    main()
