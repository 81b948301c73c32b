#!/usr/bin/env python3
"""Writes the well-formed seed inputs of every fuzzer under tests/fuzz/corpus/.

Run from anywhere; existing seeds of the same names are rewritten, other
files (regression inputs) are left alone."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus")
MARKER = b"\x02\x0a\x24\x0f"


def put(fuzzer, name, data):
    d = os.path.join(ROOT, fuzzer)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


def header(mtype, code, ercode=b"00000"):
    return b"$TAV" + mtype + code + b"2" + b"\0\0" + ercode + b"     "


def framed(body):
    return struct.pack(">I", len(body)) + body


def batch(code, record_size, n):
    recs = b"".join(bytes([0x30 + (i % 10)]) * record_size for i in range(n))
    return framed(header(b"0", code) + struct.pack(">I", n) + b"\0" * 4 + recs)


def frame_read():
    # mode (bit 0 non-blocking, bit 1 well formed, bit 2 receive), two seed
    # bytes, then messages: count, then flag, length, payload each.
    msgs = bytes([3]) + bytes([1, 5]) + b"hello" + bytes([0, 0]) + bytes([1, 3]) + b"abc"
    for mode in (2, 3, 6, 7):
        put("frame_read_fuzz", "well-formed-%d" % mode, bytes([mode, 0x12, 0x34]) + msgs)
    put("frame_read_fuzz", "plain", bytes([1, 0x55, 0x66]) + b"GET / HTTP/1.0\r\n\r\n")
    put("frame_read_fuzz", "marker-start", bytes([5, 1, 2]) + MARKER[:3])


def tavmaster_frames():
    stream = framed(header(b"0", b"SSSP000000")) + batch(b"MZZP000001", 288, 2) + \
        batch(b"MZZP000002", 104, 1) + batch(b"MZZP000004", 168, 3) + \
        framed(header(b"0", b"JAVA000001") + b"some packet text")
    put("tavmaster_frames_fuzz", "mixed", b"\x01\x02" + stream)
    put("tavmaster_frames_fuzz", "poll", b"\x07\x07" + framed(header(b"0", b"SSSP000000")))


def agent_request():
    # two port bytes (value - 100), then the datagram text
    port = struct.pack(">H", 40000 + 100)
    put("agent_request_fuzz", "connect", port +
        b"fn=connect,sock=5,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080")
    put("agent_request_fuzz", "local", port + b"127.0.0.1,127.0.0.1")
    put("agent_request_fuzz", "unknown", port + b"fn=xyz,la=1.2.3.4,lp=5")


def master_recv():
    poll = framed(header(b"0", b"SSSP000000"))
    put("master_recv_fuzz", "open-polls", framed(header(b"1", b"SSSC000000")) + poll + poll)
    put("master_recv_fuzz", "refused", poll + framed(header(b"1", b"SSSC000000", b"00099")) + poll)
    put("master_recv_fuzz", "other", framed(header(b"0", b"XXXX000001") + b"body") + poll)


def settings_read():
    # buffer size, key length, key, then the file
    probe = (b"# probe settings\nQEL_LOG = ON\nTAV_LOG_PATH = \"/var/log/qel\"  # where\n"
             b"QEL_GTUID_QUEUE_COUNT = 2 \\\n  ignored\nQEL_GTUID_QUEUE_NAME = 0x1000,0x1001\n")
    put("settings_read_fuzz", "keys", bytes([40, 20 % 16]) + b"QEL_GTUID_QUEUE_" + probe)
    xml = (b'<config>\n  <entry key="rlyLogMode" value=" ON "/>\n'
           b'  <entry key="TAV_LOG_PATH" value="/tmp/x"/>\n</config>\n')
    put("settings_read_fuzz", "xml", bytes([16, 10]) + b"rlyLogMode" + xml)
    put("settings_read_fuzz", "number", bytes([8, 0]) + b"  -2147483649")


def ring_read():
    # family byte, then operations: op % 5 = 0/1 put (kind from op >> 6),
    # 2 reserve only, 3 overwrite a byte (offset 2 bytes, value), 4 a pass
    put("ring_read_fuzz", "gtuid", bytes([0]) + bytes([0, 0x41, 1, 0x42, 4, 0, 0x43, 2, 0, 0x44, 4]))
    put("ring_read_fuzz", "tcode", bytes([1]) + bytes([0, 0x31, 0x41, 0x32, 0x81, 0x33, 4, 0xc1, 0x10, 0x34, 4]))
    put("ring_read_fuzz", "spoiled", bytes([0]) + bytes([0, 0x41, 3, 0, 10, 0xff, 4, 0, 0x42, 4]))


def tmax_follow():
    # class (bit 0 gateway, 1 well formed, 2 long form), two seed bytes, then
    # count and per message the header bytes after the magic, a body length, the body
    short = bytes(92 - 4) + b"\x00" * 4 + bytes([5]) + b"hello"
    put("tmax_follow_fuzz", "clh-short", bytes([2, 0x21, 0x43, 2]) + bytes(91) + bytes([5]) + b"hello" +
        bytes(91) + bytes([0]))
    put("tmax_follow_fuzz", "gw-long", bytes([7, 0x11, 0x22, 1]) + bytes(131) + bytes([20]) + b"x" * 20)
    put("tmax_follow_fuzz", "raw", bytes([0, 1, 2]) + b"\x00\x00\x27\x0f" + bytes(80) + b"\x05\0\0\0" +
        bytes(8) + b"hello")


def webtob_http():
    # flags (bit 0 active), buffer room, two seed bytes, request length,
    # request, then the answers (96-byte header, length at 84, body)
    req = b"GET /shop/cart HTTP/1.1\r\nHost: a\r\n\r\n"
    body = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
    ans = b"\x00\x00\x27\x0f" + bytes(80) + struct.pack("<i", len(body)) + bytes(8) + body
    for flags in (0, 1):
        put("webtob_http_fuzz", "answer-%d" % flags, bytes([flags, 200, 0x12, 0x34, len(req)]) + req + ans + ans)
    put("webtob_http_fuzz", "no-room", bytes([1, 10, 1, 1, len(req)]) + req)


def jeus_header():
    # mode (bit 0 non-blocking), buffer size, then the stream
    block = MARKER + bytes([1]) + bytes([12]) * 87 + struct.pack(">I", 7)
    assert len(block) == 96
    for mode in (0, 1):
        put("jeus_header_fuzz", "block-%d" % mode, bytes([mode, 150]) + block + b"payload")
        put("jeus_header_fuzz", "jeus-%d" % mode, bytes([mode, 99]) + b"\x00\x00\x27\x0f" + b"j" * 92)
    put("jeus_header_fuzz", "plain", bytes([1, 10]) + b"GET / HTTP/1.0\r\n")


def msg_prefix():
    # descriptor count - 1, shape (bit 7 well formed, low bits the vector
    # pieces), two seed bytes, then the data behind the prefix
    put("msg_prefix_fuzz", "prefix", bytes([1, 0x81, 0x21, 0x43]) + b"request bytes")
    put("msg_prefix_fuzz", "prefix-three", bytes([2, 0x82, 0x05, 0x06]) + b"x" * 40)
    put("msg_prefix_fuzz", "plain", bytes([0, 0x01, 0x11, 0x12]) + b"no prefix here")


def registration():
    # the bytes of a check-home entry
    put("registration_fuzz", "identity", b"4711 123456789 98765\n")
    put("registration_fuzz", "marker", b"1 2 0")
    put("registration_fuzz", "empty", b"")


for make in (frame_read, tavmaster_frames, agent_request, master_recv, settings_read, ring_read,
             tmax_follow, webtob_http, jeus_header, msg_prefix, registration):
    make()
