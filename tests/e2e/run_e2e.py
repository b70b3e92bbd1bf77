#!/usr/bin/env python3
"""Runs the end-to-end suites against a server executable.

    run_e2e.py --server build/debug/velantis-server [--wine] [--trusted] [suite ...] [-k PATTERN]
    run_e2e.py --server /usr/bin/velantis-server --service-unit UNIT [--service-user USER] ...
    run_e2e.py --server PATH --container IMAGE [--container-network NET --server-host ADDR] ...
    run_e2e.py --server WRAPPER --emulated ...     (WRAPPER runs the arm64 server under qemu-user)

A suite is a module of this folder (test_startup, test_protocol, test_descriptors, test_agones,
test_soak, test_service); without one, every suite but the soak runs (and test_service with
--service-unit).
"""

import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
QUICK_SUITES = ["test_startup", "test_protocol", "test_descriptors", "test_agones"]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", required=True, help="path of the server executable")
    parser.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    parser.add_argument("--trusted", action="store_true",
                        help="run every server with --trust-sources (the open behaviour)")
    parser.add_argument("--emulated", action="store_true",
                        help="the server is a wrapper that runs it under qemu-user: what qemu does "
                             "not pass through to the kernel is not checked")
    parser.add_argument("--service-unit", metavar="UNIT",
                        help="run the server as this systemd unit would (installed package)")
    parser.add_argument("--service-user", metavar="USER", default="nobody",
                        help="the unprivileged user that stands for the unit's dynamic user")
    parser.add_argument("--container", metavar="IMAGE",
                        help="run each server as a podman container of this image")
    parser.add_argument("--container-network", metavar="NETWORK",
                        help="podman's --network for the containers (default: publish the port)")
    parser.add_argument("--server-host", metavar="ADDR",
                        help="the address the server is reached at (default 127.0.0.1)")
    parser.add_argument("-k", dest="patterns", action="append", default=None,
                        help="only tests whose name matches (unittest -k)")
    parser.add_argument("suites", nargs="*")
    args = parser.parse_args()
    if not args.suites:
        args.suites = QUICK_SUITES + (["test_service"] if args.service_unit else [])

    os.environ["VELANTIS_SERVER"] = os.path.abspath(args.server)
    if args.wine:
        os.environ["VELANTIS_E2E_WINE"] = "1"
    if args.emulated:
        os.environ["VELANTIS_E2E_EMULATED"] = "1"
    if args.trusted:
        os.environ["VELANTIS_E2E_TRUSTED"] = "1"
    if args.container:
        os.environ["VELANTIS_E2E_CONTAINER"] = args.container
    if args.container_network:
        os.environ["VELANTIS_E2E_CONTAINER_NETWORK"] = args.container_network
    if args.server_host:
        os.environ["VELANTIS_E2E_SERVER_HOST"] = args.server_host
    if args.service_unit:
        os.environ["VELANTIS_E2E_SERVICE_UNIT"] = os.path.abspath(args.service_unit)
        os.environ["VELANTIS_E2E_SERVICE_USER"] = args.service_user
    # Keep the source folder clean of compiled modules.
    sys.dont_write_bytecode = True
    sys.path.insert(0, HERE)
    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = [p if "*" in p else f"*{p}*" for p in args.patterns]
    suite = loader.loadTestsFromNames(args.suites)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
