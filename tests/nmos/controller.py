#!/usr/bin/env python3
"""A minimal NMOS controller, as a plant's routing panel does it: everything it knows comes from
the registry's Query API (IS-04 v1.3); a route fetches the sender's transport file from its
manifest_href and PATCHes the receiver's staged parameters (IS-05 v1.1) at the Connection API
its device names, with an immediate activation.

    controller.py QUERY list
    controller.py QUERY route SENDER RECEIVER
    controller.py QUERY park RECEIVER

QUERY is the registry's address (http://host:port); SENDER and RECEIVER are ids or labels.
"""
import json, sys, urllib.error, urllib.request

CONNECTION = "urn:x-nmos:control:sr-ctrl/v1.1"


class ControllerError(Exception):
    pass


def call(method, url, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(url, method=method, data=data,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()
    except OSError as error:
        raise ControllerError(f"{method} {url}: {error}") from error


class Controller:
    def __init__(self, registry):
        self.query = registry.rstrip("/") + "/x-nmos/query/v1.3"

    def resources(self, kind, **basic):
        """Every registered resource of that kind, filtered as the Query API's basic queries do."""
        filters = "&".join(f"{key}={value}" for key, value in basic.items())
        status, text = call("GET", f"{self.query}/{kind}s" + (f"?{filters}" if filters else ""))
        if status != 200:
            raise ControllerError(f"the registry's {kind}s: {status} {text}")
        return json.loads(text)

    def resource(self, kind, name):
        """One resource by id or label; one of either, or an error saying what there is."""
        found = [r for r in self.resources(kind) if name in (r["id"], r["label"])]
        if len(found) != 1:
            known = ", ".join(f"\"{r['label']}\" ({r['id']})" for r in self.resources(kind))
            raise ControllerError(f"{len(found)} {kind}s named {name}; registered: {known or 'none'}")
        return found[0]

    def connection_api(self, resource):
        """The Connection API of a sender's or receiver's device."""
        device = self.resource("device", resource["device_id"])
        for control in device.get("controls", []):
            if control["type"] == CONNECTION:
                return control["href"].rstrip("/")
        raise ControllerError(f"device {device['id']} names no {CONNECTION} control")

    def stage(self, receiver, patch):
        url = f"{self.connection_api(receiver)}/single/receivers/{receiver['id']}/staged"
        status, text = call("PATCH", url, dict(patch, activation={"mode": "activate_immediate"}))
        if status != 200:
            raise ControllerError(f"PATCH {url}: {status} {text}")
        return json.loads(text)

    def route(self, sender_name, receiver_name):
        """The receiver takes the sender's stream: its transport file, now."""
        sender = self.resource("sender", sender_name)
        receiver = self.resource("receiver", receiver_name)
        if not sender.get("manifest_href"):
            raise ControllerError(f"sender {sender['id']} has no transport file")
        status, sdp = call("GET", sender["manifest_href"])
        if status != 200:
            raise ControllerError(f"the transport file of {sender['id']}: {status} {sdp}")
        return self.stage(receiver, {"sender_id": sender["id"], "master_enable": True,
                                     "transport_file": {"data": sdp,
                                                        "type": "application/sdp"}})

    def park(self, receiver_name):
        return self.stage(self.resource("receiver", receiver_name),
                          {"sender_id": None, "master_enable": False})


def main(arguments):
    if len(arguments) < 2 or arguments[1] not in ("list", "route", "park") or \
            len(arguments) != {"list": 2, "route": 4, "park": 3}[arguments[1]]:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    controller = Controller(arguments[0])
    try:
        if arguments[1] == "list":
            for kind in ("sender", "receiver"):
                for r in controller.resources(kind):
                    extra = f" <- {r['subscription']['sender_id']}" if kind == "receiver" and \
                        r["subscription"]["active"] else ""
                    print(f"{kind} {r['id']} \"{r['label']}\"{extra}")
        elif arguments[1] == "route":
            active = controller.route(arguments[2], arguments[3])
            print(f"routed: receiver now takes sender {active['sender_id']}")
        else:
            controller.park(arguments[2])
            print("parked")
    except ControllerError as error:
        print(f"controller.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
