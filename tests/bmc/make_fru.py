#!/usr/bin/env python3
"""Writes fru.bin, the FRU inventory of the test BMC (FRU device 0).

Layout per the IPMI Platform Management FRU Information Storage
Definition v1.0: common header, board info area, product info area,
padded to the 256 bytes that bmc.emu declares.  Run it from this
directory after changing a value and commit the result:

    python3 make_fru.py            # writes fru.bin next to this script
"""
import datetime
import os
import sys

FRU_SIZE = 256

# Board manufacturing date.  The FRU counts minutes since 1996-01-01 00:00;
# ipmiutil prints it converted to local time, so with TZ=UTC as written here.
MFG_DATE = datetime.datetime(2021, 6, 15, 8, 30)

BOARD = {
    "manufacturer": "Corvantis",
    "product": "D2D Mainboard",
    "serial": "CVB0001234",
    "part": "CV-MB-0100",
    "file_id": "fru-v1",
}
PRODUCT = {
    "manufacturer": "Corvantis",
    "name": "D2D Backup Appliance",
    "part": "CV-D2D-4000",
    "version": "1.0",
    "serial": "CVA0004321",
    "asset": "",
    "file_id": "fru-v1",
}


def checksum(data):
    """Byte that makes the sum of data plus itself zero modulo 256."""
    return (-sum(data)) & 0xFF


def field(text):
    """8-bit ASCII type/length byte (0xC0 | length) followed by the text."""
    raw = text.encode("ascii")
    if len(raw) > 63:
        sys.exit("field too long: %r" % text)
    return bytes([0xC0 | len(raw)]) + raw


def area(body):
    """Closes an info area: end marker 0xC1, pad to 8 bytes, checksum."""
    data = bytearray(body) + b"\xc1"
    while (len(data) + 1) % 8:
        data.append(0)
    data[1] = (len(data) + 1) // 8  # area length in multiples of 8 bytes
    data.append(checksum(data))
    return bytes(data)


def board_area():
    minutes = int((MFG_DATE - datetime.datetime(1996, 1, 1)).total_seconds() // 60)
    body = bytearray([0x01, 0x00, 0x00])  # version, length (set later), English
    body += minutes.to_bytes(3, "little")
    for key in ("manufacturer", "product", "serial", "part", "file_id"):
        body += field(BOARD[key])
    return area(body)


def product_area():
    body = bytearray([0x01, 0x00, 0x00])  # version, length (set later), English
    for key in ("manufacturer", "name", "part", "version", "serial", "asset", "file_id"):
        body += field(PRODUCT[key])
    return area(body)


def main():
    board = board_area()
    product = product_area()
    board_off = 8
    product_off = board_off + len(board)
    header = bytearray([0x01, 0, 0, board_off // 8, product_off // 8, 0, 0])
    header.append(checksum(header))
    image = bytes(header) + board + product
    if len(image) > FRU_SIZE:
        sys.exit("FRU image larger than %d bytes" % FRU_SIZE)
    image += b"\x00" * (FRU_SIZE - len(image))
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fru.bin")
    with open(out, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    main()
