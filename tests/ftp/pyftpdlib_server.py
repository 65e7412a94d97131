"""A pyftpdlib server on loopback for tests and benchmarks.

Usage: pyftpdlib_server.py [--host=ADDRESS] USER PASSWORD ROOT [CERT KEY]
ADDRESS is 127.0.0.1 unless given (::1 for IPv6).
With CERT and KEY it requires explicit TLS on the control and the data connections.
Prints the port it listens on (chosen by the system) on the first line of standard output once it
accepts connections, then serves until it is terminated.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    args = sys.argv[1:]
    host = "127.0.0.1"
    if args and args[0].startswith("--host="):
        host = args.pop(0)[len("--host="):]
    user, password, root = args[0:3]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    if len(args) >= 5:
        handler = TLS_FTPHandler
        handler.certfile, handler.keyfile = args[3], args[4]
        handler.tls_control_required = True
        handler.tls_data_required = True
    handler.authorizer = authorizer
    # A refused login is answered at once: the tests and the benchmark have no use for the delay.
    handler.auth_failed_timeout = 0
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer((host, 0), handler)
    print(server.address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
