#!/usr/bin/python3
"""Generates the file trees of the test network's shares and their manifest lines.

gen_tree.py LAYOUT ROOT HOST WORKGROUP SHARE MANIFEST DIRS [--files N --dirs M]

Creates ROOT (which must not exist yet or be empty), fills it after LAYOUT and appends one line
per file to MANIFEST (host, workgroup, share, path with backslashes, size) and one line per
directory to DIRS (host, workgroup, share, path with backslashes), both tab-separated.

The music files of every layout but "big" are real ones with tags (gen_audio.py); the clips they
are made from are kept in the folder "clips" beside MANIFEST. "tagged" is a large share of them
(--files, --dirs) of which every third file carries a 200 KiB picture; "today" the same of
.flac, .ogg, .opus and .m4a files in turn, every third FLAC and M4A file with a 300 KiB picture.
"""
import argparse
import os
import sys

# Paths relative to the share root; a trailing "/" makes an (empty) directory.
MUSIC = [
    "top level.mp3",
    "README.txt",
    "Rock/Artist One/01 - Intro.mp3",
    "Rock/Artist One/02 - Loud.MP3",
    "Rock/Artist One/cover.jpg",
    "Rock/Artist Two/Live/03 live.mp3",
    "Rock/Artist Two/Live/04 live.mp2",
    "Rock/Artist Two/Live/setlist.txt",
    "Rock & Roll/Tom & Jerry.mp3",
    "Hash #1/track #1.mp3",
    "Percent 100%/50% off.mp3",
    "Café/Ärger.mp3",
    "Café/Grüße aus Köln.wma",
    "Café/Ωδή.MP3",
    "album.mp3/01 first.mp3",
    "album.mp3/02 second.wma",
    "album.mp3/liner notes.txt",
    "Mixed/Song.Mp3",
    "Mixed/no extension",
    "Mixed/archive.mp3.zip",
    "Mixed/track.mp3.txt",
    "Mixed/old.MP2",
    "Classical/Bach/Cantatas/BWV 140/Part 1/Deep/aria.mp2",
    "Classical/Bach/Cantatas/BWV 140/Part 1/Deep/aria.mp3",
    "Windows Media/podcast.wma",
    "Windows Media/PODCAST2.WMA",
    "Pictures/photo.jpg",
    "empty folder/",
    # Today's formats, each kind of tag in turn from where the list above left off.
    "Today/Lossless/01 Ωδή.flac",
    "Today/Ogg/02 vorbis.ogg",
    "Today/Ogg/03 opus.opus",
    "Today/iTunes/04 untagged.m4a",
    "Today/Lossless/05 cover.FLAC",
    "Today/iTunes/06 Café.m4a",
    "Today/Ogg/07 Ωδή.OPUS",
    "Today/iTunes/08 front.m4a",
    "Today/Lossless/09 plain.flac",
    "Today/Ogg/10 untagged.ogg",
    "Today/iTunes/11 cover.M4A",
]

SMALL = [
    "Best of/one.mp3",
    "Best of/two.MP3",
    "Best of/cover.jpg",
    "loose.wma",
]

SECRET = [
    "hidden track.mp3",
]

LOOP = [
    "song.mp3",
]

# testnet.sh adds two links back to the share root inside "a".
LOOPS = [
    "top.mp3",
    "a/inner.mp3",
    "a/b/deep.mp3",
]

IMPACKET = [
    "Album A/one.mp3",
    "Album A/two.MP3",
    "Album A/cover.jpg",
    "album.mp3/inner.mp3",
    "Café & Co #1 100%/Ärger.mp3",
    "clip.wma",
    "old.mp2",
    "notes.txt",
]

LAYOUTS = {
    "music": MUSIC,
    "small": SMALL,
    "secret": SECRET,
    "loop": LOOP,
    "loops": LOOPS,
    "impacket": IMPACKET,
    "empty": [],
}

BIG_EXTS = [".mp3"] * 12 + [".MP3"] * 2 + [".wma"] * 2 + [".mp2", ".txt", ".jpg", ".ogg"]


def big_layout(files, dirs):
    groups = max(1, (dirs + 49) // 50)
    leaf = ["group %02d/dir %04d" % (d % groups, d) for d in range(dirs)]
    out = [d + "/" for d in leaf]
    for i in range(files):
        out.append("%s/track %05d%s" % (leaf[i % dirs], i, BIG_EXTS[i % len(BIG_EXTS)]))
    return out


def tagged_layout(files, dirs):
    leaf = ["artist %03d/album %04d" % (d % 97, d) for d in range(max(1, dirs))]
    return [d + "/" for d in leaf] + ["%s/%05d track.mp3" % (leaf[i % len(leaf)], i)
                                     for i in range(files)]


TODAY_EXTS = [".flac", ".ogg", ".opus", ".m4a"]


def today_layout(files, dirs):
    leaf = ["artist %03d/album %04d" % (d % 97, d) for d in range(max(1, dirs))]
    return [d + "/" for d in leaf] + ["%s/%05d track%s" % (leaf[i % len(leaf)], i, TODAY_EXTS[i % 4])
                                     for i in range(files)]


AUDIO = (".mp3", ".mp2", ".wma", ".flac", ".ogg", ".opus", ".m4a")


def main():
    ap = argparse.ArgumentParser()
    for name in ("layout", "root", "host", "workgroup", "share", "manifest", "dirsfile"):
        ap.add_argument(name)
    ap.add_argument("--files", type=int, default=20000)
    ap.add_argument("--dirs", type=int, default=1000)
    a = ap.parse_args()
    if a.layout in ("big", "tagged", "today"):
        if a.files < 0 or a.dirs < 1:
            sys.exit("gen_tree.py: need --files >= 0 and --dirs >= 1")
        entries = {"big": big_layout, "tagged": tagged_layout,
                   "today": today_layout}[a.layout](a.files, a.dirs)
    else:
        entries = LAYOUTS[a.layout]

    os.umask(0o022)
    clips = os.path.join(os.path.dirname(os.path.abspath(a.manifest)), "clips")
    os.makedirs(a.root, exist_ok=True)
    files, dirs = [], set()
    audio = 0
    for rel in entries:
        parts = rel.rstrip("/").split("/")
        for i in range(1, len(parts) if not rel.endswith("/") else len(parts) + 1):
            dirs.add("/".join(parts[:i]))
        if rel.endswith("/"):
            os.makedirs(os.path.join(a.root, rel), exist_ok=True)
            continue
        path = os.path.join(a.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if a.layout != "big" and os.path.splitext(rel)[1].lower() in AUDIO:
            import gen_audio
            # Every kind of tag in turn, so that each share holds them all.
            kind = gen_audio.KINDS[audio % len(gen_audio.KINDS)]
            if a.layout == "tagged":
                kind = "picture" if audio % 3 == 0 else "v24utf8"
            elif a.layout == "today":
                kind = "picture" if (audio // 4) % 3 == 0 else "v24utf8"
            audio += 1
            gen_audio.write(path, rel, a.host, clips, kind)
            files.append((rel, os.path.getsize(path)))
            continue
        data = ("%s %s %s\n" % (a.host, a.share, rel)).encode()
        with open(path, "wb") as f:
            f.write(data)
        files.append((rel, len(data)))

    with open(a.manifest, "a", encoding="utf-8") as m:
        for rel, size in sorted(files):
            m.write("%s\t%s\t%s\t%s\t%d\n" % (a.host, a.workgroup, a.share, rel.replace("/", "\\"), size))
    with open(a.dirsfile, "a", encoding="utf-8") as d:
        for rel in sorted(dirs):
            d.write("%s\t%s\t%s\t%s\n" % (a.host, a.workgroup, a.share, rel.replace("/", "\\")))


if __name__ == "__main__":
    main()
