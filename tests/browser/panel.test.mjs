// The web panel in a real browser: two pages and the program's offscreen window stay in sync
// while a person clicks, the card preview follows the level, and a page from another origin
// cannot change anything.
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { after, before, test } from "node:test";
import { launchBrowser, startProgram } from "./lirafon.mjs";

const program = process.env.LIRAFON_PROGRAM;
let lirafon;
let browser;

before(async () => {
  lirafon = await startProgram(program);
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  assert.equal(await lirafon?.stop(), 0);
});

async function openPanel() {
  // The panel's CSP forbids eval, which playwright's waitForFunction polling uses.
  const page = await (await browser.newContext({ bypassCSP: true })).newPage();
  await page.goto(`${lirafon.base}/`);
  await page.waitForSelector("#panel[aria-busy=false]");
  await page.waitForSelector("#connection.online");
  return page;
}

test("two pages and the window follow each other's clicks", async () => {
  const first = await openPanel();
  const second = await openPanel();

  await first.click('input[name="channels"][value="16"]');
  await second.waitForFunction(() => document.querySelector('input[name="channels"][value="16"]').checked);
  assert.equal(await second.isEnabled('input[data-pair="7"]'), true);
  assert.equal((await lirafon.state()).channels, 16);

  await second.click('input[data-pair="4"]');
  await first.waitForFunction(() => document.querySelector('input[data-pair="4"]').checked);
  assert.equal((await lirafon.state()).pairs, "1-2,9-10");

  await first.click('input[name="channels"][value="8"]');
  await second.waitForFunction(() => document.querySelector('input[data-pair="4"]').disabled);
  assert.equal(await second.isChecked('input[data-pair="4"]'), true, "a greyed box keeps its mark");

  await second.click('input[name="ident"][value="glits"]');
  await first.waitForFunction(() => document.querySelector('input[name="ident"][value="glits"]').checked);

  await first.click("#frequencyButton");
  await first.click("#sequenceItem");
  await second.waitForFunction(() => document.querySelector("#sequenceItem").getAttribute("aria-checked") === "true");
  assert.equal(await second.textContent("#frequencyButton"), "MF Sequence");
  assert.equal((await lirafon.state()).frequency, "sequence");
});

test("the card preview changes with the level", async () => {
  const page = await openPanel();
  const picture = async () => Buffer.from(await (await fetch(`${lirafon.base}/card.png`)).arrayBuffer());
  const loaded = (src) => page.waitForFunction((old) => {
    const card = document.querySelector("#card");
    return card.getAttribute("src") !== old && card.complete && card.naturalWidth === 640;
  }, src);
  await loaded("");
  const before = await page.locator("#card").screenshot();
  const cardBefore = await picture();
  const src = await page.getAttribute("#card", "src");
  await page.click('input[name="level"][value="smpte"]');
  await page.waitForFunction(() => document.querySelector("#levelLine").textContent.startsWith("NAB/SMPTE"));
  await loaded(src);
  assert.notDeepEqual(await picture(), cardBefore);
  assert.notDeepEqual(await page.locator("#card").screenshot(), before);

  await page.fill("#userLevel", "900");
  await page.press("#userLevel", "Enter");
  await page.waitForSelector("#error:not([hidden])");
  assert.match(await page.textContent("#error"), /level: '900' is not accepted/);
  assert.equal((await lirafon.state()).level, "smpte");
});

test("a page from another origin changes nothing", async () => {
  const stateBefore = await lirafon.state();
  const target = lirafon.base;
  const foreign = createServer((request, response) => {
    response.setHeader("Content-Type", "text/html");
    response.end(`<!DOCTYPE html><body>
      <form id="f" method="post" action="${target}/api/settings" enctype="text/plain">
        <input name='{"channels": 2, "x": "' value='"}'></form>
      <script>
        window.results = [];
        fetch("${target}/api/settings", { method: "POST", mode: "no-cors",
          headers: { "Content-Type": "text/plain" }, body: '{"channels": 2}' })
          .then(() => results.push("fetch")).catch(() => results.push("fetch refused"));
        fetch("${target}/api/settings", { method: "PATCH",
          headers: { "Content-Type": "application/json" }, body: '{"channels": 2}' })
          .then(() => results.push("patch")).catch(() => results.push("patch refused"));
        const socket = new WebSocket("${target.replace("http", "ws")}/ws");
        socket.onmessage = () => results.push("heard");
        socket.onclose = () => { results.push("closed"); document.getElementById("f").submit(); };
      </script></body>`);
  });
  await new Promise((resolve) => foreign.listen(0, "127.0.0.1", resolve));
  const page = await (await browser.newContext()).newPage();
  await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
  await page.waitForURL(/api\/settings/);
  const after = await lirafon.state();
  foreign.close();
  for (const name of ["channels", "pairs", "level", "ident", "frequency"]) {
    assert.equal(after[name], stateBefore[name], name);
  }
});

test("a source of two legs shows each leg's destination and ports", async () => {
  const port = 40000 + Math.floor(Math.random() * 20000);
  const twoLegs = await startProgram(program, [], {
    LIRAFON_RTP_DESTINATION: "127.0.0.1,127.0.0.1",
    LIRAFON_RTP_PORT: `${port},${port + 100}`,
  });
  try {
    const state = await twoLegs.state();
    assert.equal(state.audioPort, port);
    assert.equal(state.secondLeg.destination, "127.0.0.1");
    assert.equal(state.secondLeg.audioPort, port + 100);
    assert.equal(state.secondLeg.videoPort, port + 102);
    assert.equal(state.secondLeg.audioSending, true);
    const page = await (await browser.newContext({ bypassCSP: true })).newPage();
    await page.goto(`${twoLegs.base}/`);
    await page.waitForSelector("#panel[aria-busy=false]");
    const facts = await page.$$eval("#source dt", (terms) =>
      Object.fromEntries(terms.map((dt) => [dt.textContent, dt.nextElementSibling.textContent])));
    assert.equal(facts["Audio port"], String(port));
    assert.equal(facts["Second leg"], "127.0.0.1");
    assert.equal(facts["Second leg audio port"], String(port + 100));
    assert.equal(facts["Second leg video port"], String(port + 102));
    assert.equal(facts["Second leg audio"], undefined, "a leg that sends says nothing more");
  } finally {
    assert.equal(await twoLegs.stop(), 0);
  }
});
