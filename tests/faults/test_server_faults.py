"""Fault matrix, contract server side: the real service against a misbehaving simulator.

Each case checks that the run ends in time, the log says what happened, every session obtained is logged
out, and the service then stops on SIGTERM with its stop line and exit status 0. Cases that take minutes
(never answering: the 60 s idle limit; dripping: the 300 s total limit) run with TELVA_SLOW_FAULTS=1.
"""

import socket
import time
import unittest

import faults_common as fc
from faults_common import FETCH, LOGIN, LOGOUT, UPDATE, harness


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

    def test_connection_refused(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed_port = probe.getsockname()[1]
        self.started = time.monotonic()
        service = self.start_service(server_address="127.0.0.1:%d" % closed_port)
        service.wait_for_log("Erro no login", timeout=30)
        self.assertLess(time.monotonic() - self.started, 30)
        text = service.log.text()
        self.assert_failure_lines(text, LOGIN)
        self.assertNotIn("Printer count", text)
        self.assert_ready_and_stop(service)

    def test_reset_mid_answer_then_redirect(self):
        server, service = self.start([("fetch", "close_mid", {"bytes": 10, "reset": True}),
                                      ("logout", "redirect", {"location": "http://127.0.0.1:9/visited"})])
        self.assertLess(self.wait_logout_request(server, service, 60), 60)
        service.wait_for_log("Logout TELVA ok", timeout=30)
        text = service.log.text()
        self.assertIn("Login TELVA ok", text)
        self.assert_failure_lines(text, FETCH)
        self.assert_failure_lines(text, LOGOUT)  # a 302 has no answer text
        self.assertNotIn("Printer count", text)
        # A failed logout still ends the session on this side, and says so.
        self.assertIn("Logout TELVA ok", text)
        self.assertEqual(server.endpoints(), ["login", "fetch", "logout"])
        self.assert_ready_and_stop(service)

    def test_huge_and_endless_answers_keep_memory_bounded(self):
        server, service = self.start([("fetch", "huge", {"bytes": 100 * 1000 * 1000}),
                                      ("logout", "chunked", {"endless": True, "chunk": 16384})])
        self.assertLess(self.wait_logout_request(server, service, 120), 120)
        service.wait_for_log(fc.PREFIX + LOGOUT, timeout=60)
        peak = harness.peak_rss_kb(service.pid)
        print("peak RSS after a 100 MB body and an endless chunked body: %d KiB" % peak)
        self.assertLess(peak, fc.PEAK_RSS_LIMIT_KB)
        text = service.log.text()
        self.assert_failure_lines(text, FETCH)
        self.assert_failure_lines(text, LOGOUT)
        self.assertEqual(server.endpoints(), ["login", "fetch", "logout"])
        self.assert_ready_and_stop(service)

    def test_server_error_envelope_then_invalid_json(self):
        printers = harness.PrinterList()
        printers.add_silent()
        printers.add_unresolvable()
        server, service = self.start([("update", "error500", {}), ("logout", "malformed", {})], printers)
        self.wait_logout_request(server, service, 60)
        service.wait_for_log(fc.PREFIX + LOGOUT, timeout=30)
        text = service.log.text()
        self.assertIn("Printer count 2", text)
        self.assertIn("Update()", text)
        self.assert_failure_lines(text, UPDATE)  # a 500 has no answer text, also with an envelope
        self.assert_failure_lines(text, LOGOUT, '{"status":"SUCCESS","data":{')
        self.assertEqual(server.endpoints(), ["login", "fetch", "update", "logout"])
        upload = server.uploads()[-1]
        self.assertTrue(upload["layout_ok"], upload["layout_problem"])
        self.assertEqual(upload["printers"], printers.expected_upload())
        self.assert_ready_and_stop(service)

    def test_sign_in_required_after_login(self):
        server, service = self.start([("fetch", "expire", {}), ("logout", "expire", {})])
        self.wait_logout_request(server, service, 60)
        harness.wait_until(lambda: len(server.endpoints()) >= 7, 30, what="the logout's re-login and re-post")
        self.assert_ready_and_stop(service)
        # One re-login per call, and each call sends its form at most twice (nothing more came before the
        # process ended).
        self.assertEqual(server.endpoints(), ["login", "fetch", "login", "fetch", "logout", "login", "logout"])
        text = service.log.text()
        self.assertEqual(text.count("Login TELVA ok"), 3)
        self.assertNotIn("Printer count", text)
        self.assertEqual(text.count("Logout TELVA ok"), 1)

    def test_sign_in_required_on_every_answer(self):
        server, service = self.start([("*", "expire", {})])
        service.wait_for_log("Erro no login", timeout=30)
        self.assert_ready_and_stop(service)
        # The login's re-login is its own login request; it does not start another one (nothing more came
        # before the process ended).
        self.assertEqual(server.endpoints(), ["login", "login"])
        self.assertNotIn("Login TELVA ok", service.log.text())

    def test_session_id_with_line_break_injects_no_header(self):
        server, service = self.start([("login", "crlf_session", {"where": "both"})])
        service.wait_for_log("Logout TELVA ok", timeout=60)
        requests = server.requests()
        self.assertEqual([r["endpoint"] for r in requests], ["login", "fetch", "update", "logout"])
        for request in requests[1:]:
            self.assertEqual(request["mode"], "session")
            self.assertTrue(request["session_valid"], request["head_raw"])
            names = [name.lower() for name, _ in request["headers"]]
            self.assertFalse([n for n in names if n.startswith("x-injected")], request["head_raw"])
            self.assertNotIn("\r\nX-Injected", request["head_raw"])
            self.assertEqual(names.count("zurmo_session_id"), 1)
        self.assertTrue(server.uploads()[-1]["accepted"])
        self.assert_ready_and_stop(service)

    @unittest.skipUnless(fc.SLOW, "takes about 7 minutes; set TELVA_SLOW_FAULTS=1")
    def test_never_answers_then_drips(self):
        server, service = self.start([("fetch", "hang", {"seconds": 600}), ("logout", "drip", {"interval": 30})])
        service.wait_for_log(fc.PREFIX + FETCH, timeout=fc.HTTP_IDLE_S + 30)
        fetch_failed = time.monotonic() - self.started
        print("fetch that never answers failed after %.1f s" % fetch_failed)
        self.assertGreaterEqual(fetch_failed, fc.HTTP_IDLE_S - 1)
        self.assertLess(fetch_failed, fc.HTTP_IDLE_S + 15)
        service.wait_for_log(fc.PREFIX + LOGOUT, timeout=fc.HTTP_TOTAL_S + 60)
        logout_failed = time.monotonic() - self.started - fetch_failed
        print("logout dripping one byte every 30 s failed after %.1f s" % logout_failed)
        self.assertGreaterEqual(logout_failed, fc.HTTP_TOTAL_S - 1)
        self.assertLess(logout_failed, fc.HTTP_TOTAL_S + 15)
        text = service.log.text()
        self.assert_failure_lines(text, FETCH)
        self.assert_failure_lines(text, LOGOUT)
        self.assertIn("Logout TELVA ok", text)
        self.assertEqual(server.endpoints(), ["login", "fetch", "logout"])
        self.assert_ready_and_stop(service)


if __name__ == "__main__":
    unittest.main()
