"""Two fabrics for ST 2022-7 tests: two network namespaces this test makes, tx and rx, joined by
a veth pair per leg (tx side DEVICE_TX<n>, rx side DEVICE_RX<n>), each leg's IPv4 (and, if given,
IPv6) addresses on its pair. Nothing of it touches the host's own network."""
import os, subprocess


class Fabrics:
    def __init__(self, tag, legs, legs6=(), devices=("vt", "vr")):
        """legs: (tx address, rx address, ...) per leg; legs6 the same for IPv6, or empty."""
        pid = str(os.getpid())
        self.tx, self.rx = tag + "tx" + pid, tag + "rx" + pid
        self.legs, self.legs6, self.devices = legs, legs6, devices
        self.made = []

    def run(self, *args, ns=None, check=True):
        command = (["ip", "netns", "exec", ns] if ns else []) + list(args)
        return subprocess.run(command, check=check, capture_output=True, text=True)

    def make(self):
        for ns in (self.tx, self.rx):
            self.run("ip", "netns", "add", ns)
            self.made.append(ns)
            self.run("ip", "link", "set", "lo", "up", ns=ns)
        tx_name, rx_name = self.devices
        for n, leg in enumerate(self.legs):
            tx_dev, rx_dev = f"{tx_name}{n}", f"{rx_name}{n}"
            self.run("ip", "link", "add", tx_dev, "netns", self.tx, "type", "veth", "peer",
                     "name", rx_dev, "netns", self.rx)
            for side, (ns, dev) in enumerate(((self.tx, tx_dev), (self.rx, rx_dev))):
                self.run("ip", "addr", "add", leg[side] + "/24", "dev", dev, ns=ns)
                if self.legs6:
                    # A test may take a leg's link down: its IPv6 address must survive it.
                    self.run("sh", "-c",
                             f"echo 1 > /proc/sys/net/ipv6/conf/{dev}/keep_addr_on_down", ns=ns)
                    self.run("ip", "-6", "addr", "add", self.legs6[n][side] + "/64", "dev", dev,
                             "nodad", ns=ns)
                self.run("ip", "link", "set", dev, "up", ns=ns)

    def make_or_say_why(self):
        """None when made; else why not (the tools missing, or no namespaces here)."""
        for tool in ("ip", "unshare"):
            if subprocess.run(["which", tool], capture_output=True).returncode != 0:
                return f"no {tool}"
        try:
            self.make()
        except (subprocess.CalledProcessError, OSError) as error:
            self.remove()
            return f"cannot make network namespaces here: {getattr(error, 'stderr', error)}"
        return None

    def remove(self):
        for ns in self.made:
            self.run("ip", "netns", "delete", ns, check=False)
