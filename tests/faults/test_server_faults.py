"""Fault matrix, contract server side: what only the real process shows. A server that sends a body of
100 MB and then an endless chunked answer must leave the program's own peak memory bounded; the run ends in
time, logs both failures, logs out, and the service stops on SIGTERM with exit status 0. The other server
faults (refusals, resets, redirects, hangs, expired sessions, header injection) are tested in-process against
the same simulator (tests/run/server_faults_test.cpp).
"""

import time
import unittest

import faults_common as fc
from faults_common import FETCH, LOGOUT, harness


class ServerFaults(fc.FaultCase):
    def start(self, behaviours=(), printers=None):
        """Simulator with the behaviours [(endpoint, action, parameters)], then the service."""
        if printers is None:
            printers = harness.PrinterList()
            printers.add_silent()
        self.printers = printers
        server = self.scene.start_server(printers)
        for endpoint, action, parameters in behaviours:
            server.set_behaviour(endpoint, action, **parameters)
        self.started = time.monotonic()
        service = self.start_service()
        return server, service

    def wait_logout_request(self, server, service, timeout):
        """Seconds from the service's start to its logout request."""
        harness.wait_until(lambda: "logout" in server.endpoints() or not service.running(), timeout,
                           what="the logout request")
        return time.monotonic() - self.started

    def test_huge_and_endless_answers_keep_memory_bounded(self):
        server, service = self.start([("fetch", "huge", {"bytes": 100 * 1000 * 1000}),
                                      ("logout", "chunked", {"endless": True, "chunk": 16384})])
        self.assertLess(self.wait_logout_request(server, service, 120), 120)
        service.wait_for_log(fc.PREFIX + LOGOUT, timeout=60)
        peak = harness.peak_rss_kb(service.pid)
        print("peak RSS after a 100 MB body and an endless chunked body: %d KiB" % peak)
        self.assertLess(peak, fc.PEAK_RSS_LIMIT_KB)
        text = service.log.text()
        too_large = "Answer larger than 67108864 bytes (%s)" % server.address
        self.assert_failure_lines(text, FETCH, too_large)
        self.assert_failure_lines(text, LOGOUT, too_large)
        self.assertEqual(server.endpoints(), ["login", "fetch", "logout"])
        self.assert_ready_and_stop(service)


if __name__ == "__main__":
    unittest.main()
