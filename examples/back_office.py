#!/usr/bin/env python3
"""A chain's back office talking to its shops through the fleet's MQTT broker.

  back_office.py [--broker HOST:PORT] [--ca CA.pem --cert C.pem --key C.key] [--user U --password P]
                 receipt SHOP PRINTER [--id ID] [--text TEXT --price PRICE]
                 z-all
                 fleet

receipt  sends one receipt to one shop's printer and waits for its result.
z-all    sends the Z report to every printer of every shop the broker knows of (from the shops'
         retained state) and waits for the results.
fleet    lists every shop's printers with their state, from the retained status messages.

A job is sent with QoS 1 and a stable id: sending it again (after a time-out, or by mistake) is
answered from the shop's journal and prints nothing. Results may come more than once; they are
told apart by id. Needs Debian's python3-paho-mqtt.
"""
import argparse
import json
import sys
import threading
import time
import uuid

import paho.mqtt.client as mqtt

ROOT = "nev"  # the shops' prefixes are nev/SHOP


class BackOffice:
    def __init__(self, args):
        self.client = mqtt.Client(client_id="back-office-" + uuid.uuid4().hex[:8],
                                  protocol=mqtt.MQTTv5)
        if args.user:
            self.client.username_pw_set(args.user, args.password)
        if args.ca:
            self.client.tls_set(ca_certs=args.ca, certfile=args.cert, keyfile=args.key)
        self.lock = threading.Condition()
        self.results = {}   # job id -> first result
        self.status = {}    # (shop, printer) -> status
        self.shops = {}     # shop -> state
        self.connected = False
        self.client.on_connect = self._on_connect
        self.client.on_message = self._on_message
        host, _, port = args.broker.rpartition(":")
        self.client.connect(host, int(port), keepalive=30)
        self.client.loop_start()
        with self.lock:
            if not self.lock.wait_for(lambda: self.connected, timeout=10):
                sys.exit("back office: no connection to the broker " + args.broker)

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        for topic in (ROOT + "/+/state", ROOT + "/+/printers/+/status",
                      ROOT + "/+/printers/+/results"):
            client.subscribe(topic, qos=1)
        with self.lock:
            self.connected = rc == 0
            self.lock.notify_all()

    def _on_message(self, client, userdata, msg):
        try:
            body = json.loads(msg.payload)
        except ValueError:
            return
        parts = msg.topic.split("/")
        with self.lock:
            if parts[-1] == "state":
                self.shops[parts[1]] = body
            elif parts[-1] == "status":
                self.status[(parts[1], parts[3])] = body
            elif parts[-1] == "results" and isinstance(body, dict):
                self.results.setdefault(body.get("id"), body)
            self.lock.notify_all()

    def send(self, shop, printer, job):
        topic = "%s/%s/printers/%s/jobs" % (ROOT, shop, printer)
        self.client.publish(topic, json.dumps(job), qos=1).wait_for_publish()

    def wait_results(self, ids, timeout):
        with self.lock:
            self.lock.wait_for(lambda: all(i in self.results for i in ids), timeout=timeout)
            return {i: self.results.get(i) for i in ids}

    def settle(self, seconds=1.0):
        """Lets the retained messages arrive."""
        time.sleep(seconds)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--broker", default="127.0.0.1:1883")
    p.add_argument("--ca")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--user")
    p.add_argument("--password")
    p.add_argument("--timeout", type=float, default=60)
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("receipt")
    r.add_argument("shop")
    r.add_argument("printer")
    r.add_argument("--id", default=None)
    r.add_argument("--text", default="WEB ORDER")
    r.add_argument("--price", type=float, default=1.0)
    sub.add_parser("z-all")
    sub.add_parser("fleet")
    args = p.parse_args()
    office = BackOffice(args)

    if args.command == "receipt":
        job_id = args.id or "web-" + uuid.uuid4().hex[:12]
        document = {"operator": {"number": 1, "password": "0000"},
                    "items": [{"text": args.text, "taxGroup": "B", "quantity": 1,
                               "price": args.price}],
                    "payments": [{"type": 1}]}
        office.send(args.shop, args.printer, {"kind": "receipt", "id": job_id,
                                              "document": document})
        result = office.wait_results([job_id], args.timeout)[job_id]
        print(json.dumps(result if result else {"id": job_id, "error": "no result yet"}))
        return 0 if result and result.get("status") == 200 else 1

    office.settle()
    if args.command == "z-all":
        stamp = time.strftime("%Y%m%d")
        ids = []
        with office.lock:
            printers = sorted(office.status)
        for shop, printer in printers:
            job_id = "z-%s-%s-%s" % (stamp, shop, printer)  # one Z per printer per day
            office.send(shop, printer, {"kind": "z", "id": job_id})
            ids.append(job_id)
        results = office.wait_results(ids, args.timeout)
        for job_id in ids:
            print(json.dumps(results[job_id] or {"id": job_id, "error": "no result yet"}))
        return 0 if all(r and r.get("status") == 200 for r in results.values()) else 1

    with office.lock:
        for (shop, printer), s in sorted(office.status.items()):
            presence = office.shops.get(shop, {}).get("state", "?")
            print("%-12s %-10s shop %-8s printer %-10s queue %-3s %s" % (
                shop, printer, presence, s.get("state"), s.get("queue"),
                ", ".join(s.get("flags") or []) or "-"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
