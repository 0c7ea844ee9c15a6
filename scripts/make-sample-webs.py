#!/usr/bin/env python3
"""Writes a folder of sample local webs as the main application keeps them:
webs.dat listing one web file per line, and beside each web file its home page
_home.htm. Used by the demo. usage: make-sample-webs.py FOLDER WINDOWS_FOLDER"""
import os
import sys


def short_string(text: bytes) -> bytes:
    return bytes([len(text)]) + text


def web_file(title: str, version: int) -> bytes:
    head = short_string(b"VRLN") + version.to_bytes(2, "little", signed=True)
    if version >= 512:
        head += short_string(b"https://www.example.org/")
    return head + short_string(title.encode("cp1252")) + b"\0" * 64


SITES = [
    ("Example", "Example Domain", 511),
    ("Library", "The Public Library of Everything", 512),
    ("Weather", "Weather and Tides", 512),
    ("Recipes", "Family Recipes", 300),
    ("Trains", "Timetables of the Northern Railways", 512),
]


def main() -> None:
    folder, windows_folder = sys.argv[1], sys.argv[2].rstrip("\\")
    lines = []
    for name, title, version in SITES:
        site = os.path.join(folder, name)
        os.makedirs(site, exist_ok=True)
        with open(os.path.join(site, "site.vrl"), "wb") as f:
            f.write(web_file(title, version))
        with open(os.path.join(site, "_home.htm"), "w") as f:
            f.write(f"<html><title>{title}</title><body>{title}</body></html>\n")
        lines.append(f"{windows_folder}\\{name}\\site.vrl")
    with open(os.path.join(folder, "webs.dat"), "wb") as f:
        f.write("\r\n".join(lines).encode("cp1252") + b"\r\n")


if __name__ == "__main__":
    main()
