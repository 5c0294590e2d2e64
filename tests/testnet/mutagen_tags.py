#!/usr/bin/python3
"""The tests' independent tag reader: mutagen_tags.py FILE... prints for each local FILE its path,
artist, title, album, year and length in seconds (rounded), tab-separated, as mutagen reads
them; empty fields where the file says nothing."""
import os
import sys

from mutagen.asf import ASF
from mutagen.flac import FLAC
from mutagen.mp3 import MP3
from mutagen.mp4 import MP4
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis

XIPH_KEYS = ("artist", "title", "album", "date")
# by extension: the reader and its keys for artist, title, album and date
READERS = {".wma": (ASF, ("Author", "Title", "WM/AlbumTitle", "WM/Year")),
           ".flac": (FLAC, XIPH_KEYS), ".ogg": (OggVorbis, XIPH_KEYS), ".opus": (OggOpus, XIPH_KEYS),
           ".m4a": (MP4, ("\xa9ART", "\xa9nam", "\xa9alb", "\xa9day"))}


def first(tags, key):
    v = tags.get(key) if tags is not None else None
    if v is None:
        return ""
    v = v[0] if isinstance(v, list) else v
    return str(v.text[0] if hasattr(v, "text") else v.value if hasattr(v, "value") else v)


def read(path):
    reader, keys = READERS.get(os.path.splitext(path)[1].lower(), (MP3, ("TPE1", "TIT2", "TALB", "TDRC")))
    f = reader(path)
    artist, title, album, year = (first(f.tags, k).strip() for k in keys)
    return artist, title, album, year[:4], str(int(f.info.length + 0.5))


def main():
    for path in sys.argv[1:]:
        print("\t".join((path,) + read(path)))


if __name__ == "__main__":
    main()
