#!/usr/bin/python3
"""A client of the browser view that is not the browser: opens the view's WebSocket
at URL (ws://HOST:PORT/PATH) with the given Origin, as a page of any site or any user
of the machine could, and says what it got: "screen" when the VNC server's greeting
came through, or "refused REASON"."""
import base64
import os
import socket
import sys
from urllib.parse import urlsplit

url, origin = sys.argv[1], sys.argv[2]
parts = urlsplit(url)
path = parts.path + ("?" + parts.query if parts.query else "")
try:
    s = socket.create_connection((parts.hostname, parts.port), timeout=20)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: binary\r\n"
               "Origin: %s\r\n\r\n" % (path, parts.netloc, key, origin)).encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = head.split(b"\r\n", 1)[0].decode(errors="replace")
    if " 101 " not in status + " ":
        print("refused", status or "(connection closed)")
        sys.exit(0)
    # The first frame from the server: unmasked, short, the server's greeting.
    while len(rest) < 2 or len(rest) < 2 + (rest[1] & 0x7f):
        chunk = s.recv(4096)
        if not chunk:
            print("refused after the upgrade")
            sys.exit(0)
        rest += chunk
    payload = rest[2:2 + (rest[1] & 0x7f)]
    print("screen" if payload.startswith(b"RFB ") else "refused: %r" % payload)
except OSError as e:
    print("refused", e)
