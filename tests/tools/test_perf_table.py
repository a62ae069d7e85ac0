"""Tests of bench/perf-table's own logic: pairing the simulator's records into SNMP phases, the scale runs'
printer lists, and reading audit_repeat's lines."""

import ipaddress
import json
import os
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))

from perf_table import common  # noqa: E402


def request(endpoint, arrived, answered):
    return {"kind": "request", "endpoint": endpoint, "arrived": arrived, "answered": answered}


class AuditPhasesTest(unittest.TestCase):
    def test_each_upload_is_measured_from_the_answer_of_its_own_fetch(self):
        records = [
            request("login", 1.0, 1.1), request("fetch", 1.2, 1.5), request("update", 1.75, 1.9),
            request("logout", 2.0, 2.1),
            request("login", 3.0, 3.1), request("fetch", 3.2, 3.4), request("fetch", 3.5, 3.6),
            request("update", 3.85, 4.0),
            request("update", 5.0, 5.1),  # no fetch of its own: not an audit's phase
            request("fetch", 6.0, None), request("update", 6.5, 6.6),  # fetch answer never completed
        ]
        phases = common.audit_phases(records)
        self.assertEqual(len(phases), 2)
        self.assertAlmostEqual(phases[0], 250.0)
        self.assertAlmostEqual(phases[1], 250.0, msg="the latest fetch before the upload counts")


class PrinterListTest(unittest.TestCase):
    def test_printers_are_realistic_and_on_refusing_loopback_addresses_only(self):
        count = 1200
        text, expected = common.realistic_items(count)
        items = json.loads(text)
        self.assertEqual(len(items), count)
        self.assertTrue(550 <= len(text.encode("utf-8")) / count <= 700, len(text) / count)
        addresses = [ipaddress.IPv4Address(p["ip"]) for p in items.values()]
        self.assertEqual(len(set(addresses)), count)
        self.assertTrue(all(a in ipaddress.IPv4Network("127.0.0.0/8") for a in addresses))
        self.assertFalse(any(a in ipaddress.IPv4Network("127.0.0.0/24") for a in addresses),
                         "fleet agents and the harness's addresses live in 127.0.0.0/24")
        self.assertEqual([e["cid"] for e in expected], [p["id"] for p in items.values()])
        self.assertEqual([e["position"] for e in expected], list(range(count)))
        self.assertEqual(set(items["10005"]) - {"model", "location", "community", "active", "lastreading", "notes"},
                         {"id", "ip", "serial", "lifecount", "lifecountcolor", "lifecountmono", "lifecountcolorbig",
                          "lifecountmonobig", "scancount"})

    def test_a_list_that_would_leave_loopback_is_refused(self):
        self.assertEqual(common.refusing_address(49999), "127.0.196.81")
        with self.assertRaises(ValueError):
            common.refusing_address(1 << 24)


class AuditRepeatLinesTest(unittest.TestCase):
    def test_figures_of_every_run_line(self):
        text = "run 1 fds 4 rss_kb 3844 ms 9.812 hwm_kb 4044\nnoise\nrun 2 fds 5 rss_kb 3900\n"
        self.assertEqual(common.parse_runs(text), [
            {"run": 1, "fds": 4, "rss_kb": 3844, "ms": 9.812, "hwm_kb": 4044},
            {"run": 2, "fds": 5, "rss_kb": 3900},
        ])

    def test_benchmark_names_lose_their_option_parts(self):
        self.assertEqual(common.plain_name("BM_FleetRawUdpFloor/min_time:0.500"), "BM_FleetRawUdpFloor")
        self.assertEqual(common.plain_name("BM_ParsePrinterList/2000/real_time"), "BM_ParsePrinterList/2000")


if __name__ == "__main__":
    unittest.main()


def load_site_fleet():
    """tools/site-fleet (a script without .py) as a module."""
    import types
    path = os.path.join(ROOT, "tools", "site-fleet")
    module = types.ModuleType("site_fleet")
    module.__file__ = path
    with open(path) as handle:
        exec(compile(handle.read(), path, "exec"), module.__dict__)
    return module


class SiteFleetTest(unittest.TestCase):
    """tools/site-fleet's list and answers, as the field section relies on them."""

    @classmethod
    def setUpClass(cls):
        cls.site = load_site_fleet()

    def test_every_stretch_of_the_list_has_the_mix_of_the_whole(self):
        kinds = self.site.spread({"answering": 800, "silent": 100, "refusing": 100})
        self.assertEqual(len(kinds), 1000)
        for start in range(0, 1000, 100):
            part = kinds[start:start + 100]
            self.assertEqual((part.count("answering"), part.count("silent"), part.count("refusing")), (80, 10, 10))
        self.assertNotEqual(kinds[:10].count("silent"), 0)

    def test_addresses_stay_on_loopback_and_skip_0_and_255(self):
        where = self.site.addresses("127.1.0.250", 10)
        self.assertEqual(where[:5], ["127.1.0.250", "127.1.0.251", "127.1.0.252", "127.1.0.253", "127.1.0.254"])
        self.assertEqual(where[5], "127.1.1.1")
        for address in where:
            self.assertTrue(ipaddress.ip_address(address).is_loopback)

    def test_answers_a_get_request_with_its_request_id_and_the_counter(self):
        site = self.site
        oid = site.oid_content("1.3.6.1.2.1.43.10.2.1.4.1.1")
        values = {oid: 4294967295}

        def get(community, identifier, request_id=b"\x00"):
            binding = site.tlv(0x30, site.tlv(0x06, identifier) + b"\x04\x00")
            pdu = site.tlv(0x02, request_id) + b"\x02\x01\x00\x02\x01\x00" + site.tlv(0x30, binding)
            return site.tlv(0x30, b"\x02\x01\x00" + site.tlv(0x04, community) + site.tlv(0xA0, pdu))

        reply = site.answer(get(b"quarno", oid, b"\x01\x02"), values)
        self.assertTrue(reply.endswith(site.tlv(0x06, oid) + b"\x41\x05\x00\xff\xff\xff\xff"))
        self.assertIn(site.tlv(0x02, b"\x01\x02") + b"\x02\x01\x00", reply)  # its request id, status 0
        self.assertIn(b"\xa2", reply)
        other = site.answer(get(b"quarno", site.oid_content("1.3.6.1.2.1.1.1.0")), values)
        self.assertIn(b"\x02\x01\x00\x02\x01\x02\x02\x01\x01", other)  # request id 0, noSuchName, index 1
        self.assertIsNone(site.answer(get(b"public", oid), values))
        self.assertIsNone(site.answer(b"\x30\x03\x02\x01", values))
