"""The soak's checker (bench/soak) against hand-made logs: a faithful event
stream passes, and each kind of fault the soak exists to catch is reported."""

import importlib.machinery
import importlib.util
import json
import os
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def load_soak():
    path = os.path.join(ROOT, "bench", "soak")
    loader = importlib.machinery.SourceFileLoader("sockvane_soak", path)
    spec = importlib.util.spec_from_loader("sockvane_soak", loader)
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    return mod


soak = load_soak()

T0 = float(int(time.time()) - 3600)
LISTEN = ("127.0.0.2", 29101)
CLIENT_PID, SERVER_PID = 4001, 4002


def hms(t):
    lt = time.localtime(t)
    return "%02d:%02d:%02d.%03d" % (lt.tm_hour, lt.tm_min, lt.tm_sec, int((t - int(t)) * 1000))


def conn(cport, t_open, t_close):
    return {"type": "conn", "kind": "churn", "client_pid": CLIENT_PID,
            "client_process": "python3.11", "client_addr": "127.0.1.1", "client_port": cport,
            "client_open": t_open, "client_close": t_close, "server_pid": SERVER_PID,
            "server_process": "python3.11", "server_addr": LISTEN[0], "server_port": LISTEN[1],
            "server_open": t_open + 0.001, "server_close": t_close + 0.002,
            "open": t_open, "close": t_close + 0.002}


def event(kind, t, pid, src, sport, dst, dport, state="ESTABLISHED", age=0, process=None):
    return {"time": hms(t), "event": kind, "proto": "TCP", "pid": str(pid),
            "process": process or ("unknown" if pid == 0 else "python3.11"),
            "src_ip": src, "src_port": sport, "dst_ip": dst, "dst_port": dport,
            "state": state, "age_seconds": age}


def faithful(c, seen=0.05, gone=0.05):
    """The events a correct poller writes for both ends of connection c."""
    out = []
    for pid, src, sport, dst, dport, t_open, t_close in (
            (c["client_pid"], c["client_addr"], c["client_port"], c["server_addr"],
             c["server_port"], c["client_open"], c["client_close"]),
            (c["server_pid"], c["server_addr"], c["server_port"], c["client_addr"],
             c["client_port"], c["server_open"], c["server_close"])):
        t_new = t_open + seen
        t_closed = t_close + gone
        out.append(event("new", t_new, pid, src, sport, dst, dport))
        out.append(event("closed", t_closed, pid, src, sport, dst, dport,
                         age=int(t_closed - t_new)))
    return out


class SoakChecker(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.conns = [conn(40000, T0 + 10, T0 + 12.5), conn(40001, T0 + 11, T0 + 11.8),
                      conn(40002, T0 + 12, T0 + 15)]

    def tearDown(self):
        self.dir.cleanup()

    def run_check(self, events, conns=None):
        log = os.path.join(self.dir.name, "conns.jsonl")
        evp = os.path.join(self.dir.name, "events.jsonl")
        meta = {"type": "meta", "listeners": [{"addr": LISTEN[0], "port": LISTEN[1], "server": 0}],
                "processes": {}}
        with open(log, "w") as f:
            f.write(json.dumps(meta) + "\n")
            for c in conns or self.conns:
                f.write(json.dumps(c) + "\n")
        with open(evp, "w") as f:
            for e in events:
                f.write(json.dumps(e) + "\n")
        return soak.check(evp, log, 0.05, T0)

    def all_events(self):
        evs = []
        for c in self.conns:
            evs.extend(faithful(c))
        return evs

    def assertFault(self, events, words):
        errors, _ = self.run_check(events)
        self.assertTrue(errors, "fault not reported")
        self.assertTrue(any(words in e for e in errors), "%r not in %r" % (words, errors))

    def test_faithful_stream_passes(self):
        errors, fig = self.run_check(self.all_events())
        self.assertEqual(errors, [])
        self.assertEqual(fig["endpoints_expected"], 6)
        self.assertEqual(fig["endpoints_exact"], 6)

    def test_unrelated_traffic_is_ignored(self):
        evs = self.all_events() + [event("new", T0 + 11, 77, "127.0.0.1", 5000, "127.0.0.1", 6000)]
        self.assertEqual(self.run_check(evs)[0], [])

    def test_missing_closed(self):
        evs = [e for e in self.all_events()
               if not (e["event"] == "closed" and e["src_port"] == 40001)]
        self.assertFault(evs, "reported 1 x new, 0 x closed")

    def test_missing_new_of_server_end(self):
        evs = [e for e in self.all_events()
               if not (e["event"] == "new" and e["dst_port"] == 40002)]
        self.assertFault(evs, "first event 'closed'")

    def test_double_new(self):
        evs = self.all_events()
        evs.append(dict(evs[0], time=hms(T0 + 10.2)))
        self.assertFault(evs, "2 x new")

    def test_wrong_pid(self):
        evs = self.all_events()
        evs[0] = dict(evs[0], pid="4999")
        self.assertFault(evs, "wrong PID")

    def test_owned_endpoint_shown_without_owner(self):
        evs = self.all_events()
        evs.append(event("new", T0 + 11.0, 0, "127.0.1.1", 40000, LISTEN[0], LISTEN[1]))
        self.assertFault(evs, "PID 0 for an owned endpoint")

    def test_time_wait_without_owner_is_accepted(self):
        evs = self.all_events()
        evs.append(event("new", T0 + 12.6, 0, "127.0.1.1", 40000, LISTEN[0], LISTEN[1],
                         state="TIME_WAIT"))
        self.assertEqual(self.run_check(evs)[0], [])

    def test_wrong_process_name(self):
        evs = self.all_events()
        evs[1] = dict(evs[1], process="bash")
        self.assertFault(evs, "process 'bash'")

    def test_connection_that_never_existed(self):
        evs = self.all_events()
        evs.append(event("new", T0 + 11, CLIENT_PID, "127.0.1.1", 40999, LISTEN[0], LISTEN[1]))
        self.assertFault(evs, "did not exist")

    def test_event_outside_the_life_of_the_connection(self):
        evs = self.all_events()
        evs.append(event("new", T0 + 30, CLIENT_PID, "127.0.1.1", 40001, LISTEN[0], LISTEN[1]))
        self.assertFault(evs, "did not exist")

    def test_wrong_age_on_closed(self):
        evs = self.all_events()
        for i, e in enumerate(evs):
            if e["event"] == "closed" and e["src_port"] == 40002:
                evs[i] = dict(e, age_seconds=9)
        self.assertFault(evs, "closed with age 9")

    def test_state_event_without_a_change(self):
        evs = self.all_events()
        evs.insert(1, event("state", T0 + 10.5, CLIENT_PID, "127.0.1.1", 40000, LISTEN[0],
                            LISTEN[1], state="ESTABLISHED"))
        self.assertFault(evs, "state event without a change")

    def test_unreadable_line(self):
        evs = self.all_events()
        errors, _ = self.run_check(evs)
        self.assertEqual(errors, [])
        evp = os.path.join(self.dir.name, "events.jsonl")
        with open(evp, "a") as f:
            f.write("{not json\n")
        errors, _ = soak.check(evp, os.path.join(self.dir.name, "conns.jsonl"), 0.05, T0)
        self.assertTrue(any("unreadable" in e for e in errors))

    def test_foreign_lines_with_hostile_names_are_skipped(self):
        self.run_check(self.all_events())
        evp = os.path.join(self.dir.name, "events.jsonl")
        foreign = event("new", T0 + 11, 77, "127.0.0.1", 5000, "127.0.0.1", 6000)
        with open(evp, "ab") as f:
            for name in (b"\xff\xfe bad", b"\xc3(", b"\xed\xa0\x80", b"x\x1b[2J"):
                line = json.dumps(dict(foreign, process="NAME")).encode().replace(b"NAME", name)
                f.write(line + b"\n")
        errors, fig = soak.check(evp, os.path.join(self.dir.name, "conns.jsonl"), 0.05, T0)
        self.assertEqual(errors, [])
        self.assertEqual(fig["endpoints_exact"], 6)

    def test_short_lived_connection_need_not_be_seen(self):
        short = conn(40003, T0 + 13, T0 + 13.1)     # under three intervals of 50 ms
        conns = self.conns + [short]
        errors, fig = self.run_check(self.all_events(), conns)
        self.assertEqual(errors, [])
        self.assertEqual(fig["endpoints_expected"], 6)


if __name__ == "__main__":
    unittest.main()
