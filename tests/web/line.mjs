// The simulator, the station and the browser as the browser tests and the
// benchmark start them: real processes in a temporary folder, 127.0.0.1 only.
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

// require() honours NODE_PATH, so node_modules may stay in the build tree.
const puppeteer = createRequire(import.meta.url)('puppeteer-core');

const need = name => {
  if (!process.env[name]) throw new Error(`${name} is not set`);
  return process.env[name];
};

// Whatever happens to the tests, the processes they started end with them.
const children = new Set();
process.on('exit', () => { for (const p of children) p.kill('SIGTERM'); });

function start(program, args) {
  const p = spawn(program, args, { stdio: ['pipe', 'pipe', 'pipe'] });
  children.add(p);
  p.on('exit', () => children.delete(p));
  p.log = '';
  // Read all it prints, always: a full pipe would stop the station.
  for (const s of [p.stdout, p.stderr]) {
    s.setEncoding('utf8').on('data', d => { p.log = (p.log + d).slice(-65536); p.emit('log'); });
  }
  return p;
}

// The first match of re in what p has printed, within ms.
export function said(p, re, ms) {
  return new Promise((resolve, reject) => {
    const check = () => { const m = re.exec(p.log); if (m) end(resolve, m); };
    const quit = () => end(reject, new Error(`${p.spawnfile} ended: ${p.log}`));
    const timer = setTimeout(() => end(reject, new Error(`${p.spawnfile}: no ${re} in ${ms} ms: ${p.log}`)), ms);
    function end(f, v) { clearTimeout(timer); p.off('log', check); p.off('exit', quit); f(v); }
    p.on('log', check);
    p.on('exit', quit);
    check();
  });
}

// Its exit status, or the signal that ended it.
async function stop(p, ms = 5000) {
  if (!p || p.exitCode !== null || p.signalCode !== null) return p?.exitCode ?? p?.signalCode;
  const gone = new Promise(resolve => p.once('exit', (code, signal) => resolve(code ?? signal)));
  p.kill('SIGTERM');
  const timer = setTimeout(() => p.kill('SIGKILL'), ms);
  const status = await gone;
  clearTimeout(timer);
  return status;
}

// Three relays (2,50, 2,00 and 1,67 A exactly) and the station polling them,
// its page on a free port of the loopback.
export async function startLine() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zaritmon-web-'));
  const sim = start(need('ZARIT_RELAY_SIM'),
    ['--units', '1,2,3', '--speed', '38400', '--noise', '0', '--link', path.join(dir, 'line')]);
  await said(sim, /^link: /m, 10000);
  const line = {
    dir, sim, station: null, url: '',
    key: k => sim.stdin.write(`${k}\n`),
    async startStation(port = 0) {
      const ini = ['[Config]', `PORT=${dir}/line`, 'SPEED=38400', 'REFRESHINTERVAL=0', 'JOURNALDIR=journal',
        '[Relays]', '1=', '2=', '3=', '[Web]', `LISTEN=127.0.0.1:${port}`];
      fs.writeFileSync(path.join(dir, 'ZaritMon.ini'), ini.join('\r\n') + '\r\n');
      line.station = start(need('ZARIT_STATION'), ['--config', path.join(dir, 'ZaritMon.ini'), '--state', dir]);
      [, line.url] = await said(line.station, /веб-страница: (http:\/\/127\.0\.0\.1:\d+\/)/, 10000);
    },
    stopStation: () => stop(line.station),
    port: () => new URL(line.url).port,
    async stop() {
      await stop(line.station);
      await stop(sim);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  await line.startStation();
  return line;
}

// Chromium, or with ZARIT_FIREFOX set Firefox (over WebDriver BiDi).
export const launch = () => process.env.ZARIT_FIREFOX
  ? puppeteer.launch({ browser: 'firefox', executablePath: process.env.ZARIT_FIREFOX, headless: true })
  : puppeteer.launch({
    executablePath: process.env.ZARIT_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox'],
  });
