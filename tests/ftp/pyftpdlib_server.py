"""A pyftpdlib server on 127.0.0.1 for tests and benchmarks.

Usage: pyftpdlib_server.py USER PASSWORD ROOT [CERT KEY]
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
    user, password, root = sys.argv[1:4]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    if len(sys.argv) >= 6:
        handler = TLS_FTPHandler
        handler.certfile, handler.keyfile = sys.argv[4], sys.argv[5]
        handler.tls_control_required = True
        handler.tls_data_required = True
    handler.authorizer = authorizer
    # A refused login is answered at once: the tests and the benchmark have no use for the delay.
    handler.auth_failed_timeout = 0
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", 0), handler)
    print(server.address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
