// The station's page in headless Chromium, on the real station polling the
// real simulator. Run by CTest (web_page), or by hand from a folder where
// `npm ci` has put puppeteer-core: see tests/CMakeLists.txt.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, said, startLine } from './line.mjs';

let line, chrome, page;
// What the browser refused or threw: a page that half works is no page.
const faults = [];

before(async () => {
  line = await startLine();
  chrome = await launch();
  page = await chrome.newPage();
  page.on('pageerror', e => faults.push(String(e)));
  page.on('console', m => {
    if (m.type() === 'error' && /Content-Security-Policy|Refused to/.test(m.text())) faults.push(m.text());
  });
  await page.setViewport({ width: 1100, height: 420 });
  await page.goto(line.url, { waitUntil: 'domcontentloaded', timeout: 30000 });
}, { timeout: 60000 });

after(async () => {
  await chrome?.close();
  await line?.stop();
}, { timeout: 30000 });

const rowTexts = (cls) => page.$$eval(`#relays tr[data-address] td.${cls}`, tds => tds.map(td => td.textContent));
// Waits until the overview has three rows, each with its currents.
const rows = (timeout) => page.waitForFunction(() => {
  const ia = [...document.querySelectorAll('#relays tr[data-address] td.Ia')];
  return ia.length === 3 && ia.every(td => td.textContent !== '');
}, { timeout });

test('the overview shows each relay with its currents, and the stream open', async () => {
  await rows(15000);
  const figures = await page.$$eval('#relays tr[data-address]', trs => trs.map(tr =>
    ['address', 'Ia', 'Ib', 'Ic', 'I0', 'lastTrip'].map(c => tr.querySelector(`td.${c}`).textContent).join(' ')));
  assert.deepEqual(figures, ['1 2,50 2,50 2,50 0,05 0,00', '2 2,00 2,00 2,00 0,05 0,00', '3 1,67 1,67 1,67 0,05 0,00']);
  assert.equal(await page.$eval('#connection', e => e.dataset.state), 'open');
  assert.equal(await page.$$eval('#relays .mark', m => m.length), 0);
});

test('a trip at relay 2 lights its mark and shows its current on the open page', async (t) => {
  const t0 = performance.now();
  let tripped = 0;
  // The relay trips half a second after the fault starts.
  said(line.sim, /address 2: trip/, 5000).then(() => { tripped = performance.now(); }, () => {});
  line.key('2f');
  await page.waitForFunction(() => {
    const tr = document.querySelector('#relays tr[data-address="2"]');
    return tr?.querySelector('td.alarm .mark[title]') && tr.querySelector('td.lastTrip').textContent === '10,00';
  }, { timeout: 5000 });
  const t1 = performance.now();
  t.diagnostic(`fault to page ${Math.round(t1 - t0)} ms, trip to page ${Math.round(t1 - tripped)} ms`);
  assert.match(await page.$eval('#relays tr[data-address="2"] .mark', m => m.title), /Сработало I> \(МТЗ\)/);
  assert.equal(await page.$$eval('#relays .mark', m => m.length), 1);
  if (process.env.ZARIT_WEB_SCREENSHOT) await page.screenshot({ path: process.env.ZARIT_WEB_SCREENSHOT });
});

test('the events page lists the trip', async () => {
  await page.evaluate(() => { location.hash = '#/events'; });
  const trip = await page.waitForFunction(() => [...document.querySelectorAll('#events tr[data-id]')]
    .find(tr => tr.querySelector('td.what').textContent === 'Сработало I> (МТЗ)'), { timeout: 10000 });
  const cells = await trip.evaluate(tr => ({
    relay: tr.querySelector('td.relay').textContent,
    state: tr.querySelector('td.state').textContent,
    lastTrip: tr.querySelector('td.lastTrip').textContent,
  }));
  assert.deepEqual(cells, { relay: 'адрес 2', state: 'вкл', lastTrip: '10,00' });
});

test('a relay\'s page shows its setpoints, and its trend a range', async () => {
  await page.evaluate(() => { location.hash = '#/relay/2'; });
  await page.waitForSelector('#setpoints tr[data-register]', { visible: true, timeout: 10000 });
  await page.evaluate(() => { location.hash = '#/trend/2'; });
  await page.waitForFunction(() => document.querySelector('#range')?.textContent.includes('–'), { timeout: 10000 });
});

test('at a phone\'s width the document does not scroll sideways', async () => {
  await page.setViewport({ width: 360, height: 740, isMobile: true, hasTouch: true });
  await page.evaluate(() => { location.hash = '#/'; });
  await rows(15000);
  const { scroll, width } = await page.evaluate(() => ({
    scroll: document.documentElement.scrollWidth, width: document.documentElement.clientWidth,
  }));
  assert.ok(scroll <= width, `document ${scroll} px wide in a ${width} px window`);
});

test('the page tells the station is gone, and comes back to it by itself', async (t) => {
  const port = line.port();
  // Stopped with the page's stream open, it still ends cleanly.
  assert.equal(await line.stopStation(), 0);
  await page.waitForSelector('#connection[data-state="closed"]', { timeout: 10000 });
  assert.equal(await page.$eval('#connection', e => e.textContent), 'нет связи со станцией');
  const stale = await page.$eval('#station-time', e => e.textContent);
  const t0 = performance.now();
  await line.startStation(port);
  // Fresh data, not the rows left from before.
  await page.waitForFunction(stale => document.querySelector('#connection').dataset.state === 'open'
    && document.querySelector('#station-time').textContent !== stale, { timeout: 30000 }, stale);
  t.diagnostic(`station restart to page: ${Math.round(performance.now() - t0)} ms`);
  await rows(15000);
  assert.deepEqual(await rowTexts('Ia'), ['2,50', '0,00', '1,67']);
});

test('nothing was refused or thrown on the way', () => {
  assert.deepEqual(faults, []);
});
