// Drives the page of `vorn view` in Debian's headless chromium:
//   node check_view.mjs URL SCREENSHOT
// Loads the page, waits for two drawn frames whose pictures differ, waits
// until the stream has ended, keeps a screenshot, closes the page and prints
// what it saw as one JSON line: {"changed": bool, "draws": n, "counters": {...}}.
// Exits non-zero, with the reason on stderr, when a wait runs out.
import { chromium } from "playwright-core";

const [url, screenshot] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: process.env.VORN_CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu"],
});
try {
  const page = await browser.newPage({ viewport: { width: 1000, height: 640 } });
  const draws = () => page.evaluate(() => Number(document.body.dataset.draws));
  const picture = () => page.evaluate(() => document.getElementById("plot").toDataURL());
  await page.goto(url);
  await page.waitForFunction(() => Number(document.body.dataset.draws) >= 1, null, { timeout: 30000 });
  const first = await picture();
  const seen = await draws();
  await page.waitForFunction((n) => Number(document.body.dataset.draws) >= n + 2, seen, { timeout: 30000 });
  const second = await picture();
  await page.waitForFunction(() => document.body.dataset.ended === "true", null, { timeout: 120000 });
  await page.waitForTimeout(300); // one more frame after the end, with the final counters
  const counters = await page.evaluate(() =>
    Object.fromEntries(["chunks", "bytes", "frames", "dropped", "errors", "state"].map(
      (id) => [id, document.getElementById(id).textContent])));
  await page.screenshot({ path: screenshot });
  const total = await draws();
  await page.close();
  console.log(JSON.stringify({ changed: first !== second, draws: total, counters }));
} finally {
  await browser.close();
}
