// How heavy the station's page is and how soon it shows the line: the
// simulator's three relays, the station, and 10 fresh loads of the page in
// headless Chromium (each a new tab, cache off), on the loopback.
//
// From the repository, after a build and the browser tests' `npm ci`
// (ctest --test-dir build -L browser):
//   NODE_PATH=build/tests/web/node_modules \
//   ZARIT_STATION=build/station/zaritmon-station \
//   ZARIT_RELAY_SIM=build/tools/relay-sim/relay-sim node bench/web_page.mjs
// ZARIT_CHROMIUM names another browser than /usr/bin/chromium.
import { launch, startLine } from '../tests/web/line.mjs';

const LOADS = 10;
const line = await startLine();
const chrome = await launch();
try {
  // Timed from the station's first answer on, not from its first poll.
  for (let i = 0; i < 100 && !(await fetch(`${line.url}api/line`).then(r => r.ok, () => false)); i++) {
    await new Promise(resolve => setTimeout(resolve, 100));
  }
  const times = [];
  let weight, icon;
  for (let i = 0; i < LOADS; i++) {
    const page = await chrome.newPage();
    await page.setCacheEnabled(false);
    await page.setViewport({ width: 1100, height: 700 });
    // Body bytes of each response, the stream's only up to the rows.
    const cdp = await page.createCDPSession();
    await cdp.send('Network.enable');
    const urls = new Map(), bytes = new Map();
    cdp.on('Network.requestWillBeSent', e => urls.set(e.requestId, e.request.url));
    cdp.on('Network.dataReceived', e => bytes.set(e.requestId, (bytes.get(e.requestId) || 0) + e.dataLength));
    // Chromium asks for the icon after the page's load, and once for the profile.
    page.on('response', async r => { if (r.url().endsWith('/favicon.svg')) icon = (await r.buffer()).length; });
    await page.goto(line.url, { waitUntil: 'domcontentloaded', timeout: 30000 });
    // performance.now() counts from the navigation's start.
    const shown = await page.waitForFunction(() => {
      const ia = [...document.querySelectorAll('#relays tr[data-address] td.Ia')];
      return ia.length === 3 && ia.every(td => td.textContent !== '') && performance.now();
    }, { polling: 'mutation', timeout: 30000 });
    weight = [...urls].map(([id, url]) => [url.slice(line.url.length) || '/', bytes.get(id) || 0]);
    times.push(await shown.jsonValue());
    await page.close();
  }
  times.sort((a, b) => a - b);
  const median = (times[(LOADS - 1) >> 1] + times[LOADS >> 1]) / 2;
  console.log('page weight up to the rows with currents (body bytes):');
  for (const [what, n] of weight) console.log(`  ${what.padEnd(20)} ${String(n).padStart(7)}`);
  console.log(`  ${'total'.padEnd(20)} ${String(weight.reduce((s, [, n]) => s + n, 0)).padStart(7)}`);
  if (icon !== undefined) console.log(`  ${'favicon.svg, later'.padEnd(20)} ${String(icon).padStart(7)}`);
  console.log(`navigation to rows with currents, ${LOADS} loads: median ${median.toFixed(1)} ms, max ${times.at(-1).toFixed(1)} ms`);
} finally {
  await chrome.close();
  await line.stop();
}
