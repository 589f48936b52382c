// vesk serve's page, and vesk report's, in headless Chromium, driven by puppeteer-core.
//   node explore.test.js CHROMIUM URL walk        the dominator tree two levels down, an object,
//                                                 one of its referrers, that one's path; the
//                                                 tree's treemap, a cell focusing the tree
//   node explore.test.js CHROMIUM URL hostile     names with markup show as text and run nothing
//   node explore.test.js CHROMIUM URL screenshot FILE.png   the tree two levels down, as a picture
//   node explore.test.js CHROMIUM file:///PAGE.html report   vesk report's page: the waste table's
//                                                 "show all", sizes sorted by their bytes
// URL is the line vesk serve printed (with #token=...). Exits 0 when every
// check held, else 1 with the failed check on stderr. Waits for the page's
// own signals (main's aria-busy, elements appearing), never for a time.
"use strict";

const puppeteer = require("puppeteer-core");

const [chromium, url, mode, output] = process.argv.slice(2);
const WAIT = {timeout: 120000};

function check(condition, message) {
  if (!condition) throw new Error(message);
}

// Waits until the view named by the fragment is drawn.
async function settled(page) {
  await page.waitForFunction(() => document.getElementById("main").getAttribute("aria-busy") === "false", WAIT);
  const error = await page.$eval("main", main => (main.querySelector(".error") || {}).textContent || "");
  check(!error, "the page shows an error: " + error);
}

async function clickAndSettle(page, selector) {
  await page.waitForSelector(selector, WAIT);
  await page.evaluate(() => document.getElementById("main").setAttribute("aria-busy", "true"));
  await page.click(selector);
  await settled(page);
}

// Opens the tree and expands its first object, then that one's first child.
async function expandTwoLevels(page) {
  await clickAndSettle(page, 'a[href="#/tree"]');
  await page.click("tr.node[data-depth='0'] button.toggle");
  await page.waitForSelector("tr[data-depth='1']", WAIT);
  const child = await page.$("tr.node[data-depth='1'] button.toggle");
  check(child, "the first object of the tree dominates no object");
  await child.click();
  await page.waitForSelector("tr[data-depth='2']", WAIT);
}

async function walk(page) {
  await expandTwoLevels(page);
  console.log("tree expanded two levels");
  await clickAndSettle(page, "tr.node[data-depth='1'] a.mono");
  check(await page.$("h1 a.mono"), "no object view");
  console.log("object opened: " + await page.$eval("h1", h => h.textContent));
  await clickAndSettle(page, "table.refs-in tbody a.mono");
  console.log("referrer opened: " + await page.$eval("h1", h => h.textContent));
  await clickAndSettle(page, 'a[href^="#/path?"]');
  check(await page.$("ol.steps li"), "the path view shows no step");
  console.log("path: " + await page.$$eval("ol.steps li", items => items.map(i => i.textContent).join(" | ")));
  // Back goes to the referrer, as the browser's history has it.
  await page.goBack();
  await settled(page);
  check(await page.$("table.refs-in"), "back did not return to the object view");
  await clickAndSettle(page, 'a[href="#/tree"]');
  await page.click("details.treemap summary");
  await page.waitForSelector("details.treemap svg g rect", WAIT);
  console.log("treemap: " + await page.$$eval("details.treemap svg g", cells => cells.length) + " cells");
  await page.evaluate(() => document.getElementById("main").setAttribute("aria-busy", "true"));
  await page.$eval("details.treemap svg g", cell => cell.dispatchEvent(new MouseEvent("click", {bubbles: true})));
  await settled(page);
  check(page.url().includes("#/tree?tag="), "a treemap cell did not focus the tree: " + page.url());
}

async function hostile(page) {
  const pwned = () => page.evaluate(() => document.documentElement.getAttribute("data-pwned"));
  await clickAndSettle(page, 'a[href="#/histogram"]');
  const names = await page.$$eval("main td.name, main td .name", cells => cells.map(c => c.textContent));
  check(names.some(name => name.includes("<script>")), "the hostile class name is not shown as text: " + names);
  await clickAndSettle(page, 'a[href="#/tree"]');
  await clickAndSettle(page, "tr.node a.mono");
  const fields = await page.$$eval("main td.name", cells => cells.map(c => c.textContent));
  check(fields.some(name => name.includes("onerror=")), "the hostile field name is not shown as text: " + fields);
  check(await page.$$eval("main img, main script", found => found.length) === 0, "markup from the heap became elements");
  check(await pwned() === null, "script from the heap ran");
}

async function report(page) {
  const rows = () => page.$$eval("#waste-table tbody tr", all => all.map(r => r.offsetParent !== null));
  let shown = await rows();
  check(shown.length > 10, "the waste table has " + shown.length + " rows, no more than 10");
  check(shown.filter(Boolean).length === 10, shown.filter(Boolean).length + " waste rows shown before show all");
  await page.click('label[for="waste-table-all"]');
  shown = await rows();
  check(shown.every(Boolean), "show all left rows hidden");
  console.log("waste: 10 rows, then all " + shown.length);
  // Sorted by retained bytes, largest first: by the exact bytes, whatever the units shown.
  await page.click("#classes thead th:nth-child(4) button");
  const sizes = await page.$$eval("#classes tbody tr td:nth-child(4)", cells => cells.map(c => Number(c.dataset.v)));
  check(sizes.every((size, i) => i === 0 || sizes[i - 1] >= size), "retained bytes out of order: " + sizes.slice(0, 20));
  const title = await page.$eval("#classes tbody tr td:nth-child(4)", c => c.title + " " + c.textContent);
  check(/^[0-9,]+ bytes [0-9.]+ [KMG]?i?B$/.test(title), "the largest retained size reads " + title);
  console.log("classes by retained: " + title);
}

async function screenshot(page) {
  await page.setViewport({width: 1100, height: 700});
  await expandTwoLevels(page);
  await page.screenshot({path: output});
}

(async () => {
  const browser = await puppeteer.launch({executablePath: chromium, headless: true, args: ["--no-sandbox"]});
  let status = 0;
  try {
    const page = await browser.newPage();
    const problems = [];
    page.on("pageerror", error => problems.push("script error: " + error.message));
    // An API answer of 404 (a view the heap lacks) is logged as a failed load; that is no fault.
    page.on("console", message => {
      if (message.type() === "error" && !message.text().startsWith("Failed to load resource"))
        problems.push("console: " + message.text());
    });
    await page.goto(url);
    if (mode !== "report") {
      await settled(page);
      check(!page.url().includes("token="), "the token stays in the address: " + page.url());
    }
    if (mode === "report") await report(page);
    else if (mode === "walk") await walk(page);
    else if (mode === "hostile") await hostile(page);
    else if (mode === "screenshot") await screenshot(page);
    else throw new Error("unknown mode " + mode);
    check(problems.length === 0, problems.join("; "));
    console.log(mode + ": passed");
  } catch (error) {
    console.error(mode + ": " + error.message);
    status = 1;
  } finally {
    await browser.close();
  }
  process.exit(status);
})();
