#!/usr/bin/env python3
"""A server that takes TCP connections and never says a word: a machine
whose SMB service hangs. Usage: hung_server.py ADDRESS PORT [PORT...]"""
import selectors
import socket
import sys

MAX_HELD = 512  # connections kept open; the oldest goes when more arrive


def main():
    address, ports = sys.argv[1], [int(p) for p in sys.argv[2:]]
    selector = selectors.DefaultSelector()
    for port in ports:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(64)
        selector.register(listener, selectors.EVENT_READ, "listener")
    held = []
    while True:
        for key, _ in selector.select():
            if key.data == "listener":
                connection, _ = key.fileobj.accept()
                held.append(connection)
                selector.register(connection, selectors.EVENT_READ, "peer")
                if len(held) > MAX_HELD:
                    oldest = held.pop(0)
                    selector.unregister(oldest)
                    oldest.close()
            else:
                # Swallow whatever arrives; close when the peer goes.
                data = b""
                try:
                    data = key.fileobj.recv(65536)
                except OSError:
                    pass
                if not data:
                    selector.unregister(key.fileobj)
                    held.remove(key.fileobj)
                    key.fileobj.close()


if __name__ == "__main__":
    main()
