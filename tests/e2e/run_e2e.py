#!/usr/bin/env python3
"""Runs the end-to-end suites against a server executable.

    run_e2e.py --server build/debug/velantis-server [--wine] [suite ...] [-k PATTERN]

A suite is a module of this folder (test_startup, test_protocol, test_descriptors, test_soak);
without one, every suite but the soak runs.
"""

import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
QUICK_SUITES = ["test_startup", "test_protocol", "test_descriptors"]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", required=True, help="path of the server executable")
    parser.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    parser.add_argument("-k", dest="patterns", action="append", default=None,
                        help="only tests whose name matches (unittest -k)")
    parser.add_argument("suites", nargs="*", default=QUICK_SUITES)
    args = parser.parse_args()

    os.environ["VELANTIS_SERVER"] = os.path.abspath(args.server)
    if args.wine:
        os.environ["VELANTIS_E2E_WINE"] = "1"
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
