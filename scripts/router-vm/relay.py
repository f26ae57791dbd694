#!/usr/bin/env python3
"""The one way out of the emulated router: qemu's user network (restrict=on) runs this for each
connection the guest opens to the rule server's address, with the connection on standard input
and output, and it carries the bytes to and from the host's rule server at 127.0.0.1:PORT.

  relay.py PORT"""
import os, select, socket, sys

def main():
    server = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
    server.settimeout(None)
    guest_in, guest_out = 0, 1
    open_ends = {guest_in, server.fileno()}
    while open_ends:
        ready, _, _ = select.select(list(open_ends), [], [], 120)
        if not ready:
            return  # a stalled connection ends here, as the server's own time-outs would end it
        for fd in ready:
            data = os.read(fd, 65536)
            if fd == guest_in:
                if data:
                    server.sendall(data)
                else:
                    open_ends.discard(fd)
                    server.shutdown(socket.SHUT_WR)
            elif data:
                while data:
                    data = data[os.write(guest_out, data):]
            else:
                return  # the server is done: the guest sees the connection end

main()
