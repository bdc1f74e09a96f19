#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

The seeds are committed; run this again only to change them. Each is a small
well-formed case of what the target reads, for the fuzzer to mutate.
"""
import gzip
import os
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))


def record(op, payload=None):
    if payload is None:
        return bytes([op])
    return bytes([op]) + struct.pack("<H", len(payload)) + payload


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# decoder_fuzz: op & 3 = 0 client, 1 server, 2 close, 3 open; (op >> 2) & 3 = connection.
def client(data, c=0):
    return record(0 | c << 2, data)


def server(data, c=0):
    return record(1 | c << 2, data)


def opened(c=0):
    return record(3 | c << 2)


def closed(c=0, state=0):
    return record(2 | c << 2 | state << 4)


def ok(body, extra=b""):
    return b"HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n" + extra + b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body


get = lambda path: b"GET " + path + b" HTTP/1.1\r\nHost: media.example\r\nAccept: */*\r\n\r\n"

write("decoder_fuzz", "plain", opened() + client(get(b"/a.png")) + server(ok(b"0123456789")) + closed())
write("decoder_fuzz", "pipelined", opened() + client(get(b"/a") + get(b"/b") + get(b"/c"))
      + server(ok(b"one") + ok(b"two")) + server(ok(b"three")) + closed())
write("decoder_fuzz", "split_head", opened() + client(get(b"/a")[:9]) + client(get(b"/a")[9:])
      + server(ok(b"body")[:20]) + server(ok(b"body")[20:30]) + server(ok(b"body")[30:]) + closed(0, 1))
chunked = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n"
write("decoder_fuzz", "chunked", opened() + client(get(b"/p") + get(b"/q")) + server(chunked) + server(ok(b"after")) + closed())
write("decoder_fuzz", "post_body", opened() + client(b"POST /u HTTP/1.1\r\nContent-Length: 5\r\n\r\nab") + client(b"cde")
      + server(b"HTTP/1.1 100 Continue\r\n\r\n" + ok(b"done")) + closed())
write("decoder_fuzz", "two_connections", opened(0) + opened(1) + client(get(b"/x"), 0) + client(get(b"/y"), 1)
      + server(ok(b"yy"), 1) + server(ok(b"xx")[:25], 0) + closed(1, 1) + server(ok(b"xx")[25:], 0) + closed(0, 2))
write("decoder_fuzz", "cut_body", opened() + client(get(b"/v")) + server(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort") + closed())
write("decoder_fuzz", "odd_lengths", opened() + client(get(b"/a") + get(b"/b") + get(b"/c"))
      + server(b"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n") + server(b"HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n")
      + server(b"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\ncontent-length: 2\r\n\r\nzz") + closed())
# op >> 4 repeats an arrival 64 times per step: heads, lines and bodies past the limits.
write("decoder_fuzz", "endless_head", opened() + client(get(b"/a")) + record(1 | 15 << 4, b"x" * 100) + server(ok(b"no")) + closed())
write("decoder_fuzz", "long_post", opened() + client(b"POST /u HTTP/1.1\r\nContent-Length: 100000\r\n\r\n")
      + record(0 | 15 << 4, b"p" * 100) + server(ok(b"done")) + closed())
write("decoder_fuzz", "gzip", opened() + client(get(b"/s.js"))
      + server(ok(gzip.compress(b"var x = 1;" * 30, mtime=0), b"Content-Encoding: gzip\r\n")) + closed())

# request_key_fuzz: Host, NUL, target; without a NUL the Host is the video site.
write("request_key_fuzz", "plain", b"media.example\0/img/a.png?w=10&h=20&token=abc")
write("request_key_fuzz", "playback", b"/videoplayback?id=abc123&itag=34&range=0-1000&start=12.5&aksessionid=1")
write("request_key_fuzz", "start", b"/watch?v=x&start=30&fmt=18")
write("request_key_fuzz", "odd_pieces", b"cdn.example\0/p?&&a=1=2&=&b=&c&a=3?d=4")
write("request_key_fuzz", "no_query", b"cdn.example\0/plain/path")

# inflate_fuzz: byte 0 = coding (bit 0 gzip) and ending (bit 1 finish), then chunks.
text = b"<html>" + b"the quick brown fox " * 200 + b"</html>"
gz = gzip.compress(text, mtime=0)
zl = zlib.compress(text)
raw = zlib.compressobj(wbits=-15)
raw = raw.compress(text) + raw.flush()
write("inflate_fuzz", "gzip_whole", bytes([3]) + record(0, gz))
write("inflate_fuzz", "gzip_pieces", bytes([1]) + b"".join(record(0, gz[i:i + 7]) for i in range(0, len(gz), 7)))
write("inflate_fuzz", "zlib", bytes([2]) + record(0, zl[:1]) + record(0, zl[1:]))
write("inflate_fuzz", "raw_deflate", bytes([2]) + record(0, raw))
write("inflate_fuzz", "gzip_truncated", bytes([1]) + record(0, gz[: len(gz) // 2]))
write("inflate_fuzz", "gzip_twice", bytes([3]) + record(0, gz + gz) + record(0, b"trailing"))
bomb = gzip.compress(b"\0" * 200000, mtime=0)
write("inflate_fuzz", "expands_a_lot", bytes([3]) + record(0, bomb))

# media_info_fuzz: the probe's standard output.
write("media_info_fuzz", "show_format", b"[FORMAT]\nfilename=clip.mp4\nnb_streams=2\nformat_name=mov,mp4,m4a\n"
      b"format_long_name=QuickTime / MOV\nstart_time=0.000000\nduration=7.900000\nsize=123456\nbit_rate=125000\n"
      b"probe_score=100\n[/FORMAT]\n")
write("media_info_fuzz", "odd_values", b"format_long_name=a=b\r\nduration=N/A\nsize=99999999999999\nbit_rate=-5.5\nDuration=3\n")

# converter_progress_fuzz: reads of the converter's standard error.
write("converter_progress_fuzz", "progress", record(0, b"Input #0, mov,mp4, from 'in.mp4':\n  Duration: 00:01:30.50, start: 0.000000, bitrate: 1000 kb/s\n")
      + record(0, b"frame=  10 fps=0.0 q=2.0 size=  100kB time=00:00:01.00 bitrate= 800kbits/s\r")
      + record(0, b"frame=  20 fps=20 q=2.0 size=  200kB time=00:00:02.50 bitrate= 800kbits/s\rframe=  30 time=00:00:4")
      + record(0, b"5.99 bitrate=1\r"))
write("converter_progress_fuzz", "time_first", record(0, b"time=00:00:03.00\n") + record(0, b"Duration: 00:00:10.00,\n")
      + record(0, b"time=00:00:05.00\n"))
