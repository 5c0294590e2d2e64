"""Real music files for the test network: audio encoded by ffmpeg, tags written by mutagen.

Each file gets one of a few tag kinds, chosen from its path, so that every share holds the same
files with the same tags: ID3v2.3 with Latin-1 or UTF-16 text, ID3v2.4 with UTF-8 text, ID3v1
only, no tag at all, and ID3v2.4 with a large picture. .wma files get ASF tags.
"""
import hashlib
import os
import shutil
import subprocess

from mutagen.asf import ASF
from mutagen.id3 import APIC, COMM, ID3, TALB, TDRC, TIT2, TPE1, delete as id3_delete

KINDS = ["v23latin", "v23utf16", "v24utf8", "v1only", "notag", "picture"]
PICTURE_BYTES = 200 * 1024
CODECS = {".mp3": ("libmp3lame", "mp3"), ".mp2": ("mp2", "mp2"), ".wma": ("wmav2", "asf")}


def _digest(rel):
    return int(hashlib.sha1(rel.encode()).hexdigest()[:8], 16)


def _clip(cache, ext, seconds):
    """An encoded clip of a sine tone, made once per cache folder."""
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, "clip%d%s" % (seconds, ext))
    if not os.path.exists(path):
        codec, fmt = CODECS[ext]
        tmp = path + ".tmp"
        args = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                "-i", "sine=frequency=440:sample_rate=22050:duration=%d" % seconds,
                "-ac", "1", "-c:a", codec, "-b:a", "32k" if ext != ".mp2" else "64k",
                "-fflags", "+bitexact", "-map_metadata", "-1"]
        if ext == ".mp3":
            args += ["-id3v2_version", "0", "-write_xing", "1"]
        subprocess.run(args + ["-f", fmt, tmp], check=True)
        os.replace(tmp, path)
    return path


def _texts(rel, kind, host):
    stem = os.path.splitext(os.path.basename(rel))[0]
    n = _digest(rel)
    if kind == "v23latin":
        artist, album = "Café Müller", "Große Stücke"
    elif kind == "v23utf16":
        artist, album = "Ωδή Ensemble", "Μουσική"
    elif kind in ("v24utf8", "picture"):
        artist, album = "Ärger & 東京", "Album #%d" % (n % 7)
    else:
        artist, album = "Plain Artist", "Plain Album"
    return artist, "%s (%s)" % (stem, host), album, str(1960 + n % 60)


def kind_of(rel):
    return KINDS[_digest(rel) % len(KINDS)]


def write(path, rel, host, cache, kind=None):
    """Writes the music file rel (its extension says the format) to path."""
    ext = os.path.splitext(rel)[1].lower()
    kind = kind or kind_of(rel)
    seconds = 2 + _digest(rel) % 9
    shutil.copyfile(_clip(cache, ext, seconds), path)
    artist, title, album, year = _texts(rel, kind, host)
    if kind in ("v23latin", "v1only"):
        title = title.encode("latin-1", "replace").decode("latin-1")
    if ext == ".wma":
        tags = ASF(path)
        tags["Author"] = artist
        tags["Title"] = title
        tags["WM/AlbumTitle"] = album
        tags["WM/Year"] = year
        tags.save()
        return
    if kind == "notag":
        return
    if kind == "v1only":
        tags = ID3()
        tags.add(TPE1(encoding=0, text=artist))
        tags.add(TIT2(encoding=0, text=title[:30]))
        tags.add(TALB(encoding=0, text=album))
        tags.add(TDRC(encoding=0, text=year))
        tags.save(path, v1=2, v2_version=3)
        id3_delete(path, delete_v1=False, delete_v2=True)
        return
    enc = {"v23latin": 0, "v23utf16": 1}.get(kind, 3)
    tags = ID3()
    tags.add(TPE1(encoding=enc, text=artist))
    tags.add(TIT2(encoding=enc, text=title))
    tags.add(TALB(encoding=enc, text=album))
    tags.add(TDRC(encoding=enc, text=year))  # saved as TYER in 2.3
    tags.add(COMM(encoding=enc, lang="eng", desc="", text="made for the test network"))
    if kind == "picture":
        picture = hashlib.sha256(rel.encode()).digest() * (PICTURE_BYTES // 32)
        tags.add(APIC(encoding=0, mime="image/jpeg", type=3, desc="cover", data=picture))
    tags.save(path, v1=0, v2_version=3 if kind.startswith("v23") else 4)
