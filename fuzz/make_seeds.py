#!/usr/bin/env python3
"""Writes the hand-made seed corpora of the fuzz targets (run once; the files are committed)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = b"TORVKIVENCRYPT"


def container(body: bytes, ran: int) -> bytes:
    head = bytearray(40)
    head[16:30] = MAGIC
    head[32:36] = struct.pack("<I", len(body))
    head[36:40] = struct.pack("<I", ran & 0xFFFFFFFF)
    out = bytearray(body)
    for i in range(len(out)):
        out[i] ^= ((i + ran) & 0xFFFFFFFF) % 255
    return bytes(head) + bytes(out)


def put(target: str, name: str, data: bytes) -> None:
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


with open(os.path.join(HERE, "..", "examples", "rules.json"), "rb") as f:
    EXAMPLE = f.read()

RULES = {
    "active": b'[{"model":"KV-1000","keyword":"wan","re_pattern":"WAN: link down",'
              b'"frequency":"3","period":"60","action":"restart_wan"}]',
    "numbers": b'[{"model":"KV-1000","re_pattern":"x+","frequency":3,"period":60,'
               b'"action":"nop;reboot","Global_Pause":0}]',
    "filters": b'[{"model":"KV-1000","odmpid":"KVO-1","target_fwver":"3.0.102_5",'
               b'"label_mac":"00:11;AA:BB:CC:00:11:22","type":"t","keyword":"k",'
               b'"re_pattern":"^a|b$","frequency":"1","period":"0","action":"  nop;;restart_wan;  "}]',
    "mixed": b'[1,null,"x",{},{"model":"KV-9"},{"model":"KV-1000","frequency":"-1"},'
             b'{"model":"KV-1000","re_pattern":"("},{"model":"KV-1000","action":";;;"}]',
    "pause": b'[{"model":"KV-1000","Global_Pause":"1"},{"model":"KV-1000","Global_Pause":0}]',
    "empty": b"[]",
    "object": b'{"model":"KV-1000"}',
    "patterns": b'[{"model":"KV-1000","re_pattern":"(ab{20}){4}|x{0,9}(a*)?[a-z]+\\\\<w\\\\>$",'
                b'"frequency":"2","period":"5","action":"nop"},'
                b'{"model":"KV-1000","re_pattern":"(a{100}){100}"},'
                b'{"model":"KV-1000","re_pattern":"(|)(\\\\1)*"}]',
}
for i, (name, text) in enumerate(RULES.items()):
    put("rules", "build_" + name, bytes([i % 6]) + text)
put("rules", "read_example", b"\x06" + EXAMPLE)
put("rules", "read_active", b"\x06" + RULES["active"])
put("rules", "read_plain", b"\x07" + RULES["active"])
put("rules", "build_example", b"\x00" + EXAMPLE)

put("container", "example", container(EXAMPLE, 12345))
put("container", "ran_minus_one", container(RULES["active"], -1))
put("container", "ran_zero", container(b"[]", 0))
put("container", "header_only", container(b"", 7))
put("container", "plain_json", RULES["active"])
bad = bytearray(container(b"[1]", 3))
bad[30] = 1
put("container", "magic_not_ended", bytes(bad))
put("container", "short", MAGIC)

for i, text in enumerate([b"restart_wan;reboot", b"  nop;;restart_wan;  ", b";;;", b"",
                          b"; ;", b"restart_wan ; nop", b"NOP", b"nop"]):
    put("actions", "list%d" % i, bytes([0x40 + i]) + text)

for i, text in enumerate([b"test", b"  test   extra words ", b"test;skip", b"test;",
                          b"test;;test2", b"start_test", b"recreate_skip",
                          b"stop_test;start_test2", b"restart_wan", b"Test",
                          b"restart_test3;test2;skip", b"a b c d e f g h i j",
                          b"force_download_json"]):
    put("command", "cmd%02d" % i, text)

put("match", "wan", b"Dec  6 12:00:00 WAN(0): link down\nDec  6 12:00:01 WAN: link down\n"
                    b"Dec  6 12:00:02 WAN: link up\n")
put("match", "oom", b"Dec  6 12:00:00 kernel: Out of memory: Kill process 12\n"
                    b"Jan 16 01:02:03 kernel: out of memory\n")
put("match", "dhcp", b"Dec  6 12:00:00 dhcpc[321]: lease fail\n\n\n\n\n")
put("match", "long", b"Dec  6 12:00:00 syslog: " + b"1234567890" * 40 + b"\n")
put("match", "binary", b"Dec  6 12:00:00 x\x00\xff\x01 WAN: link down\r\n")

# The literal prefilter: a pattern on the first line, the lines to match below it.
LITERALS = {
    "wan": b"WAN(\\([0-9]+\\))?: link down\nDec  6 12:00:00 WAN(0): link down\nWAN: link\n",
    "repeats": b"ab+c?d*e{0,2}f{2}g{,3}h\nabbcdddeeffggh\nabfgh\nabffh\n",
    "groups": b"x(yz)+w((a|b)cd)e(q)?\nxyzyzwbcde\nxyzwacdeq\nxw\n",
    "escapes": b"a\\.b\\(c\\)\\[\\{\\|\\*\\\\\\<w\\bz\nxa.b(c)[{|*\\ w z\na.b(c)[{|*\\w z\n",
    "brackets": b"[]x]y[^]a]z[[:digit:]]+ms[[.-.]]\n]y-z12ms-\nxyaz1ms-\n",
    "anchors": b"^kernel: .*Out of memory$\nkernel: Out of memory\nx kernel: Out of memory\n",
    "alternation": b"(segfault|failed) at slot [0-9]+|lease pool\nfailed at slot 3\nlease pool\n",
    "bytes": b"caf\xc3\xa9\t\x01ok\ncaf\xc3\xa9\t\x01ok\ncaf\x00\xc3\xa9\n",
}
for name, text in LITERALS.items():
    put("literals", name, text)
