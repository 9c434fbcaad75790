// Pictures the web control panel for the README: node screenshot.mjs PROGRAM OUT.png
import { launchBrowser, startProgram } from "./lirafon.mjs";

const [program, out] = process.argv.slice(2);
const lirafon = await startProgram(program, ["--channels", "16", "--pairs", "1-2,3-4,9-10",
  "--level", "smpte", "--ident", "glits"]);
const browser = await launchBrowser();
const page = await browser.newPage({ viewport: { width: 760, height: 1100 } });
await page.goto(`${lirafon.base}/`);
await page.waitForSelector("#connection.online");
await page.waitForFunction(() => document.querySelector("#card").complete);
await page.screenshot({ path: out, fullPage: true });
await browser.close();
process.exitCode = await lirafon.stop();
