#!/usr/bin/python3
"""Hostile music files for the hidden share hostile$: gen_hostile.py ROOT CLIPS

bomb.mp3: an ID3v2.3 title frame with the compression flag, about 240 KB of zlib data that
inflates to 240 MB of one-letter strings; long/long title.mp3: a 70,000-character title; plain/: two
ordinary tagged files beside them. Not in the manifests.
"""
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_audio  # noqa: E402


def syncsafe(n):
    return bytes(((n >> 21) & 0x7f, (n >> 14) & 0x7f, (n >> 7) & 0x7f, n & 0x7f))


def v23_tag(frames):
    return b"ID3\x03\x00\x00" + syncsafe(len(frames)) + frames


def v23_frame(fid, body, flags=b"\x00\x00"):
    return fid + struct.pack(">I", len(body)) + flags + body


def main():
    root, clips = sys.argv[1], sys.argv[2]
    for sub in ("plain", "long"):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    audio = open(gen_audio._clip(clips, ".mp3", 3), "rb").read()
    plain = b"\x00" + b"a\x00" * (120 << 20)
    bomb = v23_frame(b"TIT2", struct.pack(">I", len(plain)) + zlib.compress(plain, 9), b"\x00\x80")
    artist = v23_frame(b"TPE1", b"\x00Bomb Artist")
    with open(os.path.join(root, "bomb.mp3"), "wb") as f:
        f.write(v23_tag(artist + bomb) + audio)
    title = ("Long " * 14000).encode()
    with open(os.path.join(root, "long", "long title.mp3"), "wb") as f:
        f.write(v23_tag(v23_frame(b"TPE1", b"\x00Long Artist") + v23_frame(b"TIT2", b"\x00" + title))
                + audio)
    for rel, kind in (("plain/one.mp3", "v23latin"), ("plain/two.mp3", "v24utf8")):
        gen_audio.write(os.path.join(root, rel), rel, "SQALPHA", clips, kind)


if __name__ == "__main__":
    main()
