#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets, fuzz/corpus/<target>/<seed>.

Each seed is a short exchange a peer could start, written out here in the
form its target reads (the scripts of fuzz/support/scripted_line.h), so that
the fuzzer begins from inputs that reach deep into each parser. Run it after
changing a target's input form: python3 fuzz/seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

STX, ETX, ACK, NAK = 0x02, 0x03, 0x06, 0x15
RAW, FRAME, DAMAGED, HANG_UP = 0, 1, 2, 3
# Pause codes (fuzz/support/scripted_line.h)
SHORT = 8  # 4 ticks, a reply's time
GAP = 50  # 48 ticks: longer than the quiet that ends a frame
LIMIT = 56  # 120 ticks: longer than a time limit
SETTLE = 60  # 300 ticks: longer than the quiet that puts both ends back in step

CMD_PWD, CMD_CD, CMD_GET, CMD_PUT, CMD_LS, CMD_TERMINATE, CMD_BYE, CMD_BAUD = (
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x29)
IDENT = bytes([31, 47, 0x41])  # AmigaOS, x86, 4.1


def piece(kind, payload=b"", pause=SHORT):
    control = bytes([(pause << 2) | kind])
    if kind == HANG_UP:
        return control
    return control + struct.pack("<H", len(payload)) + payload


def raw(payload, pause=SHORT):
    return piece(RAW, payload, pause)


def frame(payload, pause=SHORT):
    return piece(FRAME, payload, pause)


def damaged(payload, pause=SHORT):
    return piece(DAMAGED, payload, pause)


def hang_up(pause=SHORT):
    return piece(HANG_UP, pause=pause)


def padded(text, length):
    return text[:length] + bytes(max(0, length - len(text)))


def command(code, argument=b""):
    return frame(padded(bytes([code]) + argument, 60))


def header(text):
    return frame(padded(text, 60))


def listing_line(kind, name, size):
    return frame((kind + name.ljust(30) + size.rjust(10))[:45])


END = frame(b"END".ljust(45))


def calc_lpc(data):
    if not data:
        return 4
    x = 0
    for byte in data:
        x ^= byte
    return x if 3 <= x <= 127 else (x + 4) & 0xFF


def wire_frame(payload):
    return bytes([STX]) + payload + bytes([calc_lpc(payload), ETX])


def acks(count, pause=SHORT):
    return b"".join(raw(bytes([ACK]), pause) for _ in range(count))


def command_loop():
    pwd = command(CMD_PWD) + acks(1)
    listing = command(CMD_LS) + acks(5)
    return {
        "pwd": b"\x00" + pwd,
        "cd-and-back": b"\x00" + command(CMD_CD, b"d") + pwd + command(CMD_CD, b"..") + pwd,
        "cd-out": b"\x00" + command(CMD_CD, b"up/..") + pwd + command(CMD_CD, b"/../..") + pwd,
        "ls": b"\x00" + listing,
        "ls-refused": b"\x00" + command(CMD_LS) + raw(bytes([NAK]) * 10),
        "get-short": b"\x00" + command(CMD_GET, b"a") + acks(2),
        "get-blocks": b"\x00" + command(CMD_GET, b"b\xaec") + acks(4),
        "get-blocks-unanswered": b"\x00" + command(CMD_GET, b"b c") + acks(1) + raw(b"\x15\x66", LIMIT),
        "get-missing": b"\x00" + command(CMD_GET, b"nothing") + acks(1),
        "put-short": b"\x00" + command(CMD_PUT) + header(b"new 0 5") + frame(b"hello"),
        "put-blocks": b"\x00" + command(CMD_PUT) + header(b"d/two 1 3") + frame(bytes(range(256)) * 4)
        + frame(b"end"),
        "put-over-link": b"\x00" + command(CMD_PUT) + header(b"up 0 2") + frame(b"up"),
        "put-climbing": b"\x00" + command(CMD_PUT) + header(b"../x 0 1") + frame(b"x")
        + command(CMD_PUT) + header(b"/../../x 0 1") + frame(b"x"),
        "put-then-ls": b"\x00" + command(CMD_PUT) + header(b"a\xaeb 0 3") + frame(b"abc") + command(CMD_LS) + acks(6),
        "put-read-only": b"\x10" + command(CMD_PUT) + header(b"new 0 5") + frame(b"hello"),
        "put-torn": b"\x00" + command(CMD_PUT) + header(b"new 2 0") + frame(bytes(1024)) + raw(b"\x02" + bytes(500)),
        "baud": b"\x00" + command(CMD_BAUD, b"19200") + pwd + command(CMD_BAUD, b"0") + pwd,
        "sign-off": b"\x00" + command(CMD_BYE) + frame(IDENT, GAP) + pwd,
        "terminate": b"\x00" + command(CMD_TERMINATE) + pwd,
        "terminate-refused": b"\x08" + command(CMD_TERMINATE) + frame(IDENT, GAP) + pwd,
        "newcomer": b"\x00" + frame(IDENT) + pwd,
        "unknown-code": b"\x00" + command(0x30, b"x") + command(0x00) + pwd,
        "damaged": b"\x00" + damaged(bytes([CMD_PWD]) + bytes(59)) + pwd,
        "garbage": b"\x00" + raw(bytes(range(200))) + pwd,
        "hang-up": b"\x00" + command(CMD_PWD) + hang_up() + frame(IDENT, GAP) + pwd,
        "isiri-names": b"\x03" + command(CMD_CD, b"\xa9\xa9") + pwd + command(CMD_PUT) + header(b"\xae\xa9 0 1")
        + frame(b"x") + listing,
        "utf8-names": b"\x02" + command(CMD_PUT) + header("caf\u00e9 0 1".encode()) + frame(b"x") + listing,
        "raw-names": b"\x01" + command(CMD_PUT) + header(b"\x1b[2J 0 1") + frame(b"x") + listing,
    }


def frame_seeds():
    def reader(mode, length, script):
        return bytes([mode]) + struct.pack("<h", length) + script

    command_payload = bytes([CMD_PWD]) + bytes(59)
    return {
        "command": reader(0, 60, raw(wire_frame(command_payload))),
        "identification": reader(1, 3, raw(wire_frame(IDENT))),
        "block": reader(1, 1024, raw(wire_frame(bytes(range(256)) * 4))),
        "listing-line": reader(0, 45, raw(wire_frame(b"FILE" + b"a".ljust(30) + b"10".rjust(10) + b"x"))),
        "empty": reader(0, 0, raw(wire_frame(b""))),
        "negative": reader(0, -1, raw(b"\x02\x04\x03")),
        "too-long": reader(0, 1025, raw(bytes(1028))),
        "torn": reader(0, 60, raw(wire_frame(command_payload)[:30]) + raw(wire_frame(command_payload)[30:], LIMIT)),
        "damaged": reader(1, 60, damaged(command_payload)),
        "unframed": reader(1, 3, raw(b"\x00" + IDENT + bytes([calc_lpc(IDENT)]) + b"\x00")),
        "no-etx": reader(1, 3, raw(b"\x02" + IDENT + bytes([calc_lpc(IDENT)]) + b"\x00")),
        "hang-up": reader(0, 3, raw(b"\x02\x1f") + hang_up()),
        "unpack": reader(2, 3, wire_frame(IDENT)),
        "unpack-damaged": reader(2, 45, bytes(48)),
        "send-acked": reader(3, 3, IDENT + raw(bytes([ACK]))),
        "send-refused": reader(3, 60, command_payload + raw(bytes([NAK]))),
        "send-unanswered": reader(3, 1024, bytes(1024)),
        "send-garbage": reader(3, 1, b"x" + raw(b"\x02\x1f")),
    }


def identification():
    service_answer = raw(bytes([ACK])) + frame(IDENT)
    return {
        "frame": b"\x00" + wire_frame(IDENT),
        "frame-dos": b"\x00" + wire_frame(bytes([32, 36, 0x62])),
        "frame-unknown-system": b"\x00" + wire_frame(bytes([30, 47, 0x41])),
        "frame-unframed": b"\x04" + b"\x00" + IDENT + bytes([calc_lpc(IDENT)]) + b"\x00",
        "service": b"\x01" + frame(IDENT),
        "service-after-garbage": b"\x01" + raw(b"\x02\x02\x15" * 5) + frame(IDENT, LIMIT),
        "service-damaged": b"\x01" + damaged(IDENT) + frame(IDENT, LIMIT),
        "service-hang-up": b"\x01" + hang_up() + frame(IDENT),
        "customer": b"\x02" + service_answer,
        "customer-refused": b"\x02" + raw(bytes([NAK])) + raw(bytes([ACK]), SETTLE) + acks(1) + frame(IDENT, SHORT),
        "customer-damaged-answer": b"\x02" + raw(bytes([ACK])) + damaged(IDENT) + raw(bytes([ACK]), SETTLE)
        + service_answer,
        "customer-silent": b"\x02",
        "customer-flood": b"\x02" + raw(bytes([0xFF]) * 600),
        "newcomer": b"\x03" + frame(IDENT),
        "newcomer-followed": b"\x03" + frame(IDENT) + raw(b"\x02", 2),
    }


def listing():
    lines = (listing_line(b"FILE", b"a.txt", b"20") + listing_line(b"DIR ", b"docs", b"0")
             + listing_line(b"FILE", b"name with spaces", b"1024"))
    answered = raw(bytes([ACK]))
    return {
        "plain": b"\x00" + answered + lines + END,
        "rows": b"\x08" + answered + lines + END,
        "json": b"\x10" + answered + lines + END,
        "json-c1": b"\x10" + answered + listing_line(b"FILE", b"\x9b31m\x92\x7f", b"1") + END,
        "columns": b"\xa0" + answered + lines + END,
        "long-name": b"\x08" + answered + frame(b"FILE" + b"n" * 30 + b"1234567890"[:11]) + END,
        "sizes": b"\x10" + answered + listing_line(b"FILE", b"neg", b"-5") + listing_line(b"FILE", b"abc", b"abc")
        + frame(b"FILE" + b"big".ljust(30) + b"12345678901") + END,
        "controls": b"\x00" + answered + listing_line(b"FILE", b"\x1b[2J\x1bc", b"1")
        + listing_line(b"FILE", b"a\nb\tc\x7f", b"2") + END,
        "climbing": b"\x08" + answered + listing_line(b"FILE", b"../.bash_profile", b"9")
        + listing_line(b"DIR ", b"../../x", b"0") + listing_line(b"FILE", b"x/.hidden", b"1") + END,
        "nul": b"\x00" + answered + frame(b"FILE" + b"a\x00b".ljust(30) + b"1".rjust(10)) + END,
        "isiri-nul": b"\x03" + answered + listing_line(b"FILE", b"a\x80b", b"1") + END,
        "isiri": b"\x03" + answered + listing_line(b"FILE", b"\xa9\xa9", b"1") + listing_line(b"DIR ", b"\xae\xa9", b"1")
        + END,
        "utf8-cut": b"\x02" + answered + frame(b"FILE" + ("\u00e9" * 15).encode()[:30] + b"x" * 11) + END,
        "gb18030": b"\x06" + answered + listing_line(b"FILE", b"\x81\x30\x81\x30\xa1", b"1") + END,
        "iso-2022-jp": b"\x07" + answered + listing_line(b"FILE", b"\x1b$B$\"\x1b(B", b"1") + END,
        "damaged-lines": b"\x00" + answered + damaged(b"FILE".ljust(45)) * 6,
        "damaged-end": b"\x00" + answered + lines + damaged(b"END".ljust(45)),
        "no-end": b"\x00" + answered + lines,
        "refused": b"\x00" + raw(bytes([NAK])) + answered + lines + END,
    }


def header_seeds():
    names = [b"x", b".", b"..", b"\xae", b"a\xaeb", b"%s%n", b"-", b"n" * 58, b"l" * 300, b"\xff\xfe",
             b"nodir/x", b"", b"d/..", b"d/e", b"d", b"up", b"../x", b"/x"]
    numbers = [b"0 0", b"-0 1", b"00 5", b"1 0", b"-1 0", b"0 1023", b"0 1024", b"2147483647 0", b"2147483648 0",
               b"-2147483648 0", b"99999999999999999999 0", b"+3 1", b"0x10 0", b"3abc 1", b""]
    seeds = {}
    for index, name in enumerate(names):
        seeds[f"service-name-{index:02d}"] = b"\x00" + header(name + b" 0 2") + frame(b"ok")
    for index, number in enumerate(numbers):
        seeds[f"service-numbers-{index:02d}"] = b"\x00" + header(b"x " + number) + frame(b"z")
    seeds.update({
        "service-blocks": b"\x00" + header(b"x 2 1") + frame(bytes(1024)) + frame(bytes([1]) * 1024) + frame(b"!"),
        "service-repeat": b"\x00" + header(b"x 2 0") + frame(bytes(1024)) + frame(bytes(1024), 55) + frame(bytes(1024)),
        "service-damaged-block": b"\x00" + header(b"x 1 0") + damaged(bytes(1024)) + frame(bytes(1024), LIMIT),
        "service-too-much": b"\x00" + header(b"x 0 3") + frame(b"abc") + raw(b"\x02\x02", 0),
        "service-newcomer": b"\x00" + header(b"x 1 0") + frame(IDENT),
        "service-damaged-header": b"\x00" + damaged(padded(b"x 0 1", 60)),
        "service-isiri": b"\x06" + header(b"\xa9\xa9/x 0 1") + frame(b"x"),
        "customer": b"\x01" + raw(bytes([ACK])) + header(b"a 0 10") + frame(b"0123456789"),
        "customer-over-file": b"\x11" + raw(bytes([ACK])) + header(b"a 0 10") + frame(b"0123456789"),
        "customer-other-name": b"\x01" + raw(bytes([ACK])) + header(b"../../etc/passwd 0 2") + frame(b"no"),
        "customer-blocks": b"\x01" + raw(bytes([ACK])) + header(b"a 1 2") + frame(bytes(1024)) + frame(b"ab"),
        "customer-short": b"\x11" + raw(bytes([ACK])) + header(b"a 1 2") + frame(b"ab"),
        "customer-refusal": b"\x11" + raw(bytes([ACK])) + frame(b"-"),
        "customer-huge": b"\x01" + raw(bytes([ACK])) + header(b"a 2147483647 1023"),
    })
    return seeds


def charset():
    names = {
        "ascii": b"plain.txt",
        "latin1-in": b"caf\xe9",
        "utf8-out": "caf\u00e9".encode(),
        "bidi-out": "evil\u202etxt.exe".encode(),
        "controls": b"\x1b[2J\x1bc\r\n\t\x7f\xc2\x85",
        "invalid": b"\xff\xfe\xc0\xaf\xed\xa0\x80",
        "isiri": b"\xa9\xa9/\xae",
        "gb18030": b"\x81\x30\x81\x30\xa1\xa1",
        "iso-2022-jp": b"\x1b$B$\"\x1b(B",
        "nul": b"a\x00b",
    }
    seeds = {}
    for choice in range(8):
        for label, name in names.items():
            for direction in (0, 8):
                if (label.endswith("-out")) != (direction == 8):
                    continue
                seeds[f"{choice}-{label}"] = bytes([choice | direction]) + name
    return seeds


def settings():
    return {
        "typical": b"# my line\nline = /dev/ttyUSB0\nunit = 0\nbaud = 115200\ncharset = ISO-8859-15\noverwrite = on\n",
        "blank-and-comments": b"\n   \n# nothing\n\t# indented\n",
        "unknown": b"colour = red\n",
        "no-equals": b"line /dev/ttyS0\n",
        "bad-values": b"unit = -1\nbaud = fast\n",
        "charset": b"charset = UTF-16\n",
        "nul": b"line = /dev/x\x00y\n",
        "crlf": b"line = tcp:host:2000\r\nbaud = 9600\r\n",
        "overwrite": b"overwrite = maybe\n",
        "long-line": b"line = " + b"x" * 4000 + b"\n",
    }


def script():
    return {
        "batch": b"\x01pwd\nls -l\nget a.txt b.txt\n# a comment\ncd 'with space'; ls --json\n-cd nowhere\n!ls -l\n",
        "quotes": b"\x01get \"a \\\" b\" $'c\\x1b\\n\\t\\'d' 'e f'\\ g\n",
        "open-quote": b"\x01get 'a\n",
        "unknown": b"\x01\x1b[2J\x1bc\n",
        "many": b"\x01mget -f -n '*.txt' '[a-z]?'\nmput *.c\nget -r -n docs here\nput -r dir there\n"
                b"baud 115200\nlcd /tmp\nlls -l\nlmkdir x\nset overwrite on\nhelp get\n?\nbye\nshutdown\n",
        "bad-arguments": b"\x01get\nbaud fast\nset overwrite maybe\ncd " + b"x" * 70 + b"\n",
        "nul": b"\x01pwd\x00ls\n",
        "words": b"\x00get\na.txt;\nls\n;\ncd\nsub; get b\n!echo\nhi\n",
        "words-marks": b"\x00-cd\nx\n;\n-!false\n;\npwd",
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data)


def main():
    write("frame", frame_seeds())
    write("command_loop", command_loop())
    write("identification", identification())
    write("listing", listing())
    write("header", header_seeds())
    write("charset", charset())
    write("settings", settings())
    write("script", script())


if __name__ == "__main__":
    main()
