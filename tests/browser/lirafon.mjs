// Starts the real program headless on loopback with its control server on a free port, and
// Debian's Chromium through playwright-core (which downloads no browser).
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

export async function startProgram(program, args = [], environment = {}) {
  const runtimeDir = mkdtempSync(join(tmpdir(), "lirafon-browser-"));
  const child = spawn(program, ["--control-port", "0", ...args], {
    env: {
      ...process.env,
      QT_QPA_PLATFORM: "offscreen",
      XDG_RUNTIME_DIR: runtimeDir,
      LIRAFON_NDI_RUNTIME: "builtin",
      LIRAFON_RTP_DESTINATION: "127.0.0.1",
      LIRAFON_RTP_PORT: String(40000 + Math.floor(Math.random() * 20000)),
      LIRAFON_SAP_DESTINATION: "127.0.0.1:9",
      LIRAFON_NMOS_REGISTRY: "",
      ...environment,
    },
    stdio: ["ignore", "ignore", "pipe"],
  });
  let said = "";
  const base = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no control panel line in: ${said}`)), 30000);
    child.stderr.on("data", (chunk) => {
      said += chunk;
      const found = said.match(/control panel: (http:\/\/127\.0\.0\.1:\d+)\//);
      if (found) {
        clearTimeout(timer);
        resolve(found[1]);
      }
    });
    child.on("exit", (code) => reject(new Error(`program ended (${code}): ${said}`)));
  });
  return {
    base,
    runtimeDir,
    async state() {
      return (await fetch(`${base}/api/state`)).json();
    },
    async stop() {
      const ended = new Promise((resolve) => child.on("exit", resolve));
      child.kill("SIGTERM");
      const code = await ended;
      rmSync(runtimeDir, { recursive: true, force: true });
      return code;
    },
  };
}

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
}

// The probe on a session description, its live page on a free port of 127.0.0.1.
export async function startProbe(check, sdp, extra = []) {
  const child = spawn(check, ["--monitor", "--listen", "127.0.0.1:0", "--alarms", "raise=1,clear=2",
    ...extra, sdp],
    { stdio: ["ignore", "ignore", "pipe"] });
  let said = "";
  const base = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no live page line in: ${said}`)), 30000);
    child.stderr.on("data", (chunk) => {
      said += chunk;
      const found = said.match(/live page at (http:\/\/127\.0\.0\.1:\d+)\//);
      if (found) {
        clearTimeout(timer);
        resolve(found[1]);
      }
    });
    child.on("exit", (code) => reject(new Error(`probe ended (${code}): ${said}`)));
  });
  return {
    base,
    async stop() {
      const ended = new Promise((resolve) => child.on("exit", resolve));
      child.kill("SIGTERM");
      return ended;
    },
  };
}
