// The probe's live page in Chromium, on the generator's live stream: each channel's meter reads
// the tone's level on the wire (role="meter", aria-valuenow in dBFS) and is pushed at least ten
// times a second; pair 3-4 switched off through the generator's API drops its meters and brings
// its alarms and their events up on the page, and switched on again clears them.
import assert from "node:assert/strict";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { launchBrowser, startProbe, startProgram } from "./lirafon.mjs";

const program = process.env.LIRAFON_PROGRAM;
const check = process.env.LIRAFON_CHECK;
let lirafon;
let probe;
let browser;

before(async () => {
  // In its A/V sync mode: the pictures flash with the ident's gaps, and the page draws the offset.
  lirafon = await startProgram(program, ["--channels", "8", "--pairs", "all", "--av-sync"]);
  const sdp = join(lirafon.runtimeDir, "qel-ndi-lirafon", "QEL Audio Tone 1.sdp");
  probe = await startProbe(check, sdp, ["--expect", "level=ebu"]);
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  assert.equal(await probe?.stop(), 0);
  assert.equal(await lirafon?.stop(), 0);
});

async function pairs(on) {
  const reply = await fetch(`${lirafon.base}/api/settings`, {
    method: "PATCH", headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ pairs: { "3-4": on } }),
  });
  assert.equal(reply.status, 200);
}

const meter = (n) => `[role="meter"][aria-label="channel ${n}"]`;

test("the meters read the tone on the wire, live, and an alarm comes and goes", async () => {
  // The page's CSP forbids eval, which playwright's waitForFunction polling uses.
  const page = await (await browser.newContext({ bypassCSP: true })).newPage();
  let pushes = 0;
  page.on("websocket", (socket) => socket.on("framereceived", () => { pushes += 1; }));
  await page.goto(`${probe.base}/`);
  await page.waitForSelector(meter(8));
  // A meter reads each tenth of a second's peak, and the EBU stereo ident's left leg is silent for
  // a quarter of a second every 3 s: its level is the most it read over a second, as a peak-hold
  // would show it.
  const level = async (n) => {
    let most = -200;
    for (let i = 0; i < 20; i++) {
      most = Math.max(most, Number(await page.getAttribute(meter(n), "aria-valuenow")));
      await page.waitForTimeout(50);
    }
    return most;
  };
  await page.waitForFunction((m) => Number(document.querySelector(m)?.getAttribute("aria-valuenow")) > -30,
    meter(3));
  for (let n = 1; n <= 8; n++) {
    const read = await level(n);
    assert.ok(Math.abs(read + 24) < 1, `channel ${n} at ${read} dBFS, -24 on the wire`);
    assert.equal(await page.getAttribute(meter(n), "aria-valuemin"), "-60");
    assert.equal(await page.getAttribute(meter(n), "aria-valuemax"), "0");
  }
  // The line-up judged against (EBU's 0 dBu, -24 dBFS on this SMPTE-referenced wire) is marked.
  const lineUp = await page.$eval(`${meter(1)} .mark.lineup`, (e) => e.hidden ? null : e.style.left);
  assert.equal(lineUp, `${(36 / 60 * 100).toFixed(0)}%`);
  // Sound against picture from the stream's own pictures: the offset read, and drawn as it goes.
  await page.waitForFunction(() => Number(document.querySelector(".av svg")?.dataset.points) >= 2,
    null, { timeout: 20000 });
  const offset = Number(await page.getAttribute(".av", "data-offset-ms"));
  assert.ok(Math.abs(offset) < 2, `A/V offset ${offset} ms on the generator's own stream`);
  assert.match(await page.textContent(".av"), /A\/V offset [+-]\d+\.\d ms \(sound (ahead of|behind) the picture\)/);
  const counted = pushes;
  await page.waitForTimeout(2000);
  assert.ok(pushes - counted >= 18, `${pushes - counted} updates in 2 s`);

  await pairs(false);
  await page.waitForSelector('#alarms li[data-alarm="tone missing"][data-channel="3"]', { timeout: 15000 });
  await page.waitForSelector('#alarms li[data-alarm="tone missing"][data-channel="4"]', { timeout: 15000 });
  assert.ok((await level(3)) < -90 && (await level(4)) < -90, "channels 3 and 4 silent");
  const five = await level(5);
  assert.ok(Math.abs(five + 24) < 1, `pair 5-6 untouched: ${five} dBFS`);
  assert.match(await page.textContent("#events"), /raised tone missing ch 3/);

  await pairs(true);
  await page.waitForSelector('#alarms li[data-alarm="tone missing"]', { state: "detached", timeout: 15000 });
  assert.match(await page.textContent("#events"), /cleared tone missing ch 3/);
  const three = await level(3);
  assert.ok(Math.abs(three + 24) < 1, `channel 3 back at -24 dBFS: ${three}`);
  if (process.env.LIRAFON_SCREENSHOT) {
    await page.setViewportSize({ width: 900, height: 700 });
    await page.screenshot({ path: process.env.LIRAFON_SCREENSHOT, fullPage: true });
  }
});
