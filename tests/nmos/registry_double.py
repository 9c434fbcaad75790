#!/usr/bin/env python3
"""A small stand-in for an NMOS registry (IS-04 v1.3): its Registration API keeps every resource
posted, answers heartbeats (404 once after `forget` is set, as a registry that lost the node),
and records deletions; its Query API answers a controller's GETs of each resource type
(`/x-nmos/query/v1.3/senders?format=urn:x-nmos:format:audio`, `.../receivers/{id}`) with the
newest version of every resource still registered, filtered by the basic queries of top-level
and dotted fields. Run on its own, it serves until stopped and prints what arrives:

    registry_double.py ADDRESS PORT
"""
import json, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

TYPES = ("node", "device", "source", "flow", "sender", "receiver")


class Registry(BaseHTTPRequestHandler):
    posts, heartbeats, deletes = [], [], []
    forget = threading.Event()
    verbose = False

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"{}"):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/x-nmos/registration/v1.3/resource":
            resource = json.loads(body)
            Registry.posts.append(resource)
            if Registry.verbose:
                data = resource["data"]
                print(f"registered {resource['type']} {data['id']} \"{data['label']}\" "
                      f"version {data['version']}", flush=True)
            self.reply(201, body)
        elif self.path.startswith("/x-nmos/registration/v1.3/health/nodes/"):
            Registry.heartbeats.append(time.monotonic())
            if Registry.forget.is_set():
                Registry.forget.clear()
                self.reply(404, b'{"code":404,"error":"unknown node","debug":null}')
            else:
                self.reply(200, b'{"health":"1"}')
        else:
            self.reply(404)

    def do_DELETE(self):
        Registry.deletes.append(self.path)
        if Registry.verbose:
            print(f"deleted {self.path.rsplit('/resource/', 1)[-1]}", flush=True)
        self.send_response(204)
        self.end_headers()

    @staticmethod
    def registered(kind):
        """The newest version of each resource of that type posted and not deleted since."""
        newest = {}
        for resource in Registry.posts:
            if resource["type"] == kind:
                newest[resource["data"]["id"]] = resource["data"]
        for path in Registry.deletes:
            if f"/resource/{kind}s/" in path:
                newest.pop(path.rsplit("/", 1)[-1], None)
        return newest

    def do_GET(self):
        url = urlsplit(self.path)
        parts = url.path.strip("/").split("/")
        if parts[:3] != ["x-nmos", "query", "v1.3"] or len(parts) not in (4, 5) or \
                parts[3].rstrip("s") not in TYPES:
            self.reply(404, b'{"code":404,"error":"not a Query API path","debug":null}')
            return
        found = Registry.registered(parts[3][:-1])
        if len(parts) == 5:
            if parts[4] not in found:
                self.reply(404, b'{"code":404,"error":"no such resource","debug":null}')
            else:
                self.reply(200, json.dumps(found[parts[4]]).encode())
            return

        def field(data, dotted):
            for key in dotted.split("."):
                data = data.get(key) if isinstance(data, dict) else None
            return data

        matches = [data for data in found.values()
                   if all(str(field(data, key)) == value or field(data, key) == value
                          for key, value in parse_qsl(url.query) if not key.startswith("paging."))]
        self.reply(200, json.dumps(matches).encode())


def serve(address, port):
    server = ThreadingHTTPServer((address, port), Registry)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


if __name__ == "__main__":
    Registry.verbose = True
    serve(sys.argv[1], int(sys.argv[2]))
    threading.Event().wait()
