"""Real music files for the test network: audio encoded by ffmpeg, tags written by mutagen.

Each file gets one of a few tag kinds, chosen from its path, so that every share holds the same
files with the same tags: ID3v2.3 with Latin-1 or UTF-16 text, ID3v2.4 with UTF-8 text, ID3v1
only, no tag at all, and ID3v2.4 with a large picture. .wma files get ASF tags.

Today's formats take the same kinds with their own tags: Vorbis comments in .flac, .ogg (Vorbis)
and .opus, MP4 atoms in .m4a (AAC, its moov atom at the end as ffmpeg writes it, or at the front
for the kinds in MOOV_FRONT). There "v24utf8" and "picture" write a whole date (2001-05-17),
"v1only" plain text, and "picture" a 300 KiB picture into .flac and .m4a (none into Ogg).
"""
import hashlib
import os
import shutil
import subprocess

from mutagen.asf import ASF
from mutagen.flac import FLAC, Picture
from mutagen.mp4 import MP4, MP4Cover
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis
from mutagen.id3 import APIC, COMM, ID3, TALB, TDRC, TIT2, TPE1, delete as id3_delete

KINDS = ["v23latin", "v23utf16", "v24utf8", "v1only", "notag", "picture"]
PICTURE_BYTES = 200 * 1024
LARGE_PICTURE_BYTES = 300 * 1024
# ext: codec, container, bit rate (None: lossless), sample rate
CODECS = {".mp3": ("libmp3lame", "mp3", "32k", 22050), ".mp2": ("mp2", "mp2", "64k", 22050),
          ".wma": ("wmav2", "asf", "32k", 22050), ".flac": ("flac", "flac", None, 22050),
          ".ogg": ("libvorbis", "ogg", "48k", 22050), ".opus": ("libopus", "ogg", "32k", 48000),
          ".m4a": ("aac", "ipod", "32k", 22050)}
XIPH = {".flac": FLAC, ".ogg": OggVorbis, ".opus": OggOpus}
MOOV_FRONT = ("v23utf16", "v24utf8", "v1only", "notag")


def _digest(rel):
    return int(hashlib.sha1(rel.encode()).hexdigest()[:8], 16)


def _clip(cache, ext, seconds, front=False):
    """An encoded clip of a sine tone, made once per cache folder."""
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, "clip%d%s%s" % (seconds, "front" if front else "", ext))
    if not os.path.exists(path):
        codec, fmt, rate, hz = CODECS[ext]
        tmp = path + ".tmp"
        args = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                "-i", "sine=frequency=440:sample_rate=%d:duration=%d" % (hz, seconds),
                "-ac", "1", "-c:a", codec, "-fflags", "+bitexact", "-map_metadata", "-1"]
        if rate:
            args += ["-b:a", rate]
        if ext == ".mp3":
            args += ["-id3v2_version", "0", "-write_xing", "1"]
        if front:
            args += ["-movflags", "+faststart"]
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
    shutil.copyfile(_clip(cache, ext, seconds, ext == ".m4a" and kind in MOOV_FRONT), path)
    artist, title, album, year = _texts(rel, kind, host)
    if kind in ("v23latin", "v1only"):
        title = title.encode("latin-1", "replace").decode("latin-1")
    if ext in XIPH or ext == ".m4a":
        _write_today(path, ext, kind, rel, (artist, title, album, year))
        return
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


def _write_today(path, ext, kind, rel, texts):
    if kind == "notag":
        return
    artist, title, album, year = texts
    if kind in ("v24utf8", "picture"):
        year += "-05-17"
    big = kind == "picture" and ext in (".flac", ".m4a")
    picture = hashlib.sha256(rel.encode()).digest() * (LARGE_PICTURE_BYTES // 32)
    if ext == ".m4a":
        tags = MP4(path)
        tags["\xa9ART"], tags["\xa9nam"], tags["\xa9alb"], tags["\xa9day"] = artist, title, album, year
        if big:
            tags["covr"] = [MP4Cover(picture, imageformat=MP4Cover.FORMAT_JPEG)]
        tags.save()
        return
    tags = XIPH[ext](path)
    tags["artist"], tags["title"], tags["album"], tags["date"] = artist, title, album, year
    if big:
        p = Picture()
        p.type, p.mime, p.desc, p.data = 3, "image/jpeg", "cover", picture
        tags.add_picture(p)
    tags.save()
