#!/usr/bin/env python3
"""A small stand-in for an NMOS registry's Registration API (IS-04 v1.3): keeps every resource
posted, answers heartbeats (404 once after `forget` is set, as a registry that lost the node),
and records deletions. Run on its own, it serves until stopped and prints what arrives:

    registry_double.py ADDRESS PORT
"""
import json, sys, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


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


def serve(address, port):
    server = ThreadingHTTPServer((address, port), Registry)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


if __name__ == "__main__":
    Registry.verbose = True
    serve(sys.argv[1], int(sys.argv[2]))
    threading.Event().wait()
