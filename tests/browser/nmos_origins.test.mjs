// The NMOS APIs against web pages: any page an operator has open can reach the program on this
// computer, so a page of another origin, and a sandboxed frame (whose requests carry Origin
// "null"), may read the senders but neither stop nor move a stream. A program told to take changes
// from "null" (as a plant lists its controller's origin) takes them from such a frame.
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { after, before, test } from "node:test";
import { launchBrowser, startProgram } from "./lirafon.mjs";

const program = process.env.LIRAFON_PROGRAM;
let browser;

before(async () => {
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
});

// What a hostile page's script does: list the senders, stop the first, then move it elsewhere.
function attack(target) {
  return `
    (async () => {
      const results = [];
      const connection = "${target}/x-nmos/connection/v1.1/single/senders/";
      try {
        const senders = await (await fetch(connection)).json();
        results.push("listed " + senders.length);
        const staged = connection + senders[0] + "staged";
        for (const body of [{ master_enable: false, activation: { mode: "activate_immediate" } },
          { transport_params: [{ destination_ip: "127.0.0.9", destination_port: 5990 }],
            activation: { mode: "activate_immediate" } }]) {
          try {
            const reply = await fetch(staged, { method: "PATCH",
              headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
            results.push("patch " + reply.status);
          } catch (error) {
            results.push("patch refused");
          }
        }
      } catch (error) {
        results.push("failed " + error);
      }
      return results;
    })()`;
}

// A page on another port of this computer; the frame, when sandboxed, runs the attack.
async function foreignPage(target, sandboxed) {
  const script = `${attack(target)}.then((r) => parent.postMessage(r, "*"));`;
  const frame = `<!DOCTYPE html><script>${script}</script>`;
  const page = sandboxed
    ? `<!DOCTYPE html><body><script>
        window.results = null;
        addEventListener("message", (event) => { window.results = event.data; });
      </script><iframe sandbox="allow-scripts" srcdoc="${frame.replace(/"/g, "&quot;")}"></iframe>`
    : `<!DOCTYPE html><body><script>window.results = null;
        ${attack(target)}.then((r) => { window.results = r; });</script>`;
  const server = createServer((request, response) => {
    response.setHeader("Content-Type", "text/html");
    response.end(page);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const tab = await (await browser.newContext()).newPage();
  await tab.goto(`http://127.0.0.1:${server.address().port}/`);
  await tab.waitForFunction(() => window.results !== null, null, { timeout: 20000 });
  const results = await tab.evaluate(() => window.results);
  server.close();
  return results;
}

for (const sandboxed of [true, false]) {
  test(`a ${sandboxed ? "sandboxed frame" : "page of another origin"} reads the senders but stops and moves nothing`, async () => {
    const lirafon = await startProgram(program);
    try {
      const before = await lirafon.state();
      assert.equal(before.audioSending, true);
      const results = await foreignPage(lirafon.base, sandboxed);
      assert.deepEqual(results, ["listed 2", "patch 403", "patch 403"]);
      const after = await lirafon.state();
      assert.equal(after.audioSending, true);
      assert.equal(after.videoSending, true);
      assert.equal(after.destination, before.destination);
      assert.equal(after.videoDestination, undefined);
    } finally {
      assert.equal(await lirafon.stop(), 0);
    }
  });
}

test("a program that allows the origin null takes the frame's changes", async () => {
  const lirafon = await startProgram(program, [], { LIRAFON_NMOS_ALLOWED_ORIGINS: "null" });
  try {
    const results = await foreignPage(lirafon.base, true);
    assert.deepEqual(results, ["listed 2", "patch 200", "patch 200"]);
    const after = await lirafon.state();
    assert.equal(after.audioSending, false);
    // The page of another origin is still refused: only the origin listed is taken.
    assert.deepEqual(await foreignPage(lirafon.base, false), ["listed 2", "patch 403", "patch 403"]);
  } finally {
    assert.equal(await lirafon.stop(), 0);
  }
});
