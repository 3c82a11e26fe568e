"""Writes one real RTM_GETLINK dump, in the fuzz target's input format, to the file named."""
import socket
import struct
import sys

RTM_GETLINK, NLMSG_ERROR, NLMSG_DONE = 18, 2, 3
IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS = 29, 8
# The request lsmac makes.
request = struct.pack("=IHHII", 40, RTM_GETLINK, 0x301, 1, 0) + bytes(16) + struct.pack(
    "=HHI", 8, IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS)
sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
sock.sendto(request, (0, 0))
framed = bytearray()
done = False
while not done:
    datagram = sock.recv(65536)
    framed += struct.pack("<HB", len(datagram), 0) + datagram
    offset = 0
    while offset + 16 <= len(datagram):
        length, kind = struct.unpack_from("=IH", datagram, offset)
        done = done or kind in (NLMSG_ERROR, NLMSG_DONE)
        offset += max((length + 3) & ~3, 16)
with open(sys.argv[1], "wb") as seed:
    seed.write(framed)
