// The web panel as operators use it: two people ticking different pairs at the same moment both
// keep their change; the frequency menu by keyboard and by an outside click; a phone's screen;
// the ident text's own limits; and a program that went away leaves a page that says so and
// takes no clicks.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";
import { launchBrowser, startProgram } from "./lirafon.mjs";

const program = process.env.LIRAFON_PROGRAM;
let lirafon;
let browser;

before(async () => {
  lirafon = await startProgram(program, ["--channels", "16", "--pairs", "none"]);
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  assert.equal(await lirafon?.stop(), 0);
});

async function openPanel(base, viewport) {
  const context = await browser.newContext({ bypassCSP: true, ...(viewport ? { viewport } : {}) });
  const page = await context.newPage();
  await page.goto(`${base}/`);
  await page.waitForSelector("#connection.online");
  return page;
}

test("two pages ticking different pairs at the same moment both keep their change", async () => {
  const first = await openPanel(lirafon.base);
  const second = await openPanel(lirafon.base);
  const rounds = [[1, 4], [2, 5], [3, 6], [7, 0]];
  const expected = new Set();
  for (const [a, b] of rounds) {
    await Promise.all([first.click(`input[data-pair="${a}"]`), second.click(`input[data-pair="${b}"]`)]);
    expected.add(a).add(b);
    await first.waitForFunction(
      (pairs) => pairs.every((p) => document.querySelector(`input[data-pair="${p}"]`).checked),
      [...expected]);
  }
  assert.equal((await lirafon.state()).pairs, "all");
  // Three quick clicks on one page: each lands.
  for (const p of [2, 4, 6]) await first.click(`input[data-pair="${p}"]`);
  await second.waitForFunction(() => !document.querySelector('input[data-pair="6"]').checked);
  assert.equal((await lirafon.state()).pairs, "1-2,3-4,7-8,11-12,15-16");
});

test("the frequency menu works from the keyboard and closes on an outside click", async () => {
  const page = await openPanel(lirafon.base);
  await page.focus("#frequencyButton");
  await page.keyboard.press("ArrowDown");
  await page.waitForSelector("#frequencyMenu:not([hidden])");
  for (let i = 0; i < 3; i++) await page.keyboard.press("ArrowDown");
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "100 Hz");
  await page.keyboard.press("Enter");
  await page.waitForSelector("#frequencyMenu", { state: "hidden" });
  assert.equal(await page.evaluate(() => document.activeElement.id), "frequencyButton");
  await page.waitForFunction(() => document.querySelector("#frequencyButton").textContent.includes("100"));
  assert.equal((await lirafon.state()).frequency, "100");

  await page.keyboard.press("ArrowUp"); // opens on the last item
  assert.equal(await page.evaluate(() => document.activeElement.id), "sequenceItem");
  await page.keyboard.press("Escape");
  await page.waitForSelector("#frequencyMenu", { state: "hidden" });
  await page.click("#frequencyButton");
  await page.waitForSelector("#frequencyMenu:not([hidden])");
  await page.mouse.click(5, 5);
  await page.waitForSelector("#frequencyMenu", { state: "hidden" });
  assert.equal((await lirafon.state()).frequency, "100");
});

test("the panel fits a 390 px phone", async () => {
  const page = await openPanel(lirafon.base, { width: 390, height: 844 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390),
    `the page is ${await page.evaluate(() => document.documentElement.scrollWidth)} px wide`);
  for (const selector of ["#frequencyButton", "#userLevel", 'input[data-pair="3"]',
    'input[data-pair="7"]', "#identText"]) {
    const box = await page.locator(selector).boundingBox();
    assert.ok(box && box.x >= 0 && box.x + box.width <= 390, `${selector} at ${JSON.stringify(box)}`);
  }
});

test("the ident text counts characters as the program does and refuses line breaks", async () => {
  const page = await openPanel(lirafon.base);
  const before = (await lirafon.state()).identText;
  await page.fill("#identText", "Studio\u20284");
  await page.press("#identText", "Enter");
  await page.waitForSelector("#error:not([hidden])");
  assert.match(await page.textContent("#error"), /U\+2028/);
  assert.equal((await lirafon.state()).identText, before);

  const emoji = "\u{1F3B5}".repeat(20);
  await page.fill("#identText", emoji);
  assert.equal(await page.textContent("#identCount"), "20 / 27");
  await page.press("#identText", "Enter");
  await page.waitForFunction(() => document.querySelector("#error").hidden);
  assert.equal((await lirafon.state()).identText, emoji);
});

test("a page whose program went away says so and takes no clicks", async () => {
  const gone = await startProgram(program);
  const page = await openPanel(gone.base);
  assert.equal(await page.isEnabled('input[name="channels"][value="2"]'), true);
  assert.equal(await gone.stop(), 0);
  await page.waitForSelector("#connection.offline");
  await page.waitForSelector("#staleNote:not([hidden])");
  assert.equal(await page.isEnabled('input[name="channels"][value="2"]'), false);
  assert.equal(await page.isEnabled("#frequencyButton"), false);
  assert.ok(await page.evaluate(() => document.querySelector("#panel").classList.contains("stale")));
});
