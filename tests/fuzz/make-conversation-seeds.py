#!/usr/bin/env python3
"""Writes the seed corpus of ConversationFuzz into corpus/conversation.

Each seed is everything one client sends on one connection. The names point
into the root directory the harness makes for every input, which holds
small.txt (1000 bytes), sub/large.bin (40000 bytes) and empty.dat.
"""
import os
import struct

ROOT = "/dev/shm/vardex-fuzz-conversation/root"
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "conversation")


def header(letters, size):
    return letters.encode().ljust(4, b"\0")[:4] + struct.pack("<i", size)


def body(**fields):
    return "".join("%s=%s\r\n" % (k, v) for k, v in fields.items()).encode()


def request(letters, text):
    return header(letters, len(text)) + text


def download(name, size, pos, userno=3, fileno=12):
    text = body(REMOTEFILENAME=name, FILENO=fileno, USERNO=userno, FILESIZE=size, FILEPOS=pos)
    return header("DNLD", 0) + request("DL01", text)


def upload(name, size, pos, data, offer_letters="UP02", pointer_letters="UP03"):
    text = body(REMOTEFILENAME=name, FILENO=5, USERNO=9, FILESIZE=size)
    return (header("UPLD", 0) + request("UP01", text) + header(offer_letters, 0) +
            request(pointer_letters, body(FILEPOS=pos)) + data)


def digest(name, pos=None):
    text = body(REMOTEFILENAME=name, USERNO=3) if pos is None else body(REMOTEFILENAME=name, FILEPOS=pos, USERNO=3)
    return header("DGST", 0) + request("DG01", text)


V2_SIGNATURE = b"\r\n\r\n\0\r\nQUIT\n"


def proxy_v2(command, family, addresses):
    return V2_SIGNATURE + bytes([command, family]) + struct.pack(">H", len(addresses)) + addresses


def payload(n):
    return bytes((i * 31 + 7) & 0xFF for i in range(n))


SEEDS = {
    "download-new": download(ROOT + "/small.txt", 1000, 0),
    "download-resume": download(ROOT + "/sub/large.bin", 40000, 20000),
    "download-complete": download(ROOT + "/small.txt", 1000, 1000),
    "download-empty": download(ROOT + "/empty.dat", 0, 0),
    "download-growing": download(ROOT + "/small.txt", 5000, 0),
    "download-pos-past-end": download(ROOT + "/small.txt", 5000, 1200),
    "download-pos-beyond-size": download(ROOT + "/small.txt", 1000, 1200),
    "download-missing": download(ROOT + "/missing.txt", 10, 0),
    "download-outside-root": download("/dev/shm/vardex-fuzz-conversation/log/x.log", 10, 0),
    "download-dotdot": download(ROOT + "/../outside.txt", 10, 0),
    "download-hex-numbers": download(ROOT + "/sub/large.bin", "$9C40", "0x100"),
    "download-body-too-large": header("DNLD", 0) + header("DL01", 16001),
    "download-wrong-request": header("DNLD", 0) + request("DL02", body(REMOTEFILENAME=ROOT + "/small.txt")),
    "download-body-cut": (header("DNLD", 0) + request("DL01", body(REMOTEFILENAME=ROOT + "/small.txt")))[:30],
    "upload-new": upload(ROOT + "/new/dir/up.bin", 300, 0, payload(300)),
    "upload-resume": upload(ROOT + "/small.txt", 1500, 1000, payload(500)),
    "upload-overwrite": upload(ROOT + "/small.txt", 20, 0, payload(20)),
    "upload-short-data": upload(ROOT + "/part.bin", 5000, 0, payload(1234)),
    "upload-nothing-missing": upload(ROOT + "/small.txt", 1000, 1000, b""),
    "upload-pos-beyond-offer": upload(ROOT + "/small.txt", 3000, 2000, payload(10)),
    "upload-outside-root": upload("/dev/shm/vardex-fuzz-conversation/outside.txt", 10, 0, payload(10)),
    "upload-disk-full": upload(ROOT + "/huge.bin", 0x7FFFFFFFFFFFFFFF, 0, payload(10)),
    "upload-wrong-offer": upload(ROOT + "/x.bin", 10, 0, payload(10), offer_letters="UPXX"),
    "upload-wrong-pointer": upload(ROOT + "/x.bin", 10, 0, payload(10), pointer_letters="UP04"),
    "upload-into-directory": upload(ROOT + "/sub", 10, 0, payload(10)),
    "digest-whole": digest(ROOT + "/sub/large.bin"),
    "digest-prefix": digest(ROOT + "/sub/large.bin", 20000),
    "digest-empty": digest(ROOT + "/empty.dat", 0),
    "digest-beyond-end": digest(ROOT + "/small.txt", 1001),
    "digest-negative": digest(ROOT + "/small.txt", -5),
    "digest-outside-root": digest("/dev/shm/vardex-fuzz-conversation/log/x.log"),
    "digest-wrong-request": header("DGST", 0) + request("DG02", body(REMOTEFILENAME=ROOT + "/small.txt")),
    "wrong-letters": header("XXXX", 0) + header("DL01", 0),
    "lower-case-letters": header("dnld", 0),
    "short-header": b"DNLD\0\0",
    "empty": b"",
    "garbage": bytes((i * 97 + 13) & 0xFF for i in range(200)),
    # Inputs that start like a PROXY header come from a listed balancer.
    "proxy-v1-tcp4": b"PROXY TCP4 192.0.2.7 10.0.0.1 5000 80\r\n" + download(ROOT + "/small.txt", 1000, 0),
    "proxy-v1-tcp6": b"PROXY TCP6 2001:db8::7 ::1 5000 80\r\n" + download(ROOT + "/missing.txt", 10, 0),
    "proxy-v1-unknown": b"PROXY UNKNOWN\r\n" + header("DNLD", 0),
    "proxy-v1-cut": b"PROXY TCP4 192.0.2.7 10.0",
    "proxy-v2-ipv4": proxy_v2(0x21, 0x11, bytes([192, 0, 2, 7, 10, 0, 0, 1, 0x13, 0x88, 0, 80])) +
    upload(ROOT + "/small.txt", 1500, 1000, payload(500)),
    "proxy-v2-ipv6": proxy_v2(0x21, 0x21, bytes(range(32)) + b"\x13\x88\x00\x50") +
    download(ROOT + "/sub/large.bin", 40000, 20000),
    "proxy-v2-local": proxy_v2(0x20, 0x00, b"") + header("DNLD", 0),
    "proxy-v2-cut": proxy_v2(0x21, 0x11, bytes(12))[:20],
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
